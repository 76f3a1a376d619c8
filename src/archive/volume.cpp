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

#include "archive/fatal.h"
#include "archive/member_codec.h"
#include "archive/operator.h"
#include "archive/texts.h"
#include "archive/transfer.h"
#include "archive/volume_header.h"
#include "kelfs/errors.h"
#include "support/alloc.h"

namespace kel::archive {

namespace {

constexpr int kOperatorLine = 80;  // 79 characters and the terminator
constexpr size_t kBufferBytes = kGatherBytes + kRecordBig;
// Volumes of an output run written to regular files, remembered so that no
// later volume is written over one of them; the oldest give way beyond.
constexpr int kRememberedVolumes = 128;
// The volume header's text: magic, numbers and creation time (a volume's
// own, since the time and number differ from volume to volume).
constexpr size_t kVolumeText = 47;

struct WrittenVolume {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t offset = 0;  // behind the -oh bytes
  int32_t volume = 0;
  uint8_t text[kVolumeText] = {};
};

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
  MediaHooks hooks = {::read, ::write, ::close, -1};
};

VolumeState g_volume;

size_t record_bytes() {
  return static_cast<size_t>(transfer().record_size);
}

void ensure_buffer() {
  if (g_volume.buffer) return;
  g_volume.buffer = static_cast<uint8_t *>(KEL_ALLOC(kBufferBytes, "archive block buffer"));
  if (g_volume.buffer == nullptr) {
    report_fs_error("archive block buffer");
    fatal_exit();
  }
}

// Gathered transfers on regular files and pipes; one record per transfer
// on devices and on anything else (terminals, sockets). An input FIFO named
// with -f is read record by record too, because a short read from it means
// the end of a volume.
void examine_archive() {
  TransferState &t = transfer();
  struct stat st;
  bool regular = false, fifo = false;
  g_volume.is_device = false;
  if (fstat(t.archive_fd, &st) == 0) {
    g_volume.is_device = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
    regular = S_ISREG(st.st_mode);
    fifo = S_ISFIFO(st.st_mode);
  }
  if (g_volume.hooks.force_device >= 0) {
    g_volume.is_device = g_volume.hooks.force_device != 0;
    regular = !g_volume.is_device;
    fifo = false;
  }
  bool input = t.mode == kRunInput;
  g_volume.gather =
      !g_volume.is_device && (regular || (fifo && (!input || g_volume.standard_stream)));
}

void size_buffer() {
  size_t record = record_bytes();
  size_t records = g_volume.gather ? kGatherBytes / record : 1;
  if (records == 0) records = 1;
  g_volume.capacity = records * record;
}

void discard_input() {
  g_volume.in_len = 0;
  g_volume.in_pos = 0;
  g_volume.rec_end = 0;
}

// Prints two texts and message 900, then waits for the operator's line.
void operator_pause(const Text &first, const Text &second) {
  say(first);
  say(second);
  say(kMsgPressReturn);
  char line[kOperatorLine];
  tty_read_line(line, sizeof line);
}

[[noreturn]] void input_ended() {
  say(kMsgInputEnded);
  say(kMsgAborted);
  fatal_exit();
}

bool volume_limit_reached() {
  const TransferState &t = transfer();
  return t.media_size > 0 && g_volume.blocks_used + t.blocks_per_record > t.media_size;
}

// ---------------------------------------------------------------- output --

// Writes the committed records. A transfer that comes back short on a
// record boundary is continued; one that cuts a record ends the volume,
// and the cut record and those after it are written on the next one.
void drain_output() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  const size_t record = record_bytes();
  size_t off = 0;
  while (off < v.committed) {
    // A device may follow a file volume: its records go out one by one.
    size_t chunk = v.gather ? v.committed - off : record;
    ssize_t r = v.hooks.write(t.archive_fd, v.buffer + off, chunk);
    if (r < 0) fatal_io_exit("output");
    size_t written = static_cast<size_t>(r);
    if (written == chunk) {
      off += chunk;
      continue;
    }
    off += written / record * record;
    if (written > 0 && written % record == 0) continue;
    int32_t moved = static_cast<int32_t>((v.committed - off) / record) * t.blocks_per_record;
    v.blocks_used -= moved;
    change_volume(Direction::kOutput);
    v.blocks_used += moved;
  }
  memmove(v.buffer, v.buffer + v.committed, v.out_len - v.committed);
  v.out_len -= v.committed;
  v.committed = 0;
}

// The current record is full and more bytes follow (or the run ends): it
// joins the records to be written, on a new volume if this one is full.
void commit_record() {
  VolumeState &v = g_volume;
  if (volume_limit_reached()) {
    // Writing the waiting records may itself have moved some of them to a
    // new volume after a short write; the limit is then that volume's.
    drain_output();
    if (volume_limit_reached()) change_volume(Direction::kOutput);
  }
  v.committed += record_bytes();
  v.blocks_used += transfer().blocks_per_record;
  if (v.committed + record_bytes() > v.capacity) drain_output();
}

void write_header_file() {
  TransferState &t = transfer();
  g_volume.header_file_bytes = 0;
  if (t.header_fd < 0) return;
  lseek(t.header_fd, 0, SEEK_SET);
  uint8_t chunk[kMediaBlockLarge];
  for (;;) {
    ssize_t n = ::read(t.header_fd, chunk, static_cast<size_t>(t.media_block));
    if (n <= 0) break;
    if (g_volume.hooks.write(t.archive_fd, chunk, static_cast<size_t>(n)) != n) {
      say(kMsgCantWriteHeader);
      fatal_exit();
    }
    g_volume.header_file_bytes += n;
  }
}

// A volume header just written to a regular file: its file is remembered
// by what it is, with the header's text as written.
void remember_volume(const uint8_t *header) {
  VolumeState &v = g_volume;
  struct stat st;
  if (fstat(transfer().archive_fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  WrittenVolume &w = v.written[v.written_count++ % kRememberedVolumes];
  w.dev = st.st_dev;
  w.ino = st.st_ino;
  w.offset = v.header_file_bytes;
  w.volume = transfer().volume;
  memcpy(w.text, header, kVolumeText);
}

// The earlier volume of this run that the newly opened output file still
// holds (the same file, still beginning with that volume's header), or
// null. When the header cannot be read back, the same file is enough.
const WrittenVolume *holds_earlier_volume(const char *path, int fd) {
  VolumeState &v = g_volume;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int kept = v.written_count < kRememberedVolumes ? v.written_count : kRememberedVolumes;
  for (int i = 0; i < kept; ++i) {
    const WrittenVolume &w = v.written[i];
    if (w.dev != st.st_dev || w.ino != st.st_ino) continue;
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
// when the signal asked for it; otherwise the read is made again.
ssize_t media_read(int fd, void *buffer, size_t count) {
  for (;;) {
    ssize_t r = g_volume.hooks.read(fd, buffer, count);
    if (r >= 0 || errno != EINTR) return r;
    stop_if_interrupted();
  }
}

// ----------------------------------------------------------------- input --

// Reads into the buffer at in_len. Returns the bytes read (0 at the end).
size_t read_more(size_t want) {
  VolumeState &v = g_volume;
  ssize_t r = media_read(transfer().archive_fd, v.buffer + v.in_len, want);
  if (r < 0) {
    report_sys_error("input file");
    fatal_exit();
  }
  v.in_len += static_cast<size_t>(r);
  return static_cast<size_t>(r);
}

// Makes at least one whole record available at rec_end, reading ahead as
// far as the buffer and the volume limit allow. A record cut short ends the
// volume (the partial record is discarded), except on standard input,
// where it is completed by further reads.
void refill_input() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  // Bytes read ahead beyond the last whole record move to the front.
  size_t tail = v.in_len - v.rec_end;
  memmove(v.buffer, v.buffer + v.rec_end, tail);
  v.in_len = tail;
  v.in_pos = v.rec_end = 0;
  for (;;) {
    size_t record = record_bytes();
    size_t records = v.capacity / record;
    if (t.media_size > 0) {
      size_t left = static_cast<size_t>((t.media_size - v.blocks_used) / t.blocks_per_record);
      if (left < records) records = left;
    }
    if (records == 0) records = 1;
    size_t got = read_more(records * record - v.in_len);
    if (v.in_len >= record) return;
    if (v.standard_stream) {
      if (got == 0) input_ended();
      continue;
    }
    change_volume(Direction::kInput);
  }
}

// Counts the next record: the volume limit first, then the record itself.
void enter_record() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  if (volume_limit_reached()) change_volume(Direction::kInput);
  if (v.rec_end + record_bytes() > v.in_len) refill_input();
  if (v.swapped) swap_pairs(v.buffer + v.rec_end, record_bytes());
  v.rec_end += record_bytes();
  v.blocks_used += t.blocks_per_record;
}

// Reads exactly `count` header bytes from the archive descriptor, outside
// the record buffer. On standard input a short read is completed; at its
// end the run stops. Elsewhere the result of the one read is returned.
ssize_t read_header_bytes(uint8_t *into, size_t count) {
  VolumeState &v = g_volume;
  int fd = transfer().archive_fd;
  if (!v.standard_stream) return media_read(fd, into, count);
  size_t have = 0;
  while (have < count) {
    ssize_t r = media_read(fd, into + have, count - have);
    if (r < 0) return r;
    if (r == 0) input_ended();
    have += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(have);
}

void skip_header_bytes() {
  TransferState &t = transfer();
  uint8_t chunk[kMediaBlockLarge];
  int32_t left = t.header_skip;
  while (left > 0) {
    size_t n =
        left < t.media_block ? static_cast<size_t>(left) : static_cast<size_t>(t.media_block);
    ssize_t r = read_header_bytes(chunk, n);
    if (r <= 0) return;  // the header read that follows reports it
    left -= static_cast<int32_t>(r);
  }
}

enum class HeaderVerdict { kAccepted, kRestart };

// Checks the volume header just read into g_volume.header (magic, swapping,
// version, media block, volume number) and takes its sizes.
HeaderVerdict take_volume_header(bool any_volume) {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
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
      fatal_exit();
    }
    if (vh.format_version > kFormatCurrent) {
      eprintf(printf_text_of(kMsgUnknownVersion), vh.format_version);
      fatal_exit();
    }
    int32_t block = vh.media_block == 0 ? kMediaBlockSmall : vh.media_block;
    if (block != t.media_block) {
      say(t.media_block == kMediaBlockSmall ? kMsgNeedK : kMsgNoK);
      fatal_exit();
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
    close_archive();
    operator_pause(kMsgNotKel, kMsgCheckMedia);
    reopen_archive();
    return HeaderVerdict::kRestart;
  }
  if (swapped_now) v.swapped = true;
  if (any_volume) {
    eprintf(printf_text_of(kMsgStartingWith), vh.volume);
    t.volume = vh.volume;
  } else if (vh.volume != t.volume % kVolumeNumberModulus) {
    close_archive();
    say(kMsgWrongVolume);
    eprintf(printf_text_of(kMsgMountVolume), t.volume);
    say(kMsgPressReturn);
    char line[kOperatorLine];
    tty_read_line(line, sizeof line);
    reopen_archive();
    return HeaderVerdict::kRestart;
  }
  t.format_version = vh.format_version;
  t.media_size = vh.media_size;
  t.record_size = vh.record_size;
  t.blocks_per_record = t.record_size / t.media_block;
  v.blocks_used = 1;
  size_buffer();
  if (t.verbose && v.show_created) {
    eprintf(printf_text_of(kMsgCreated), vh.created);
    v.show_created = false;
  }
  return HeaderVerdict::kAccepted;
}

}  // namespace

void volume_begin() {
  TransferState &t = transfer();
  g_volume.standard_stream = t.archive_path[0] == '\0';
  ensure_buffer();
  examine_archive();
  size_buffer();
}

// ---------------------------------------------------------------- output --

void write_volume_header() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  ensure_buffer();
  write_header_file();
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
    if (r < 0) fatal_io_exit("output");
    if (r == t.media_block) {
      remember_volume(block);
      break;
    }
    close_archive();
    operator_pause(kMsgCantWriteOutput, kMsgInsureOkay);
    reopen_archive();
  }
  v.blocks_used = 1;
}

void write_archive_bytes(const void *bytes, size_t count) {
  const auto *p = static_cast<const uint8_t *>(bytes);
  while (count > 0) {
    size_t room;
    uint8_t *dest = archive_write_space(count, &room);
    memcpy(dest, p, room);
    archive_write_commit(room);
    p += room;
    count -= room;
  }
}

uint8_t *archive_write_space(size_t max, size_t *room) {
  VolumeState &v = g_volume;
  ensure_buffer();
  if (v.out_len == v.capacity) commit_record();  // full, and more bytes come
  size_t free_bytes = v.capacity - v.out_len;
  *room = max < free_bytes ? max : free_bytes;
  return v.buffer + v.out_len;
}

void archive_write_commit(size_t count) {
  VolumeState &v = g_volume;
  v.out_len += count;
  // Every record but an exactly full last one is now known to be complete
  // with more bytes behind it.
  while (v.out_len - v.committed > record_bytes()) commit_record();
}

void finish_archive_output() {
  VolumeState &v = g_volume;
  ensure_buffer();
  if (v.out_len > v.committed) {
    size_t end = v.committed + record_bytes();
    memset(v.buffer + v.out_len, 0, end - v.out_len);
    v.out_len = end;
    commit_record();
  }
  drain_output();
}

// ----------------------------------------------------------------- input --

void read_volume_header(bool any_volume) {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  ensure_buffer();
  discard_input();
  for (;;) {
    skip_header_bytes();
    for (;;) {
      memset(v.header, 0, sizeof v.header);
      ssize_t r = read_header_bytes(v.header, static_cast<size_t>(t.media_block));
      if (r == t.media_block) break;
      close_archive();
      operator_pause(kMsgHeaderReadError, kMsgInsureOkay);
      reopen_archive();
    }
    HeaderVerdict verdict = take_volume_header(any_volume);
    if (verdict == HeaderVerdict::kAccepted) return;
  }
}

void read_archive_bytes(void *buffer, size_t count) {
  auto *p = static_cast<uint8_t *>(buffer);
  size_t done = 0;
  while (done < count) {
    size_t got;
    const uint8_t *src = archive_read_span(count - done, &got);
    memcpy(p + done, src, got);
    done += got;
  }
  p[count] = 0;
}

const uint8_t *archive_read_span(size_t max, size_t *got) {
  VolumeState &v = g_volume;
  ensure_buffer();
  if (v.pushed > 0) {
    size_t n = 0;
    while (n < max && v.pushed > 0) v.span_copy[n++] = v.pushback[--v.pushed];
    *got = n;
    return v.span_copy;
  }
  if (v.in_pos == v.rec_end) enter_record();
  const TransferState &t = transfer();
  // Further whole records already read ahead join the span; each is counted
  // (and swapped) as it would be when read on its own.
  while (v.rec_end - v.in_pos < max && v.rec_end + record_bytes() <= v.in_len &&
         !volume_limit_reached()) {
    if (v.swapped) swap_pairs(v.buffer + v.rec_end, record_bytes());
    v.rec_end += record_bytes();
    v.blocks_used += t.blocks_per_record;
  }
  size_t avail = v.rec_end - v.in_pos;
  *got = max < avail ? max : avail;
  const uint8_t *p = v.buffer + v.in_pos;
  v.in_pos += *got;
  return p;
}

void skip_archive_bytes(uint64_t count) {
  while (count > 0) {
    size_t got;
    archive_read_span(count < kGatherBytes ? static_cast<size_t>(count) : kGatherBytes, &got);
    count -= got;
  }
}

void push_back(uint8_t byte) {
  assert(g_volume.pushed < kPushbackCapacity);
  g_volume.pushback[g_volume.pushed++] = byte;
}

// ------------------------------------------------------------------ both --

void change_volume(Direction direction) {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  v.blocks_done += v.blocks_used;
  close_archive();
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
  tty_read_line(line, sizeof line);
  reopen_archive();
  if (direction == Direction::kInput) {
    read_volume_header(false);
  } else {
    write_volume_header();
  }
}

void reopen_archive() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  for (;;) {
    while (t.archive_path[0] == '\0') {
      say(kMsgEnterPath);
      tty_read_line(t.archive_path, sizeof t.archive_path);
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
          t.mode == kRunOutput ? holds_earlier_volume(t.archive_path, t.archive_fd) : nullptr;
      if (held == nullptr) break;
      eprintf(printf_text_of(kMsgVolumeKept), shown.text, held->volume);
      v.hooks.close(t.archive_fd);
      t.archive_fd = -1;
    } else {
      if (open_errno == EINTR) stop_if_interrupted();
      errno = open_errno;
      report_sys_error(shown.text);
    }
    t.archive_path[0] = '\0';
  }
  v.standard_stream = false;
  examine_archive();
  size_buffer();
}

void close_archive() {
  VolumeState &v = g_volume;
  TransferState &t = transfer();
  discard_input();
  if (t.archive_fd >= 0 && v.hooks.close(t.archive_fd) != 0) fatal_io_exit("output");
  t.archive_fd = -1;
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
}

int64_t total_blocks() {
  return g_volume.blocks_done + g_volume.blocks_used;
}

void volume_release() {
  if (g_volume.buffer) KEL_FREE(g_volume.buffer);
  MediaHooks hooks = g_volume.hooks;
  g_volume = VolumeState{};
  g_volume.hooks = hooks;
}

void volume_set_media_hooks(const MediaHooks *hooks) {
  g_volume.hooks = hooks ? *hooks : MediaHooks{::read, ::write, ::close, -1};
}

bool archive_swapped() {
  return g_volume.swapped;
}

}  // namespace kel::archive
