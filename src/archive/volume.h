// The record and volume layer: the archive as a byte stream cut into
// fixed-size records and spread over volumes. It writes and reads volume
// headers, counts media blocks, changes volumes with the operator, swaps
// byte-swapped media and keeps the push-back stack of the recovery search.
// It knows nothing of members: the writer and the reader only hand it bytes.
//
// Media layout of a volume:
//   [-oh header file bytes] [volume header: one media block]
//   [records of record_size bytes each]
// Blocks are counted in media blocks: the volume header is 1, each record
// is blocks_per_record. A volume ends when the next record would pass the
// media size (-os, or the size in the volume header), or when a write
// comes back short or a read short (not on standard input, where a record
// is completed by further reads).
//
// Volumes on plain files. An output volume is never written over a regular
// file that still holds an earlier volume of the same run (the same file,
// still beginning with that volume's header): the operator who pressed
// return without moving the full volume away is told so (message 1194) and
// asked for the archive's file name again, as after a failed open.
//
// Transfers. On a device (character or block special file) every record is
// one read or write: a tape block. On a regular file or a pipe, records are
// gathered into transfers of up to kGatherBytes; the bytes, the volume
// limits and what happens after a short write stay exactly those of one
// transfer per record: a short gathered write keeps the whole records it
// wrote on the old volume and writes the cut record and all later ones
// again on the next volume, as a record-sized write would have. Gathered
// records are written later than single ones, so a volume change caused by
// a short write is announced once the gathered transfer is written.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "archive/fatal.h"
#include "archive/grow_array.h"
#include "archive/operator.h"
#include "archive/transfer.h"

namespace kel::archive {

constexpr size_t kGatherBytes = 128 * 1024;
// Room for one member header with the longest name, its magic text and a
// little slack: what the recovery search pushes back.
constexpr size_t kPushbackCapacity = 48 + 999 + 16;
// Volumes of an output run written to regular files, remembered so that no
// later volume is written over one of them, and volumes of an input run
// read from regular files, so that no member is restored over one of them;
// the oldest give way beyond.
constexpr int kRememberedVolumes = 128;
// The volume header's text: magic, numbers and creation time (a volume's
// own, since the time and number differ from volume to volume).
constexpr size_t kVolumeText = 47;

enum class Direction { kInput, kOutput };

// Tests: the system calls that move archive data and end a volume, and
// whether the archive counts as a device (1) or a regular file (0); -1
// asks fstat.
struct MediaHooks {
  ssize_t (*read)(int fd, void *buffer, size_t count);
  ssize_t (*write)(int fd, const void *buffer, size_t count);
  int (*close)(int fd);
  int force_device;
};

struct WrittenVolume {
  FileId file = {};
  off_t offset = 0;  // behind the -oh bytes
  int32_t volume = 0;
  uint8_t text[kVolumeText] = {};
};

// The layer's part of the run's state. Only the functions below use its
// fields; tests replace the hooks and look at `swapped`.
//
// One buffer serves either side of a run.
//
// Output: [0, committed) holds whole records waiting to be written, counted
// in blocks_used already; [committed, out_len) is the record being filled.
// A record that becomes exactly full stays the current one until more bytes
// arrive or the run ends, so that the volume limit is tested for a record
// only when it is known to be needed.
//
// Input: [0, rec_end) holds records that have been counted (and swapped);
// in_pos is the next byte to hand out; [rec_end, in_len) are bytes read
// ahead, not yet counted.
//
// Byte-swapped media are read into the same buffer and each record is
// swapped pairwise in place when it is counted; no second buffer is needed.
struct VolumeState {
  VolumeState(TransferState &transfer, OperatorState &terminal, Interrupts &interrupts)
      : transfer(transfer), terminal(terminal), interrupts(interrupts) {}
  // Releases the buffer.
  ~VolumeState();
  VolumeState(const VolumeState &) = delete;
  VolumeState &operator=(const VolumeState &) = delete;

  TransferState &transfer;
  OperatorState &terminal;
  Interrupts &interrupts;
  uint8_t *buffer = nullptr;
  size_t capacity = 0;  // a whole number of records
  size_t out_len = 0;
  size_t committed = 0;
  size_t in_len = 0;
  size_t in_pos = 0;
  size_t rec_end = 0;
  uint8_t header[kMediaBlockLarge + 1] = {};
  uint8_t pushback[kPushbackCapacity] = {};
  size_t pushed = 0;
  uint8_t span_copy[kPushbackCapacity] = {};
  bool swapped = false;
  bool is_device = false;
  bool gather = false;
  bool standard_stream = false;
  bool show_created = true;
  int32_t blocks_used = 0;
  int64_t blocks_done = 0;
  off_t header_file_bytes = 0;  // -oh bytes ahead of the last volume header
  WrittenVolume written[kRememberedVolumes];
  int32_t written_count = 0;  // all ever written; the last ones are kept
  FileId read[kRememberedVolumes] = {};
  int32_t read_count = 0;  // as written_count
  MediaHooks hooks = {::read, ::write, ::close, -1};
};

// Every function that can end the run returns its Status, its message
// printed (fatal.h); a failed write or close of the archive gives
// kFatalArchiveWrite.

// Looks at the archive descriptor of the transfer state (device or not)
// and sets up the buffer; called once after the options, before any other
// function here. The archive counts as standard input or output when no
// path was given.
Status volume_begin(VolumeState &v);

// Output side.
Status write_volume_header(VolumeState &v);
Status write_archive_bytes(VolumeState &v, const void *bytes, size_t count);
// Zero-copy writing: room for up to `max` bytes of the stream (at least 1)
// that the caller fills, then hands over with archive_write_commit.
Status archive_write_space(VolumeState &v, size_t max, uint8_t **space, size_t *room);
Status archive_write_commit(VolumeState &v, size_t count);
// End of an output run: the current record is filled with zero bytes and
// everything still held is written out.
Status finish_archive_output(VolumeState &v);

// Input side.
Status read_volume_header(VolumeState &v, bool any_volume);
// Fills `buffer` with the next `count` bytes and stores a zero byte after
// them: the buffer needs count + 1 bytes.
Status read_archive_bytes(VolumeState &v, void *buffer, size_t count);
// Zero-copy reading: up to `max` (at least 1) next bytes of the stream,
// valid until the next call of this layer.
Status archive_read_span(VolumeState &v, size_t max, const uint8_t **span, size_t *got);
Status skip_archive_bytes(VolumeState &v, uint64_t count);
// The next read returns this byte first (last pushed, first returned).
void push_back(VolumeState &v, uint8_t byte);

// Both sides.
Status change_volume(VolumeState &v, Direction direction);
Status reopen_archive(VolumeState &v);
Status close_archive(VolumeState &v);
// Media blocks of the completed volumes plus those of the current one.
int64_t total_blocks(const VolumeState &v);
// True when `st`, the status of a file, is the regular file that holds
// the current volume, or one read earlier in this input run: kel never
// archives the archive into itself (the part written so far would travel
// as a member) nor restores a member over it (the archive would be lost
// while it is read, or an earlier volume lost before the operator has it
// back).
bool is_archive_file(const VolumeState &v, const struct stat &st);

}  // namespace kel::archive
