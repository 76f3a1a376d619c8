#include "archive/volume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "archive/member_codec.h"
#include "archive/texts.h"
#include "archive/volume_header.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel::archive {

namespace {

constexpr int kOperatorLine = 80;  // 79 characters and the terminator
constexpr size_t kBufferBytes = kGatherBytes + kRecordBig;

size_t record_bytes(const VolumeState &v) {
  return static_cast<size_t>(v.transfer.record_size);
}

// How many of `count` volumes ever remembered are still kept.
int kept_volumes(int32_t count) {
  return count < kRememberedVolumes ? count : kRememberedVolumes;
}

// True when `st` is a volume already read from a regular file in this run.
bool was_read(const VolumeState &v, const struct stat &st) {
  const int kept = kept_volumes(v.read_count);
  for (int i = 0; i < kept; ++i)
    if (v.read[i] == file_id(st)) return true;
  return false;
}

// Gathered transfers on regular files and pipes; one record per transfer
// on devices and on anything else (terminals, sockets). An input FIFO named
// with -f is read record by record too, because a short read from it means
// the end of a volume.
// Each input volume on a regular file is remembered (is_archive_file).
void examine_archive(VolumeState &v) {
  const TransferState &t = v.transfer;
  struct stat st;
  bool regular = false, fifo = false;
  v.is_device = false;
  if (fstat(t.archive_fd, &st) == 0) {
    v.is_device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    regular = S_ISREG(st.st_mode);
    fifo = S_ISFIFO(st.st_mode);
  }
  if (v.hooks.force_device >= 0) {
    v.is_device = v.hooks.force_device != 0;
    regular = !v.is_device;
    fifo = false;
  }
  bool input = t.mode == kRunInput;
  v.gather = !v.is_device && (regular || (fifo && (!input || v.standard_stream)));
  // Under the force_device hook the descriptor only stands in for the
  // volume (a test's read hook supplies the bytes from /dev/null or its own
  // standard input): its identity is not the volume's, and remembering it
  // would keep an unrelated file from being restored.
  if (input && regular && v.hooks.force_device < 0 && !was_read(v, st)) {
    v.read[v.read_count++ % kRememberedVolumes] = file_id(st);
  }
}

void size_buffer(VolumeState &v) {
  size_t record = record_bytes(v);
  size_t records = v.gather ? kGatherBytes / record : 1;
  if (records == 0) records = 1;
  v.capacity = records * record;
}

void discard_input(VolumeState &v) {
  v.in_len = 0;
  v.in_pos = 0;
  v.rec_end = 0;
}

// Prints two texts and message 900, then waits for the operator's line.
Status operator_pause(VolumeState &v, const Text &first, const Text &second) {
  say(first);
  say(second);
  say(kMsgPressReturn);
  char line[kOperatorLine];
  return tty_read_line(v.terminal, line, sizeof line);
}

Status input_ended() {
  say(kMsgInputEnded);
  say(kMsgAborted);
  return Status::kFatal;
}

Status output_failed() {
  report_sys_error("output");
  return Status::kFatalArchiveWrite;
}

bool volume_limit_reached(const VolumeState &v) {
  const TransferState &t = v.transfer;
  return t.media_size > 0 && v.blocks_used + t.blocks_per_record > t.media_size;
}

// ---------------------------------------------------------------- output --

// Writes the committed records. A transfer that comes back short on a
// record boundary is continued; one that cuts a record ends the volume,
// and the cut record and those after it are written on the next one.
Status drain_output(VolumeState &v) {
  const TransferState &t = v.transfer;
  const size_t record = record_bytes(v);
  size_t off = 0;
  while (off < v.committed) {
    // A device may follow a file volume: its records go out one by one.
    size_t chunk = v.gather ? v.committed - off : record;
    ssize_t r = v.hooks.write(t.archive_fd, v.buffer + off, chunk);
    if (r < 0) return output_failed();
    size_t written = static_cast<size_t>(r);
    if (written == chunk) {
      off += chunk;
      continue;
    }
    off += written / record * record;
    if (written > 0 && written % record == 0) continue;
    int32_t moved = static_cast<int32_t>((v.committed - off) / record) * t.blocks_per_record;
    v.blocks_used -= moved;
    KEL_RETURN_IF_FATAL(change_volume(v, Direction::kOutput));
    v.blocks_used += moved;
  }
  memmove(v.buffer, v.buffer + v.committed, v.out_len - v.committed);
  v.out_len -= v.committed;
  v.committed = 0;
  return Status::kOk;
}

// The current record is full and more bytes follow (or the run ends): it
// joins the records to be written, on a new volume if this one is full.
Status commit_record(VolumeState &v) {
  if (volume_limit_reached(v)) {
    // Writing the waiting records may itself have moved some of them to a
    // new volume after a short write; the limit is then that volume's.
    KEL_RETURN_IF_FATAL(drain_output(v));
    if (volume_limit_reached(v)) KEL_RETURN_IF_FATAL(change_volume(v, Direction::kOutput));
  }
  v.committed += record_bytes(v);
  v.blocks_used += v.transfer.blocks_per_record;
  if (v.committed + record_bytes(v) > v.capacity) return drain_output(v);
  return Status::kOk;
}

Status write_header_file(VolumeState &v) {
  const TransferState &t = v.transfer;
  v.header_file_bytes = 0;
  if (t.header_fd < 0) return Status::kOk;
  lseek(t.header_fd, 0, SEEK_SET);
  uint8_t chunk[kMediaBlockLarge];
  for (;;) {
    ssize_t n = ::read(t.header_fd, chunk, static_cast<size_t>(t.media_block));
    if (n <= 0) return Status::kOk;
    if (v.hooks.write(t.archive_fd, chunk, static_cast<size_t>(n)) != n) {
      say(kMsgCantWriteHeader);
      return Status::kFatal;
    }
    v.header_file_bytes += n;
  }
}

// A volume header just written to a regular file: its file is remembered
// by what it is, with the header's text as written.
void remember_volume(VolumeState &v, const uint8_t *header) {
  struct stat st;
  if (fstat(v.transfer.archive_fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  WrittenVolume &w = v.written[v.written_count++ % kRememberedVolumes];
  w.file = file_id(st);
  w.offset = v.header_file_bytes;
  w.volume = v.transfer.volume;
  memcpy(w.text, header, kVolumeText);
}

}  // namespace

bool is_archive_file(const VolumeState &v, const struct stat &st) {
  if (!S_ISREG(st.st_mode)) return false;
  struct stat archive;
  return (fstat(v.transfer.archive_fd, &archive) == 0 && file_id(archive) == file_id(st)) ||
         was_read(v, st);
}

namespace {

// The earlier volume of this run that the newly opened output file still
// holds (the same file, still beginning with that volume's header), or
// null. When the header cannot be read back, the same file is enough.
const WrittenVolume *holds_earlier_volume(const VolumeState &v, const char *path, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const int kept = kept_volumes(v.written_count);
  for (int i = 0; i < kept; ++i) {
    const WrittenVolume &w = v.written[i];
    if (w.file != file_id(st)) continue;
    int rfd = open(path, O_RDONLY | O_CLOEXEC);
    if (rfd < 0) return &w;
    uint8_t text[kVolumeText];
    ssize_t n = pread(rfd, text, sizeof text, w.offset);
    close(rfd);
    if (n < 0 || (n == static_cast<ssize_t>(sizeof text) && memcmp(text, w.text, n) == 0))
      return &w;
  }
  return nullptr;
}

// A read that a signal interrupted: the restore under way stops cleanly
// when the signal asked for it; otherwise the read is made again. Inside
// a member the read waits only once no signal is pending.
Status media_read(VolumeState &v, int fd, void *buffer, size_t count, ssize_t *result) {
  for (;;) {
    KEL_RETURN_IF_FATAL(wait_for_input(v.interrupts, fd));
    *result = v.hooks.read(fd, buffer, count);
    if (*result >= 0 || errno != EINTR) return Status::kOk;
    KEL_RETURN_IF_FATAL(stop_if_interrupted(v.interrupts));
  }
}

// ----------------------------------------------------------------- input --

// Reads into the buffer at in_len; `got` receives the bytes read (0 at the
// end).
Status read_more(VolumeState &v, size_t want, size_t *got) {
  ssize_t r;
  KEL_RETURN_IF_FATAL(media_read(v, v.transfer.archive_fd, v.buffer + v.in_len, want, &r));
  if (r < 0) {
    report_sys_error("input file");
    return Status::kFatal;
  }
  v.in_len += static_cast<size_t>(r);
  *got = static_cast<size_t>(r);
  return Status::kOk;
}

// Makes at least one whole record available at rec_end, reading ahead as
// far as the buffer and the volume limit allow. A record cut short ends the
// volume (the partial record is discarded), except on standard input,
// where it is completed by further reads.
Status refill_input(VolumeState &v) {
  const TransferState &t = v.transfer;
  // Bytes read ahead beyond the last whole record move to the front.
  size_t tail = v.in_len - v.rec_end;
  memmove(v.buffer, v.buffer + v.rec_end, tail);
  v.in_len = tail;
  v.in_pos = v.rec_end = 0;
  for (;;) {
    size_t record = record_bytes(v);
    size_t records = v.capacity / record;
    if (t.media_size > 0) {
      size_t left = static_cast<size_t>((t.media_size - v.blocks_used) / t.blocks_per_record);
      if (left < records) records = left;
    }
    if (records == 0) records = 1;
    size_t got;
    KEL_RETURN_IF_FATAL(read_more(v, records * record - v.in_len, &got));
    if (v.in_len >= record) return Status::kOk;
    if (v.standard_stream) {
      if (got == 0) return input_ended();
      continue;
    }
    KEL_RETURN_IF_FATAL(change_volume(v, Direction::kInput));
  }
}

// Counts the next record: the volume limit first, then the record itself.
Status enter_record(VolumeState &v) {
  if (volume_limit_reached(v)) KEL_RETURN_IF_FATAL(change_volume(v, Direction::kInput));
  if (v.rec_end + record_bytes(v) > v.in_len) KEL_RETURN_IF_FATAL(refill_input(v));
  if (v.swapped) swap_pairs(v.buffer + v.rec_end, record_bytes(v));
  v.rec_end += record_bytes(v);
  v.blocks_used += v.transfer.blocks_per_record;
  return Status::kOk;
}

// Reads exactly `count` header bytes from the archive descriptor, outside
// the record buffer. On standard input a short read is completed; at its
// end the run stops. Elsewhere `result` is the result of the one read.
Status read_header_bytes(VolumeState &v, uint8_t *into, size_t count, ssize_t *result) {
  int fd = v.transfer.archive_fd;
  if (!v.standard_stream) return media_read(v, fd, into, count, result);
  size_t have = 0;
  while (have < count) {
    ssize_t r;
    KEL_RETURN_IF_FATAL(media_read(v, fd, into + have, count - have, &r));
    if (r < 0) {
      *result = r;
      return Status::kOk;
    }
    if (r == 0) return input_ended();
    have += static_cast<size_t>(r);
  }
  *result = static_cast<ssize_t>(have);
  return Status::kOk;
}

Status skip_header_bytes(VolumeState &v) {
  const TransferState &t = v.transfer;
  uint8_t chunk[kMediaBlockLarge];
  int32_t left = t.header_skip;
  while (left > 0) {
    size_t n =
        left < t.media_block ? static_cast<size_t>(left) : static_cast<size_t>(t.media_block);
    ssize_t r;
    KEL_RETURN_IF_FATAL(read_header_bytes(v, chunk, n, &r));
    if (r <= 0) break;  // the header read that follows reports it
    left -= static_cast<int32_t>(r);
  }
  return Status::kOk;
}

// Checks the volume header just read into v.header (magic, swapping,
// version, media block, volume number) and takes its sizes. `accepted` is
// false when the operator was asked for other media and the header must be
// read again.
Status take_volume_header(VolumeState &v, bool any_volume, bool *accepted) {
  TransferState &t = v.transfer;
  *accepted = false;
  uint8_t *h = v.header;
  bool swapped_now = false;
  if (!volume_magic_ok(h)) {
    swap_pairs(h, kVolumeSwapWidth);
    swapped_now = volume_magic_ok(h);
  }
  VolumeHeader vh;
  bool readable = volume_magic_ok(h) && parse_volume_header(h, &vh);
  if (readable) {
    if (vh.format_version <= 3) {
      say(kMsgObsolete);
      return Status::kFatal;
    }
    if (vh.format_version > kFormatCurrent) {
      eprintf(printf_text_of(kMsgUnknownVersion), vh.format_version);
      return Status::kFatal;
    }
    int32_t block = vh.media_block == 0 ? kMediaBlockSmall : vh.media_block;
    if (block != t.media_block) {
      say(t.media_block == kMediaBlockSmall ? kMsgNeedK : kMsgNoK);
      return Status::kFatal;
    }
    // Record sizes beyond the buffer, or volumes too small to hold one
    // record, cannot come from kel: such a header is treated as foreign
    // media rather than trusted.
    int32_t bpr = vh.record_size / block;
    readable = vh.record_size >= block && vh.record_size <= kRecordBig &&
               vh.record_size % block == 0 && vh.media_size >= 0 &&
               (vh.media_size == 0 || vh.media_size >= 1 + bpr) && vh.volume >= 0;
  }
  if (!readable) {
    KEL_RETURN_IF_FATAL(close_archive(v));
    KEL_RETURN_IF_FATAL(operator_pause(v, kMsgNotKel, kMsgCheckMedia));
    return reopen_archive(v);
  }
  if (swapped_now) v.swapped = true;
  if (any_volume) {
    eprintf(printf_text_of(kMsgStartingWith), vh.volume);
    t.volume = vh.volume;
  } else if (vh.volume != t.volume % kVolumeNumberModulus) {
    KEL_RETURN_IF_FATAL(close_archive(v));
    say(kMsgWrongVolume);
    eprintf(printf_text_of(kMsgMountVolume), t.volume);
    say(kMsgPressReturn);
    char line[kOperatorLine];
    KEL_RETURN_IF_FATAL(tty_read_line(v.terminal, line, sizeof line));
    return reopen_archive(v);
  }
  t.format_version = vh.format_version;
  t.media_size = vh.media_size;
  t.record_size = vh.record_size;
  t.blocks_per_record = t.record_size / t.media_block;
  v.blocks_used = 1;
  size_buffer(v);
  if (t.verbose && v.show_created) {
    eprintf(printf_text_of(kMsgCreated), vh.created);
    v.show_created = false;
  }
  *accepted = true;
  return Status::kOk;
}

}  // namespace

VolumeState::~VolumeState() {
  if (buffer) KEL_FREE(buffer);
}

Status volume_begin(VolumeState &v) {
  v.standard_stream = v.transfer.archive_path[0] == '\0';
  if (v.buffer == nullptr) {
    v.buffer = static_cast<uint8_t *>(KEL_ALLOC(kBufferBytes, "archive block buffer"));
    if (v.buffer == nullptr) {
      report_fs_error("archive block buffer");
      return Status::kFatal;
    }
  }
  examine_archive(v);
  size_buffer(v);
  return Status::kOk;
}

// ---------------------------------------------------------------- output --

Status write_volume_header(VolumeState &v) {
  const TransferState &t = v.transfer;
  assert(v.buffer != nullptr);
  KEL_RETURN_IF_FATAL(write_header_file(v));
  VolumeHeader vh;
  vh.format_version = t.format_version;
  vh.volume = t.volume;
  vh.media_size = t.media_size;
  vh.record_size = t.record_size;
  vh.media_block = t.media_block;
  uint8_t block[kMediaBlockLarge];
  format_volume_header(block, t.media_block, vh, time(nullptr));
  for (;;) {
    ssize_t r = v.hooks.write(t.archive_fd, block, static_cast<size_t>(t.media_block));
    if (r < 0) return output_failed();
    if (r == t.media_block) {
      remember_volume(v, block);
      break;
    }
    KEL_RETURN_IF_FATAL(close_archive(v));
    KEL_RETURN_IF_FATAL(operator_pause(v, kMsgCantWriteOutput, kMsgInsureOkay));
    KEL_RETURN_IF_FATAL(reopen_archive(v));
  }
  v.blocks_used = 1;
  return Status::kOk;
}

Status write_archive_bytes(VolumeState &v, const void *bytes, size_t count) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  while (count > 0) {
    size_t room;
    uint8_t *dest;
    KEL_RETURN_IF_FATAL(archive_write_space(v, count, &dest, &room));
    memcpy(dest, p, room);
    KEL_RETURN_IF_FATAL(archive_write_commit(v, room));
    p += room;
    count -= room;
  }
  return Status::kOk;
}

Status archive_write_space(VolumeState &v, size_t max, uint8_t **space, size_t *room) {
  assert(v.buffer != nullptr);
  if (v.out_len == v.capacity) KEL_RETURN_IF_FATAL(commit_record(v));  // full, more bytes come
  size_t free_bytes = v.capacity - v.out_len;
  *room = max < free_bytes ? max : free_bytes;
  *space = v.buffer + v.out_len;
  return Status::kOk;
}

Status archive_write_commit(VolumeState &v, size_t count) {
  v.out_len += count;
  // Every record but an exactly full last one is now known to be complete
  // with more bytes behind it.
  while (v.out_len - v.committed > record_bytes(v)) KEL_RETURN_IF_FATAL(commit_record(v));
  return Status::kOk;
}

Status finish_archive_output(VolumeState &v) {
  assert(v.buffer != nullptr);
  if (v.out_len > v.committed) {
    size_t end = v.committed + record_bytes(v);
    memset(v.buffer + v.out_len, 0, end - v.out_len);
    v.out_len = end;
    KEL_RETURN_IF_FATAL(commit_record(v));
  }
  return drain_output(v);
}

// ----------------------------------------------------------------- input --

Status read_volume_header(VolumeState &v, bool any_volume) {
  const TransferState &t = v.transfer;
  assert(v.buffer != nullptr);
  discard_input(v);
  for (;;) {
    KEL_RETURN_IF_FATAL(skip_header_bytes(v));
    for (;;) {
      memset(v.header, 0, sizeof v.header);
      ssize_t r;
      KEL_RETURN_IF_FATAL(read_header_bytes(v, v.header, static_cast<size_t>(t.media_block), &r));
      if (r == t.media_block) break;
      KEL_RETURN_IF_FATAL(close_archive(v));
      KEL_RETURN_IF_FATAL(operator_pause(v, kMsgHeaderReadError, kMsgInsureOkay));
      KEL_RETURN_IF_FATAL(reopen_archive(v));
    }
    bool accepted;
    KEL_RETURN_IF_FATAL(take_volume_header(v, any_volume, &accepted));
    if (accepted) return Status::kOk;
  }
}

Status read_archive_bytes(VolumeState &v, void *buffer, size_t count) {
  auto *p = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t got;
    const uint8_t *src;
    KEL_RETURN_IF_FATAL(archive_read_span(v, count - done, &src, &got));
    memcpy(p + done, src, got);
    done += got;
  }
  p[count] = 0;
  return Status::kOk;
}

Status archive_read_span(VolumeState &v, size_t max, const uint8_t **span, size_t *got) {
  assert(v.buffer != nullptr);
  if (v.pushed > 0) {
    size_t n = 0;
    while (n < max && v.pushed > 0) v.span_copy[n++] = v.pushback[--v.pushed];
    *got = n;
    *span = v.span_copy;
    return Status::kOk;
  }
  if (v.in_pos == v.rec_end) KEL_RETURN_IF_FATAL(enter_record(v));
  const TransferState &t = v.transfer;
  // Further whole records already read ahead join the span; each is counted
  // (and swapped) as it would be when read on its own.
  while (v.rec_end - v.in_pos < max && v.rec_end + record_bytes(v) <= v.in_len &&
         !volume_limit_reached(v)) {
    if (v.swapped) swap_pairs(v.buffer + v.rec_end, record_bytes(v));
    v.rec_end += record_bytes(v);
    v.blocks_used += t.blocks_per_record;
  }
  size_t avail = v.rec_end - v.in_pos;
  *got = max < avail ? max : avail;
  *span = v.buffer + v.in_pos;
  v.in_pos += *got;
  return Status::kOk;
}

Status skip_archive_bytes(VolumeState &v, uint64_t count) {
  while (count > 0) {
    size_t got;
    const uint8_t *span;
    KEL_RETURN_IF_FATAL(archive_read_span(
        v, count < kGatherBytes ? static_cast<size_t>(count) : kGatherBytes, &span, &got));
    count -= got;
  }
  return Status::kOk;
}

void push_back(VolumeState &v, uint8_t byte) {
  assert(v.pushed < kPushbackCapacity);
  v.pushback[v.pushed++] = byte;
}

// ------------------------------------------------------------------ both --

Status change_volume(VolumeState &v, Direction direction) {
  TransferState &t = v.transfer;
  v.blocks_done += v.blocks_used;
  KEL_RETURN_IF_FATAL(close_archive(v));
  // Positional arguments: a message file may reorder them, or name more
  // than these two (the others stay empty).
  char number[16], blocks[16], text[kMsgBufferSize];
  snprintf(number, sizeof number, "%d", t.volume);
  snprintf(blocks, sizeof blocks, "%d", v.blocks_used);
  const char *args[] = {number, blocks};
  msg_expand(text, text_of(kMsgVolumeComplete), args, 2);
  eprintf("%s", text);
  t.volume += 1;
  eprintf(printf_text_of(kMsgMountNext), t.volume);
  if (t.bell) eprintf("\a\a");
  char line[kOperatorLine];
  KEL_RETURN_IF_FATAL(tty_read_line(v.terminal, line, sizeof line));
  KEL_RETURN_IF_FATAL(reopen_archive(v));
  return direction == Direction::kInput ? read_volume_header(v, false) : write_volume_header(v);
}

Status reopen_archive(VolumeState &v) {
  TransferState &t = v.transfer;
  for (;;) {
    while (t.archive_path[0] == '\0') {
      say(kMsgEnterPath);
      KEL_RETURN_IF_FATAL(tty_read_line(v.terminal, t.archive_path, sizeof t.archive_path));
      size_t n = strlen(t.archive_path);
      if (n > 0 && t.archive_path[n - 1] == '\n') t.archive_path[n - 1] = '\0';
    }
    int flags = (t.mode == kRunOutput ? O_WRONLY : O_RDONLY) | O_CLOEXEC;
    t.archive_fd = open(t.archive_path, flags);
    const int open_errno = errno;
    ShownName shown;
    show_name(t.archive_path, &shown);
    if (t.archive_fd >= 0) {
      // The operator pressed return without moving the full volume away:
      // the next one would be written over it.
      const WrittenVolume *held =
          t.mode == kRunOutput ? holds_earlier_volume(v, t.archive_path, t.archive_fd) : nullptr;
      if (held == nullptr) break;
      eprintf(printf_text_of(kMsgVolumeKept), shown.text, held->volume);
      v.hooks.close(t.archive_fd);
      t.archive_fd = -1;
    } else {
      if (open_errno == EINTR) KEL_RETURN_IF_FATAL(stop_if_interrupted(v.interrupts));
      errno = open_errno;
      report_sys_error(shown.text);
    }
    t.archive_path[0] = '\0';
  }
  v.standard_stream = false;
  examine_archive(v);
  size_buffer(v);
  return Status::kOk;
}

Status close_archive(VolumeState &v) {
  TransferState &t = v.transfer;
  discard_input(v);
  const int fd = t.archive_fd;
  t.archive_fd = -1;
  if (fd >= 0 && v.hooks.close(fd) != 0) return output_failed();
  const char *eject = getenv("KEL_EJECT");
  if (v.is_device && eject && *eject) {
    // The command's own failure is its exit status (or 128 + the signal
    // that ended it); errno tells only when it could not be run at all.
    int rc = system(eject);
    ShownName shown;
    if (rc == -1) {
      report_sys_error(show_name(eject, &shown));
    } else if (rc != 0) {
      int status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
      eprintf(printf_text_of(kMsgCommandStatus), show_name(eject, &shown), status);
    }
  }
  sync();
  return Status::kOk;
}

int64_t total_blocks(const VolumeState &v) {
  return v.blocks_done + v.blocks_used;
}

}  // namespace kel::archive
