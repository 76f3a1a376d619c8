#include "archive/writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <utility>

#include "archive/indexed_io.h"
#include "archive/segment_list.h"
#include "archive/texts.h"
#include "kelfs/errors.h"
#include "support/alloc.h"
#include "support/be.h"

namespace kel::archive {

namespace {

// A list line is at most 149 characters; its converted form is no longer.
constexpr size_t kHeaderText = kMemberHeaderSize + kMaxNameLength + 1;
// Room for any text that v5_info returns (see indexed_io.h).
constexpr int kInfoBuffer = kInfoTextSize;
// An old key description: 11 x keys + 21 characters, in a 3-digit field.
constexpr size_t kOldKeyDescription = 1000;
constexpr size_t kCopyPiece = kGatherBytes;

Status write_text(WriterState &w, const char *text) {
  return write_archive_bytes(w.volume, text, strlen(text));
}

// A listed file on its way into the archive.
struct Listed {
  const char *path;
  const char *shown;  // the path as messages show it
  struct stat st;
  char stored[kMaxNameLength + 1];  // converted, unless -u said otherwise
};

Status write_member_header(WriterState &w, const Listed &f, char type, int64_t data_size) {
  MemberHeader h;
  h.mode = f.st.st_mode;
  h.owner = static_cast<int32_t>(f.st.st_uid);
  h.group = static_cast<int32_t>(f.st.st_gid);
  h.mtime = f.st.st_mtime;
  h.data_size = data_size;
  h.type = type;
  char text[kHeaderText];
  return write_archive_bytes(w.volume, text, format_member_header(h, f.stored, text));
}

// ---------------------------------------------------------------- plain --

// Copies `remaining` bytes of the open file into the archive, straight
// into the record buffer. `*copied_whole` is false when the file ended
// early or could not be read; the member is then completed with zero bytes.
Status copy_plain_bytes(WriterState &w, int fd, const char *shown, int64_t remaining,
                        bool *copied_whole) {
  bool whole = true;
  while (remaining > 0) {
    size_t want =
        remaining < static_cast<int64_t>(kCopyPiece) ? static_cast<size_t>(remaining) : kCopyPiece;
    size_t room;
    uint8_t *space;
    KEL_RETURN_IF_FATAL(archive_write_space(w.volume, want, &space, &room));
    ssize_t n = whole ? w.file_read(fd, space, room) : 0;
    if (n < 0) {
      report_sys_error(shown);
      whole = false;
      n = 0;
    } else if (n == 0 && whole) {
      eprintf(printf_text_of(kMsgChangedSize), shown);
      whole = false;
    }
    if (n == 0) {
      memset(space, 0, room);
      n = static_cast<ssize_t>(room);
    }
    KEL_RETURN_IF_FATAL(archive_write_commit(w.volume, static_cast<size_t>(n)));
    remaining -= n;
  }
  if (!whole) eprintf(printf_text_of(kMsgPadded), shown);
  *copied_whole = whole;
  return Status::kOk;
}

// The engine's error codes of a failed open, kept while the file's first
// bytes are looked at.
struct SavedError {
  int16_t code = *fs_error_code();
  int32_t secondary = *fs_error_secondary();
  int saved_errno = errno;
  void restore() const {
    *fs_error_code() = code;
    *fs_error_secondary() = secondary;
    errno = saved_errno;
  }
};

enum class Held { kHeld, kNotHeld, kNoMemory };

// Holds a segment file back to the end of the list. A path longer than
// any list line is not held (it goes as bytes now).
Held defer_segment(WriterState &w, const char *path) {
  Deferred d = {};
  if (strlen(path) >= sizeof d.path) return Held::kNotHeld;
  snprintf(d.path, sizeof d.path, "%s", path);
  d.text_default = w.transfer.text_default;
  return w.deferred.push(d) ? Held::kHeld : Held::kNoMemory;
}

// A file the engine could not open, judged by its first bytes (not with
// -r): an indexed file is reported with the engine's error and not
// archived, since its first segment's bytes would restore as an unusable
// file; a segment file is held back to the end of the list. True when the
// file is done with; `*result` is then its result.
bool judged_by_first_bytes(WriterState &w, const Listed &f, const uint8_t *first, ssize_t got,
                           const SavedError &engine_error, bool may_hold, int *result) {
  FileKind kind = got > 0 ? file_kind_of(first, static_cast<size_t>(got)) : FileKind::kOther;
  if (kind == FileKind::kIndexed) {
    engine_error.restore();
    report_fs_error(f.shown);
    *result = 1;
    return true;
  }
  Held held = kind == FileKind::kSegment && may_hold ? defer_segment(w, f.path) : Held::kNotHeld;
  if (held == Held::kNotHeld) return false;
  if (held == Held::kNoMemory) report_fs_error(f.shown);
  *result = held == Held::kHeld ? 0 : 1;
  return true;
}

// The plain file open on `fd`. `engine_error`: the engine's refusal of the
// file, when its first bytes are to be judged; null with -r.
Status archive_open_plain(WriterState &w, const Listed &f, int fd, char letter,
                          const SavedError *engine_error, bool may_hold, int *result) {
  const char *path = f.shown;
  const TransferState &t = w.transfer;
  *result = 1;
  if (t.format_version == kFormatOldStyle) letter = kTypeOldPlain;
  if (f.st.st_size > kMaxDataSize) {
    eprintf(printf_text_of(kMsgTooLarge), path);
    return Status::kOk;
  }
  // The first media block decides the binary letter; it is kept and
  // written behind the header instead of being read a second time.
  uint8_t first[kMediaBlockLarge];
  ssize_t got = w.file_read(fd, first, static_cast<size_t>(t.media_block));
  if (got < 0) {
    report_sys_error(path);
    return Status::kOk;
  }
  if (engine_error && judged_by_first_bytes(w, f, first, got, *engine_error, may_hold, result))
    return Status::kOk;
  if (has_binary_magic(first, static_cast<size_t>(got))) letter = kTypeBinary;

  const int64_t size = f.st.st_size;
  KEL_RETURN_IF_FATAL(write_member_header(w, f, letter, size));

  int64_t head = got < size ? got : size;
  KEL_RETURN_IF_FATAL(write_archive_bytes(w.volume, first, static_cast<size_t>(head)));
  bool whole = true;
  if (head < size) KEL_RETURN_IF_FATAL(copy_plain_bytes(w, fd, path, size - head, &whole));
  // A file that grew while it was copied travels cut at the size its
  // header announced: said, and counted as not archived, as an indexed
  // file whose record count changed is.
  struct stat now;
  bool changed = whole && fstat(fd, &now) == 0 && now.st_size != size;
  if (changed) eprintf(printf_text_of(kMsgChangedSize), path);
  *result = whole && !changed ? 0 : 1;
  return Status::kOk;
}

Status archive_plain(WriterState &w, const Listed &f, char letter, const SavedError *engine_error,
                     bool may_hold, int *result) {
  // The file may have been replaced since its status was taken: a FIFO or
  // a device would hold the run in the open or the first read, another
  // file would travel under the first one's header. The open does not wait
  // (O_NONBLOCK) and follows links as the status did; what it opened must
  // be the regular file the status saw, and is then read blocking.
  *result = 1;
  int fd = open(f.path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat opened;
  if (fd < 0 || fstat(fd, &opened) != 0) {
    report_sys_error(f.shown);
    if (fd >= 0) close(fd);
    return Status::kOk;
  }
  if (!S_ISREG(opened.st_mode) || file_id(opened) != file_id(f.st)) {
    eprintf(printf_text_of(kMsgReplaced), f.shown);
    close(fd);
    return Status::kOk;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    report_sys_error(f.shown);
    close(fd);
    return Status::kOk;
  }
  Status status = archive_open_plain(w, f, fd, letter, engine_error, may_hold, result);
  close(fd);
  return status;
}

// -------------------------------------------------------------- indexed --

struct KeyText {
  char text[kInfoBuffer];
};

// What an indexed member carries ahead of its records, as v5_info gives it.
struct IndexedMember {
  char record_parameters[kInfoBuffer];
  char physical_parameters[kInfoBuffer];
  char comment[kInfoBuffer];
  char table[kInfoBuffer];
  bool has_table = false;
  int32_t key_count = 0;
  MemPtr<KeyText> keys;  // "dorvex keys"
  int64_t max_length = 0;
  int64_t records = 0;
  char old_keys[kOldKeyDescription];  // old-style archives
};

enum class Gathered {
  kOk,
  kFsError,    // a v5_info call failed: its error codes tell why
  kTooLarge,   // the texts or sizes do not fit the member's fields
  kSplitKeys,  // an old-style archive cannot hold the keys: the run ends
};

Gathered gather_indexed(const TransferState &t, void *file, IndexedMember *x) {
  const IndexedOps &ops = indexed_ops();
  char count[kInfoBuffer];
  if (!ops.info(file, kInfoRecordCount, count) ||
      !ops.info(file, kInfoRecordParameters, x->record_parameters) ||
      !ops.info(file, kInfoPhysicalParameters, x->physical_parameters) ||
      !ops.info(file, kInfoComment, x->comment))
    return Gathered::kFsError;
  x->has_table = ops.info(file, kInfoTranslationTable, x->table) != 0;
  if (!x->has_table && *fs_error_code() != E_UNSUPPORTED) return Gathered::kFsError;

  int64_t numbers[3];
  if (parse_number_list(x->record_parameters, numbers, 3) != 3 || numbers[2] < 1 ||
      numbers[2] > kMaxKeys)
    return Gathered::kTooLarge;
  x->max_length = numbers[0];
  x->key_count = static_cast<int32_t>(numbers[2]);
  x->records = strtoll(count, nullptr, 10);
  if (!x->keys.allocate(static_cast<size_t>(x->key_count), "dorvex keys"))
    return Gathered::kFsError;
  for (int32_t k = 0; k < x->key_count; ++k) {
    if (!ops.info(file, k, x->keys[k].text)) return Gathered::kFsError;
  }

  // The record travels behind a 2-byte length and is read into one buffer;
  // the data size and every text must fit their fields.
  if (x->max_length < 0 || x->max_length > kMaxRecordLength || x->records < 0 ||
      (x->max_length + 2) * x->records > kMaxDataSize || strlen(x->record_parameters) > 99 ||
      strlen(x->physical_parameters) > 99 || strlen(x->comment) > 99)
    return Gathered::kTooLarge;
  for (int32_t k = 0; k < x->key_count; ++k) {
    if (strlen(x->keys[k].text) > kMaxKeyText) return Gathered::kTooLarge;
  }
  if (t.format_version == kFormatOldStyle) {
    const char *keys[kMaxKeys];
    for (int32_t k = 0; k < x->key_count; ++k) keys[k] = x->keys[k].text;
    OldKeyResult r = build_old_key_description(x->record_parameters, x->physical_parameters, keys,
                                               x->key_count, x->old_keys, sizeof x->old_keys);
    if (r == OldKeyResult::kSplitKey) return Gathered::kSplitKeys;
    if (r != OldKeyResult::kOk) return Gathered::kTooLarge;
  }
  return Gathered::kOk;
}

Status write_indexed_texts(WriterState &w, const IndexedMember &x) {
  if (w.transfer.format_version == kFormatOldStyle) {
    char lengths[24];
    snprintf(lengths, sizeof lengths, "%02d%03d", static_cast<int>(strlen(x.comment)),
             static_cast<int>(strlen(x.old_keys)));
    KEL_RETURN_IF_FATAL(write_text(w, lengths));
    KEL_RETURN_IF_FATAL(write_text(w, x.comment));
    return write_text(w, x.old_keys);
  }
  // gather_indexed kept every text within its count field.
  const char *keys[kMaxKeys];
  for (int32_t k = 0; k < x.key_count; ++k) keys[k] = x.keys[k].text;
  IndexedTexts texts;
  texts.record_parameters = x.record_parameters;
  texts.physical_parameters = x.physical_parameters;
  texts.comment = x.comment;
  texts.table = x.has_table ? x.table : nullptr;
  texts.key_count = x.key_count;
  texts.keys = keys;
  char formatted[kIndexedTextsMax];
  [[maybe_unused]] const size_t size = indexed_texts_size(texts);
  assert(size != 0 && size <= sizeof formatted);
  return write_archive_bytes(w.volume, formatted, format_indexed_texts(texts, formatted));
}

// Key 0's text as the file describes it: segments, duplicates (1 when its
// values may repeat), then size and offset per segment. The count of
// numbers read.
using Key0Numbers = int64_t[2 + 2 * 16];
int parse_key0(const IndexedMember &x, Key0Numbers &numbers) {
  return parse_number_list(x.keys[0].text, numbers, static_cast<int>(std::size(numbers)));
}

// The record handed to v5_start for the first record in primary-key order.
// The engine builds the search key from the record's key-0 bytes through
// the file's translation table, so a cleared record is the lowest key only
// when the table maps byte 0 to its smallest value. With any other table
// (a descending collation, say) a cleared record would start in the middle
// and every record below it would be missing from the archive: key 0's
// bytes are filled instead with the byte whose translation is smallest.
void lowest_key_record(const IndexedMember &x, char *record) {
  memset(record, 0, static_cast<size_t>(x.max_length));
  if (!x.has_table) return;
  const uint8_t *table = reinterpret_cast<const uint8_t *>(x.table);
  int lowest = 0;
  for (int b = 1; b < kTranslationTableSize; ++b) {
    if (table[b] < table[lowest]) lowest = b;
  }
  Key0Numbers numbers;
  const int n = parse_key0(x, numbers);
  for (int i = 2; i + 1 < n; i += 2) {
    const int64_t size = numbers[i], offset = numbers[i + 1];
    if (size > 0 && offset >= 0 && offset + size <= x.max_length)
      memset(record + offset, lowest, static_cast<size_t>(size));
  }
}

bool key0_allows_duplicates(const IndexedMember &x) {
  Key0Numbers numbers;
  return parse_key0(x, numbers) >= 2 && numbers[1] != 0;
}

// Remembers a file of an indexed file that goes record by record.
struct SegmentNote {
  WriterState *writer;
  bool no_memory = false;
};

void note_engine_segment(const char *name, void *context) {
  auto *note = static_cast<SegmentNote *>(context);
  GrowArray<FileId> &segments = note->writer->engine_segments;
  struct stat st;
  if (stat(name, &st) != 0) return;
  const FileId id = file_id(st);
  if (!contains(segments, id) && !segments.push(id)) note->no_memory = true;
}

// The file travels record by record: its segments must not travel as
// bytes as well, wherever they stand in the list. An engine that cannot
// name them leaves them to travel as bytes, as any file.
bool note_engine_segments(WriterState &w, void *file, const char *path) {
  const size_t before = w.engine_segments.size();
  SegmentNote note{&w};
  note_engine_segment(path, &note);
  if (!each_segment(file, note_engine_segment, &note) && *fs_error_code() == E_NO_MEMORY)
    note.no_memory = true;
  if (!note.no_memory) return true;
  // Not archived after all: none of its segments may stay behind.
  w.engine_segments.truncate(before);
  *fs_error_code() = E_NO_MEMORY;
  return false;
}

// The open indexed file is closed on every way out of its member, a fatal
// stop included, so that the file table lets go of it as at any other
// close.
class ClosedAtEnd {
 public:
  explicit ClosedAtEnd(void *file) : file_(file) {}
  ~ClosedAtEnd() { indexed_ops().close(file_); }
  ClosedAtEnd(const ClosedAtEnd &) = delete;
  ClosedAtEnd &operator=(const ClosedAtEnd &) = delete;

 private:
  void *file_;
};

Status archive_indexed(WriterState &w, void *file, const Listed &f, int *result) {
  const char *path = f.shown;
  const IndexedOps &ops = indexed_ops();
  const ClosedAtEnd closed_at_end(file);
  IndexedMember x;
  MemPtr<char> record;
  Gathered gathered = gather_indexed(w.transfer, file, &x);
  if (gathered == Gathered::kSplitKeys) {
    say(kMsgSplitKeys);
    return Status::kFatal;
  }
  if (gathered == Gathered::kOk && !record.allocate(2 * kRecordBufferSize, "archive record buffer"))
    gathered = Gathered::kFsError;
  if (gathered == Gathered::kOk && !note_engine_segments(w, file, f.path))
    gathered = Gathered::kFsError;
  if (gathered != Gathered::kOk) {
    if (gathered == Gathered::kFsError) {
      report_fs_error(path);
    } else {
      eprintf(printf_text_of(kMsgLayoutTooLarge), path);
    }
    *result = 1;
    return Status::kOk;
  }

  KEL_RETURN_IF_FATAL(write_member_header(w, f, kTypeIndexed, (x.max_length + 2) * x.records));
  KEL_RETURN_IF_FATAL(write_indexed_texts(w, x));

  // Records in primary-key order, from the lowest key value, read into two
  // buffers in turn: the other one holds the last record written.
  char *buf = record.get();
  char *last = buf + kRecordBufferSize;
  lowest_key_record(x, buf + 2);
  const bool key0_duplicates = key0_allows_duplicates(x);
  x.keys.reset();
  int64_t written = 0;
  bool more = false;
  if (ops.start_first(file, buf + 2)) {
    uint32_t n;
    // A program that adds records while the file is read makes more than
    // the header announced; the member stops at its count, so that the
    // members after it stay readable.
    while ((n = ops.next(file, buf + 2)) > 0) {
      more = written == x.records;
      if (more) break;
      store_be16(buf, static_cast<uint16_t>(n));
      KEL_RETURN_IF_FATAL(write_archive_bytes(w.volume, buf, n + 2));
      ++written;
      std::swap(buf, last);
    }
  }
  const int16_t walk_end = *fs_error_code();
  // A walk that reaches the end of the records before the announced count
  // (records deleted while the file was read) would leave the member short,
  // and every member behind it unreadable: the reader counts records by
  // the data size. The member is filled up with copies of the last record
  // written; a restore refuses each as a duplicate of key 0, names the file
  // and goes on, so that the file holds what the walk saw and the members
  // after it are read. With duplicates of key 0 allowed the copies would be
  // restored as records, and with no record written there is none to copy:
  // the member stays short. So does one whose walk failed (a damaged file):
  // its member keeps the records read before the damage, unrepaired.
  if (walk_end == E_NOT_FOUND && written > 0 && written < x.records && !key0_duplicates) {
    const uint32_t n = load_be16(last);
    for (int64_t copies = x.records - written; copies > 0; --copies)
      KEL_RETURN_IF_FATAL(write_archive_bytes(w.volume, last, n + 2));
  }
  // The end of the records leaves "not found"; anything else is reported
  // through the file-system error texts, which give the system error text
  // for E_SYSERR and the engine's own text for the other codes. Records
  // added or deleted while the file was read are said as a change of size.
  // Either way the member does not hold the file as it is: the file counts
  // as not archived, so that the exit status shows it.
  if (!more && walk_end != E_NOT_FOUND) {
    report_fs_error(path);
  } else if (more || written != x.records) {
    eprintf(printf_text_of(kMsgChangedSize), path);
  } else {
    *result = 0;
    return Status::kOk;
  }
  *result = 1;
  return Status::kOk;
}

// archive_file, and the end of the list for the deferred segment files
// (`deferred_pass`), which then go as bytes.
Status archive_listed(WriterState &w, const char *path, bool deferred_pass, int *result) {
  const TransferState &t = w.transfer;
  ShownName shown_name;
  Listed f;
  f.path = path;
  f.shown = show_name(path, &shown_name);
  if (t.verbose && !deferred_pass) eprintf("%s\n", f.shown);
  *result = 1;
  if (stat(path, &f.st) != 0) {
    report_sys_error(f.shown);
    return Status::kOk;
  }
  if (!S_ISREG(f.st.st_mode)) return Status::kOk;
  if (is_archive_file(w.volume, f.st)) {
    eprintf(printf_text_of(kMsgArchiveItself), f.shown);
    return Status::kOk;
  }
  if (t.convert_names) {
    convert_name(path, f.stored);
  } else {
    snprintf(f.stored, sizeof f.stored, "%s", path);
  }
  // A member of that name ends the archive for every reader: whatever
  // followed it would be lost.
  if (strcmp(f.stored, kTrailerName) == 0) {
    eprintf(printf_text_of(kMsgTrailerName), f.shown);
    return Status::kOk;
  }
  char letter = t.text_default ? kTypeText : kTypeBinary;
  void *file = indexed_ops().open_input(path);
  if (file != nullptr) {
    if (!t.raw_indexed) return archive_indexed(w, file, f, result);
    indexed_ops().close(file);
    letter = kTypeBinary;
  }
  if (t.raw_indexed) return archive_plain(w, f, letter, nullptr, false, result);
  SavedError engine_error;
  return archive_plain(w, f, letter, &engine_error, !deferred_pass, result);
}

}  // namespace

Status archive_file(WriterState &w, const char *path, int *result) {
  return archive_listed(w, path, false, result);
}

Status archive_deferred_segments(WriterState &w, int *not_archived) {
  TransferState &t = w.transfer;
  for (size_t i = 0; i < w.deferred.size(); ++i) {
    const Deferred &d = w.deferred[i];
    struct stat st;
    if (stat(d.path, &st) == 0 && contains(w.engine_segments, file_id(st))) {
      ShownName shown;
      if (t.verbose) eprintf(printf_text_of(kMsgSegmentLeftOut), show_name(d.path, &shown));
      continue;
    }
    t.text_default = d.text_default;
    int result;
    KEL_RETURN_IF_FATAL(archive_listed(w, d.path, true, &result));
    *not_archived += result;
  }
  w.deferred.clear();
  return Status::kOk;
}

Status write_trailer(WriterState &w) {
  char text[kMemberHeaderSize + sizeof kTrailerName];
  return write_archive_bytes(w.volume, text, format_trailer(text));
}

}  // namespace kel::archive
