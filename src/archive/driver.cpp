#include "archive/driver.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/options.h"
#include "archive/run_state.h"
#include "archive/standard_descriptors.h"
#include "archive/texts.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "layer/layer.h"
#include "messages/diag.h"
#include "messages/msg.h"

namespace kel::archive {

namespace {

// A list line: at most 149 characters and its newline.
constexpr int kListLine = 150;
constexpr int16_t kLeastMaxFiles = 128;
constexpr int kMaxExitStatus = 255;

}  // namespace

// The size limit of indexed segments that a restore creates, and the
// number of files the file system may hold open.
void apply_start_environment() {
  if (const char *seg = getenv("V_SEG_SIZE")) {
    cfg_set_long("V_SEG_SIZE", 0, static_cast<int32_t>(strtol(seg, nullptr, 10)));
  }
  FsSettings &fs = fs_settings();
  if (const char *files = getenv("MAX_FILES")) {
    fs.max_files = static_cast<int16_t>(strtol(files, nullptr, 10));
  } else if (fs.max_files < kLeastMaxFiles) {
    fs.max_files = kLeastMaxFiles;
  }
}

namespace {

enum class ListLine { kEnd, kName, kTooLong, kZeroByte };

// Reads one list line into `line`, without its newline; `length` receives
// the length the line has with its newline, also for a last line that
// lacks one (it keeps its type letter). A line of 149 characters is taken
// whole. A longer line is skipped whole and reported by the caller; read
// in pieces, it would come back as several names. So is a line that holds
// a zero byte (names ended by zero bytes, as `find -print0` writes them):
// its name would end at the first zero byte, and every name behind it in
// the line would go unseen. A read that fails ends the list: the part of
// a line read before it could name another file.
ListLine read_list_line(char *line, size_t *length) {
  size_t n = 0;
  bool too_long = false, zero = false;
  int c;
  while ((c = getc(stdin)) != EOF && c != '\n') {
    zero = zero || c == '\0';
    if (n < static_cast<size_t>(kListLine - 1)) {
      line[n++] = static_cast<char>(c);
    } else {
      too_long = true;
    }
  }
  line[n] = '\0';
  if (ferror(stdin)) return ListLine::kEnd;
  if (zero) return ListLine::kZeroByte;
  if (too_long) return ListLine::kTooLong;
  if (c == EOF && n == 0) return ListLine::kEnd;
  *length = n + 1;
  return ListLine::kName;
}

// The type letter of a list line: with L its length as read, newline
// included, a blank at L - 3 puts the letter at L - 2 and ends the name.
// A line without one has the letter "a".
char take_type_letter(char *line, size_t length) {
  if (length <= 3 || line[length - 3] != ' ') return 'a';
  line[length - 3] = '\0';
  return static_cast<char>(tolower(static_cast<unsigned char>(line[length - 2])));
}

// `*status`: the number of files not archived.
Status output_run(RunState &run, int *status) {
  TransferState &t = run.transfer;
  KEL_RETURN_IF_FATAL(write_volume_header(run.volume));
  int not_archived = 0;
  char line[kListLine];
  size_t length;
  for (ListLine got; (got = read_list_line(line, &length)) != ListLine::kEnd;) {
    if (got == ListLine::kTooLong || got == ListLine::kZeroByte) {
      ShownName shown;
      eprintf(printf_text_of(got == ListLine::kTooLong ? kMsgLineTooLong : kMsgLineZeroByte),
              show_name(line, &shown));
      ++not_archived;
      continue;
    }
    char letter = take_type_letter(line, length);
    if (!t.binary_forced) t.text_default = letter == 'b' ? 0 : 1;
    int result;
    KEL_RETURN_IF_FATAL(archive_file(run.writer, line, &result));
    not_archived += result;
  }
  // A list that cannot be read (a folder given to -l, a closed standard
  // input) must not pass for an empty or a shorter one.
  if (ferror(stdin)) {
    report_sys_error(t.list_path ? t.list_path : "list");
    ++not_archived;
  }
  KEL_RETURN_IF_FATAL(archive_deferred_segments(run.writer, &not_archived));
  KEL_RETURN_IF_FATAL(write_trailer(run.writer));
  KEL_RETURN_IF_FATAL(finish_archive_output(run.volume));
  if (t.header_fd >= 0) {
    close(t.header_fd);
    t.header_fd = -1;
  }
  // The status is the number of files not archived; past 255 it would
  // wrap and could read as success.
  *status = not_archived > kMaxExitStatus ? kMaxExitStatus : not_archived;
  return Status::kOk;
}

Status input_run(RunState &run, char **argv, int first_name, int argc) {
  const TransferState &t = run.transfer;
  catch_interruptions(run.interrupts);
  KEL_RETURN_IF_FATAL(read_volume_header(run.volume, t.search != 0));
  if (t.search) KEL_RETURN_IF_FATAL(recovery_search(run.reader));
  for (bool trailer = false; !trailer;) {
    KEL_RETURN_IF_FATAL(extract_member(run.reader, argv, first_name, argc, &trailer));
  }
  report_names_not_found(run.reader, argv, first_name, argc);
  return Status::kOk;
}

// The run itself and its normal end; `*status` is the run's exit status
// when it ends normally.
Status run_and_end(RunState &run, bool output, char **argv, int first_name, int argc, int *status) {
  *status = 0;
  KEL_RETURN_IF_FATAL(volume_begin(run.volume));
  KEL_RETURN_IF_FATAL(output ? output_run(run, status) : input_run(run, argv, first_name, argc));
  Astream_flush(stdout);  // the listing ahead of the total
  eprintf(printf_text_of(kMsgBlocks), static_cast<long>(total_blocks(run.volume)));
  return close_archive(run.volume);
}

}  // namespace

int kel_main(int argc, char **argv) {
  hold_closed_standard_descriptors();
  Aset_kanji_mode(kKanjiUndecided);
  Astream_init(stdin, stdout, stderr);
  char error_text[300];
  if (Amsg_init(error_text) == 0) eprintf("%s\n", error_text);
  v5_init_cfg();
  apply_start_environment();

  // Every part of the run's state is released when this function returns,
  // whichever way the run ends.
  RunState run;
  int first_name = argc;
  OptionResult parsed = parse_options(run.transfer, argc, argv, &first_name);
  if (parsed == OptionResult::kFailed) {
    Amsg_shutdown();
    return 1;
  }
  if (parsed == OptionResult::kVersion) {
    Astream_printf(stdout, msg_printf_text(kMsgVersion.number, kMsgVersion.text),
                   KEL_VERSION_STRING);
    Astream_printf(stdout, "%s\n", text_of(kMsgVersionNote));
    Astream_flush(stdout);
    Amsg_shutdown();
    return 0;
  }

  int status;
  switch (run_and_end(run, parsed == OptionResult::kOutputRun, argv, first_name, argc, &status)) {
    case Status::kOk:
      Amsg_shutdown();
      return status;
    case Status::kFatal:
      // Its message is out and every level has cleaned up behind it; no
      // block total, and the archive is left to the end of the process
      // (no eject, no sync).
      Amsg_shutdown();
      return 1;
    case Status::kFatalArchiveWrite:
      // The archive cannot be written or closed: the run ends at once.
      return 1;
  }
  return 1;
}

}  // namespace kel::archive
