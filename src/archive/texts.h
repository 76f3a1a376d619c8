// The numbered texts of kel. Every text shown to a person is fetched from
// the message library by number, with the default below compiled in; texts
// handed to a printf-style writer with arguments go through
// msg_printf_text, so that a damaged message file cannot make eprintf read
// arguments that are not there.
//
// 890-926, 1090 and 1099 are the utility's own numbers. 1180-1206 are kel's
// texts for conditions that those do not cover (the end of standard input
// before the trailer, a partly restored file, files that do not fit the
// header fields, a file named like the trailer, indexed members of old-style
// archives, whose make forms this build lacks, segments that must not travel
// or be overwritten, volumes that must not be overwritten, interruptions,
// members not found, a missing operator terminal, a failing eject command,
// the archive's own file named as a member, a file in use by another
// program, an earlier file put back, a list line with a zero byte, a
// partly restored file or temporary file that could not be removed);
// a message file may translate them like any other.
#pragma once

#include <cstdint>

#include "messages/diag.h"
#include "messages/msg.h"

namespace kel::archive {

struct Text {
  int32_t number;
  const char *text;
};

// Start-up and usage.
inline constexpr Text kMsgVersion{890, "KEL file transfer utility version %s\n"};
inline constexpr Text kMsgVersionNote{
    891, "Plain and indexed COBOL data files to and from multi-volume archives"};
inline constexpr Text kMsgUsageOutput{
    892, "usage: kel -o[bgkpruv] [-f outfile] [-h headerfile] [-l listfile] [-s blocks]\n"};
inline constexpr Text kMsgUsageInput{
    893, "       kel -i[cdgkmnstv2345] [-f infile] [-h bytes] file ...\n"};
inline constexpr Text kMsgListMissing{920, "Input file list missing\n"};
inline constexpr Text kMsgOutputMissing{921, "Output file missing \n"};
inline constexpr Text kMsgMediaSizeMissing{922, "Media size not specified\n"};
inline constexpr Text kMsgHeaderFileMissing{923, "Header file not specified\n"};
inline constexpr Text kMsgHeaderSizeMissing{924, "Header size missing\n"};
inline constexpr Text kMsgInputMissing{925, "Input file missing \n"};
inline constexpr Text kMsgBlocks{926, "%ld blocks\n"};

// Volumes and the operator dialogue.
inline constexpr Text kMsgEnterPath{894, "Enter archive's filename to continue: "};
inline constexpr Text kMsgVolumeComplete{895, "Volume %1 complete, %2 blocks\n"};
inline constexpr Text kMsgMountNext{896, "Please mount volume %d, press return when ready: "};
inline constexpr Text kMsgCantWriteHeader{897, "Can't write header\n"};
inline constexpr Text kMsgCantWriteOutput{898, "Can't write output file\n"};
inline constexpr Text kMsgInsureOkay{899, "Please insure that everything is okay\n"};
inline constexpr Text kMsgPressReturn{900, "then press return to try again: "};
inline constexpr Text kMsgHeaderReadError{901, "Error reading volume header\n"};
inline constexpr Text kMsgNotKel{902, "Input not in KEL format\n"};
inline constexpr Text kMsgCheckMedia{903, "Please check your media\n"};
inline constexpr Text kMsgObsolete{904, "Unsupported (obsolete) kel archive\n"};
inline constexpr Text kMsgNeedK{905, "Must specify 'k' option\n"};
inline constexpr Text kMsgWrongVolume{906, "Wrong volume mounted\n"};
inline constexpr Text kMsgMountVolume{907, "Please mount volume %d\n"};
inline constexpr Text kMsgCreated{908, "Archive created %s\n"};
inline constexpr Text kMsgNoK{1090, "Must not specify 'k' option\n"};
inline constexpr Text kMsgStartingWith{1099, "Starting with volume %d\n"};

// Members.
inline constexpr Text kMsgUseD{909, "use '-d' to create directories\n"};
inline constexpr Text kMsgSplitKeys{910, "Cannot create old-style archive with split keys\n"};
inline constexpr Text kMsgCorrupt{912, "Corrupt archive!\n"};
inline constexpr Text kMsgAborted{913, "Transfer aborted\n"};
inline constexpr Text kMsgDiskFull{914, "disk full\n"};
inline constexpr Text kMsgSearching{915, "Searching for next archive...\n"};
inline constexpr Text kMsgNextAppears{916, "Next archive appears to be '%s'\n"};
inline constexpr Text kMsgStartRecovery{917, "Start recovery from here? "};

// kel's additions.
inline constexpr Text kMsgInputEnded{1180, "Archive ended before its trailer\n"};
inline constexpr Text kMsgPartRemoved{1181, "%s: not restored completely, removed\n"};
// 1182 is no longer used: every archive's indexed members can be made.
inline constexpr Text kMsgUnknownVersion{1183, "Unsupported kel archive version %d\n"};
inline constexpr Text kMsgChangedSize{1184, "%s: file changed size while being archived\n"};
inline constexpr Text kMsgTooLarge{1185, "%s: file too large for the archive\n"};
inline constexpr Text kMsgBadMediaSize{
    1186, "Media size must be 0 (no limit) or from %d to 99999 blocks\n"};
inline constexpr Text kMsgLineTooLong{1187, "%s...: list line too long\n"};
inline constexpr Text kMsgNoOperator{1188, "No answer from the operator\n"};
inline constexpr Text kMsgPadded{1189, "%s: not archived completely, member filled with zeros\n"};
inline constexpr Text kMsgLayoutTooLarge{
    1190, "%s: record or key layout does not fit the archive format\n"};
inline constexpr Text kMsgTrailerName{1191, "%s: the name that ends an archive, not archived\n"};
inline constexpr Text kMsgSegmentLeftOut{
    1192, "%s: segment of an indexed file archived record by record, left out\n"};
inline constexpr Text kMsgSegmentKept{
    1193, "%s: segment of an indexed file restored in this run, not overwritten\n"};
inline constexpr Text kMsgVolumeKept{1194,
                                     "%s: holds volume %d of this archive, not overwritten\n"};
inline constexpr Text kMsgInterrupted{1195, "Interrupted by signal %d\n"};
inline constexpr Text kMsgNotFound{1196, "%s: not found in archive\n"};
inline constexpr Text kMsgNoTerminal{
    1197, "kel needs an operator terminal here, and none could be opened\n"};
inline constexpr Text kMsgCommandStatus{1198, "%s: command ended with status %d\n"};
inline constexpr Text kMsgArchiveItself{1199, "%s: the archive itself, not archived\n"};
inline constexpr Text kMsgArchiveRead{1200, "%s: the archive being read, not restored\n"};
inline constexpr Text kMsgInUse{1201, "%s: open in another program, not restored\n"};
inline constexpr Text kMsgPartKept{1202, "%s: not restored completely, the earlier file kept\n"};
inline constexpr Text kMsgLineZeroByte{1203, "%s...: list line holds a zero byte, not archived\n"};
inline constexpr Text kMsgReplaced{1204, "%s: replaced before it could be read, not archived\n"};
inline constexpr Text kMsgPartLeft{1205, "%s: not restored completely, and could not be removed\n"};
inline constexpr Text kMsgPartTempLeft{
    1206,
    "%s: not restored completely, left as it was; its temporary file %s could not be removed\n"};

inline const char *text_of(const Text &t) {
  return Amsg_get(t.number, 0, t.text);
}
inline const char *printf_text_of(const Text &t) {
  return msg_printf_text(t.number, t.text);
}
// Writes a text without arguments to the error output.
inline void say(const Text &t) {
  eprintf("%s", text_of(t));
}

}  // namespace kel::archive
