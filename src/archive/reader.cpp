#include "archive/reader.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "archive/fatal.h"
#include "archive/indexed_io.h"
#include "archive/member_codec.h"
#include "archive/operator.h"
#include "archive/texts.h"
#include "archive/transfer.h"
#include "archive/volume.h"
#include "archive/writer.h"
#include "kelfs/errors.h"
#include "osfile/layer.h"
#include "support/alloc.h"

namespace kel::archive {

namespace {

// One key description of an indexed member, with its comma, in the key
// buffer ("dorvex keys": 245 bytes per key).
constexpr int kKeySlot = 245;
constexpr int kParameterText = 100;  // 2-digit lengths
constexpr int kOldKeyText = 1000;    // 3-digit length
constexpr int kAnswerLine = 10;      // "y" and up to 8 more characters

// A member being restored, so that a fatal end of the run can remove it:
// a plain file's descriptor, an open indexed file, or an indexed file whose
// close failed (nothing left to close, but its blocks may be missing).
struct PartialRestore {
  char name[kMaxNameLength + 1];
  int fd = -1;
  void *indexed = nullptr;
  bool indexed_closed = false;
};

struct ReaderState {
  PartialRestore partial;
  // The last owner looked up for the -itv listing.
  int32_t listed_uid = -1;
  char listed_owner[64] = {};
};
ReaderState g_reader;

void remove_partial(void *) {
  PartialRestore &p = g_reader.partial;
  if (p.fd >= 0) {
    close(p.fd);
    unlink(p.name);
  } else if (p.indexed || p.indexed_closed) {
    if (p.indexed) indexed_ops().close(p.indexed);
    indexed_ops().remove(p.name);
  } else {
    return;
  }
  p.fd = -1;
  p.indexed = nullptr;
  p.indexed_closed = false;
  eprintf(printf_text_of(kMsgPartRemoved), p.name);
}

void begin_partial(const char *name, int fd, void *indexed) {
  PartialRestore &p = g_reader.partial;
  snprintf(p.name, sizeof p.name, "%s", name);
  p.fd = fd;
  p.indexed = indexed;
  p.indexed_closed = false;
  set_fatal_cleanup(remove_partial, nullptr);
}

void end_partial() {
  set_fatal_cleanup(nullptr, nullptr);
  g_reader.partial.fd = -1;
  g_reader.partial.indexed = nullptr;
  g_reader.partial.indexed_closed = false;
}

[[noreturn]] void corrupt_archive() {
  say(kMsgCorrupt);
  say(kMsgAborted);
  fatal_exit();
}

// A fixed-width count of an indexed member's texts.
int32_t read_count(int digits) {
  char text[8];
  read_archive_bytes(text, static_cast<size_t>(digits));
  int32_t value = 0;
  for (int i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') corrupt_archive();
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// --------------------------------------------------------------- listing --

const char *owner_name(int32_t uid) {
  ReaderState &r = g_reader;
  if (uid != r.listed_uid) {
    struct passwd *pw = getpwuid(static_cast<uid_t>(uid));
    if (pw) {
      snprintf(r.listed_owner, sizeof r.listed_owner, "%s", pw->pw_name);
    } else {
      r.listed_owner[0] = '\0';
    }
    r.listed_uid = uid;
  }
  return r.listed_owner[0] ? r.listed_owner : nullptr;
}

void list_member(const MemberHeader &h, const char *output_name) {
  const TransferState &t = transfer();
  if (t.verbose && t.table) {
    Astream_printf(stdout, "%6o ", h.mode);
    const char *owner = owner_name(h.owner);
    if (owner) {
      Astream_printf(stdout, "%-8s", owner);
    } else {
      Astream_printf(stdout, "%-8d", h.owner);
    }
    // ctime without its weekday and newline: month, day, time and year.
    time_t when = static_cast<time_t>(h.mtime);
    char stamp[32];
    if (ctime_r(&when, stamp) == nullptr || strlen(stamp) < 24)
      snprintf(stamp, sizeof stamp, "%24s", "");
    Astream_printf(stdout, " %9lld %.20s ", static_cast<long long>(h.data_size), stamp + 4);
  }
  if (t.verbose || t.table) Astream_printf(stdout, "%s\n", output_name);
}

// ------------------------------------------------------------- restoring --

void set_times_and_owner(const char *name, const MemberHeader &h) {
  const TransferState &t = transfer();
  if (t.set_times) {
    struct utimbuf times;
    times.actime = time(nullptr);
    times.modtime = static_cast<time_t>(h.mtime);
    utime(name, &times);
  }
  if (!t.keep_owner_off) {
    if (chown(name, static_cast<uid_t>(h.owner), static_cast<gid_t>(h.group)) != 0) {
      // Only the super-user may give files away; the restore stands.
    }
  }
}

// Creates the file for a plain member, making folders as allowed. -1 when
// it cannot be created (reported).
int create_plain(const char *name, uint32_t mode) {
  unlink(name);
  for (;;) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 0777);
    if (fd >= 0) return fd;
    int saved = errno;
    if (make_parent_dirs(name) != 1) {
      errno = saved;
      report_sys_error(name);
      return -1;
    }
  }
}

void restore_plain(const char *name, const MemberHeader &h, uint32_t mode) {
  int fd = create_plain(name, mode);
  if (fd < 0) {
    skip_archive_bytes(static_cast<uint64_t>(h.data_size));
    return;
  }
  begin_partial(name, fd, nullptr);
  int64_t remaining = h.data_size;
  while (remaining > 0) {
    size_t want = remaining < static_cast<int64_t>(kGatherBytes) ? static_cast<size_t>(remaining)
                                                                 : kGatherBytes;
    size_t got;
    const uint8_t *bytes = archive_read_span(want, &got);
    if (write(fd, bytes, got) != static_cast<ssize_t>(got)) {
      say(kMsgDiskFull);
      fatal_exit();
    }
    remaining -= static_cast<int64_t>(got);
  }
  end_partial();
  if (close(fd) != 0) report_sys_error(name);
  set_times_and_owner(name, h);
}

// --------------------------------------------------------------- indexed --

// The texts in front of an indexed member's records.
struct IndexedPrologue {
  char record_parameters[kParameterText];
  char physical_parameters[kParameterText];
  char comment[kParameterText];
  char table[kTranslationTableSize + 1];
  bool has_table = false;
  char old_keys[kOldKeyText];  // versions 4 and 5
  int32_t node_blocks = 0;     // versions 4 and 5
  int64_t max_length = 0;
  MemPtr<char> keys;  // version 6: key texts joined by commas
};

void read_counted_text(int digits, char *out) {
  int32_t length = read_count(digits);
  read_archive_bytes(out, static_cast<size_t>(length));
  if (memchr(out, '\0', static_cast<size_t>(length)) != nullptr) corrupt_archive();
}

void read_prologue(const char *name, IndexedPrologue *x) {
  const TransferState &t = transfer();
  if (t.format_version >= kFormatCurrent) {
    read_counted_text(2, x->record_parameters);
    read_counted_text(2, x->physical_parameters);
    read_counted_text(2, x->comment);
    x->max_length = max_record_length_of(x->record_parameters);
    int32_t table = read_count(3);
    if (table != 0 && table != kTranslationTableSize) corrupt_archive();
    if (table != 0) {
      read_archive_bytes(x->table, kTranslationTableSize);
      x->has_table = true;
    }
    int32_t key_count = read_count(3);
    if (!x->keys.allocate(static_cast<size_t>(key_count > 0 ? key_count : 1) * kKeySlot,
                          "dorvex keys")) {
      report_fs_error(name);
      fatal_exit();
    }
    char *p = x->keys.get();
    for (int32_t k = 0; k < key_count; ++k) {
      int32_t length = read_count(3);
      if (length > kKeySlot - 1) corrupt_archive();
      read_archive_bytes(p, static_cast<size_t>(length));
      if (memchr(p, '\0', static_cast<size_t>(length)) != nullptr) corrupt_archive();
      p += length;
      *p++ = ',';
    }
    if (p > x->keys.get()) --p;  // the last comma goes
    *p = '\0';
  } else {
    int32_t comment_length = read_count(2);
    int32_t keys_length = read_count(3);
    read_archive_bytes(x->comment, static_cast<size_t>(comment_length));
    read_archive_bytes(x->old_keys, static_cast<size_t>(keys_length));
    int32_t max_length = -1;
    if (!parse_old_key_description(x->old_keys, &x->node_blocks, &max_length)) corrupt_archive();
    x->max_length = max_length;
  }
  // The record buffer holds 32766 bytes behind the length; a member that
  // announces more cannot be read into it. A version 4 member of records
  // of length 0 would never end.
  if (x->max_length < 0 || x->max_length > kMaxRecordLength) corrupt_archive();
  if (t.format_version < kFormatOldStyle && x->max_length == 0) corrupt_archive();
}

// Makes the indexed file from the prologue. Null when it cannot (reported).
void *make_indexed(const char *name, const IndexedPrologue &x) {
  const IndexedOps &ops = indexed_ops();
  const TransferState &t = transfer();
  // Without the make form of an old-style member the file cannot be
  // rebuilt: any file of that name is left as it is.
  if ((t.format_version == kFormatOldStyle && ops.make_v2 == nullptr) ||
      (t.format_version < kFormatOldStyle && ops.make_v4 == nullptr)) {
    eprintf(printf_text_of(kMsgOldIndexedNotMade), name, static_cast<int>(t.format_version));
    return nullptr;
  }
  ops.remove(name);
  unlink(name);
  char p[32], q[kOldKeyText + kParameterText + 2];
  for (int attempt = 0; attempt < 2; ++attempt) {
    int made;
    if (t.format_version >= kFormatCurrent) {
      made = ops.make(name, x.comment, x.physical_parameters, x.record_parameters, x.keys.get(),
                      x.has_table ? x.table : nullptr);
    } else if (t.format_version == kFormatOldStyle) {
      snprintf(p, sizeof p, "%d,1", x.node_blocks);
      snprintf(q, sizeof q, "%s,%s", strlen(x.old_keys) > 10 ? x.old_keys + 10 : "", x.comment);
      made = ops.make_v2(name, p, q);
    } else {
      made = ops.make_v4(name, x.old_keys, x.comment);
    }
    if (made) break;
    int16_t code = *fs_error_code();
    int saved = errno;
    if (attempt == 1 || make_parent_dirs(name) != 1) {
      *fs_error_code() = code;
      errno = saved;
      report_fs_error(name);
      return nullptr;
    }
  }
  void *file = ops.open_restore(name);
  if (file == nullptr) {
    report_fs_error(name);
  } else if (ops.mark_incomplete && !ops.mark_incomplete(file)) {
    report_fs_error(name);
    ops.close(file);
    ops.remove(name);
    return nullptr;
  }
  return file;
}

// Closes a restored indexed file. Its blocks were deferred to the close, so
// a failing close may have lost records: that ends the run like any other
// failed write, and the file is removed.
void finish_indexed(const char *name, void *file) {
  if (!indexed_ops().close(file)) {
    g_reader.partial.indexed = nullptr;
    g_reader.partial.indexed_closed = true;
    report_fs_error(name);
    fatal_exit();
  }
  end_partial();
}

void extract_indexed(const char *name, const MemberHeader &h, uint32_t mode, bool restore) {
  const TransferState &t = transfer();
  const IndexedOps &ops = indexed_ops();
  IndexedPrologue x;
  read_prologue(name, &x);
  void *file = nullptr;
  if (restore) {
    file = make_indexed(name, x);
    if (file) begin_partial(name, -1, file);
  }
  MemPtr<char> record;
  if (!record.allocate(kRecordBufferSize, "archive record buffer")) {
    report_fs_error(name);
    fatal_exit();
  }
  const bool prefixed = t.format_version >= kFormatOldStyle;
  const int64_t step = x.max_length + (prefixed ? 2 : 0);
  int64_t remaining = h.data_size;
  char *buf = record.get();
  while (remaining >= 1) {
    int64_t length = x.max_length;
    if (prefixed) {
      read_archive_bytes(buf, 2);
      length = (static_cast<uint8_t>(buf[0]) << 8) | static_cast<uint8_t>(buf[1]);
      if (length > x.max_length) corrupt_archive();
    }
    read_archive_bytes(buf, static_cast<size_t>(length));
    if (file && !ops.write(file, buf, static_cast<uint32_t>(length))) {
      int16_t code = *fs_error_code();
      report_fs_error(name);
      if (code != E_DUPLICATE) fatal_exit();
    }
    remaining -= step;
  }
  if (file) {
    finish_indexed(name, file);
    // As for plain files, only the permission bits are restored: set-user,
    // set-group and sticky bits from an archive of unknown origin would
    // hand its author the restoring user's rights.
    chmod(name, mode & 0777);
    set_times_and_owner(name, h);
  }
}

// ----------------------------------------------------------------- search --

// Reads 8 bytes until they are the member magic text, one byte further
// after each false start.
void scan_for_magic(char *magic) {
  read_archive_bytes(magic, 8);
  for (;;) {
    if (magic[0] != '1') {
      int i = 1;
      while (i < 8 && magic[i] != '1') ++i;
      for (int k = 7; k >= i; --k) push_back(static_cast<uint8_t>(magic[k]));
    } else if (memcmp(magic, kMemberMagicText, 8) == 0) {
      return;
    } else {
      for (int k = 7; k >= 1; --k) push_back(static_cast<uint8_t>(magic[k]));
    }
    read_archive_bytes(magic, 8);
  }
}

}  // namespace

int make_parent_dirs(const char *path) {
  const char *last = nullptr;
  for (const char *p = path; *p; ++p) {
    if (*p == '/' || *p == ']') last = p;
  }
  if (last == nullptr || last == path) return 0;
  char prefix[kMaxNameLength + 1];
  size_t start = (path[0] == '/' || path[0] == '[') ? 1 : 0;
  int created = 0;
  for (size_t i = start; path + i <= last; ++i) {
    if (path[i] != '/' && path[i] != ']') continue;
    size_t n = i < sizeof prefix ? i : sizeof prefix - 1;
    memcpy(prefix, path, n);
    prefix[n] = '\0';
    struct stat st;
    if (stat(prefix, &st) == 0) continue;
    if (!transfer().make_dirs) {
      say(kMsgUseD);
      return 0;
    }
    if (mkdir(prefix, 0777) != 0) {
      report_sys_error(prefix);
      return 0;
    }
    created = 1;
  }
  return created;
}

int extract_member(char **names, int first, int count) {
  const TransferState &t = transfer();
  char head[kMemberHeaderSize + 1];
  read_archive_bytes(head, kMemberHeaderSize);
  int32_t name_length = 0;
  if (parse_member_start(head, &name_length) != HeaderCheck::kOk) corrupt_archive();
  char stored[kMaxNameLength + 1];
  if (name_length > kMaxNameLength) corrupt_archive();
  read_archive_bytes(stored, static_cast<size_t>(name_length));
  if (name_length == static_cast<int32_t>(strlen(kTrailerName)) &&
      memcmp(stored, kTrailerName, static_cast<size_t>(name_length)) == 0)
    return 0;
  if (memchr(stored, '\0', static_cast<size_t>(name_length)) != nullptr) corrupt_archive();
  MemberHeader h;
  if (parse_member_header(head, &h) != HeaderCheck::kOk) corrupt_archive();

  uint32_t mode = h.mode;
  if (t.add_write) mode |= 0222;
  char converted[kMaxNameLength + 1];
  const char *output_name = stored;
  if (t.convert_names || t.flatten) {
    convert_name(stored, converted);
    output_name = converted;
    if (t.flatten) {
      const char *slash = strrchr(converted, '/');
      if (slash) output_name = slash + 1;
    }
  }
  bool selected = first >= count;
  for (int i = first; i < count && !selected; ++i) {
    selected = strcmp(names[i], output_name) == 0 || strcmp(names[i], stored) == 0;
  }
  if (selected) list_member(h, output_name);
  const bool restore = selected && !t.table;
  if (h.type == kTypeIndexed) {
    extract_indexed(output_name, h, mode, restore);
  } else if (restore) {
    restore_plain(output_name, h, mode);
  } else {
    skip_archive_bytes(static_cast<uint64_t>(h.data_size));
  }
  return 1;
}

void recovery_search() {
  const TransferState &t = transfer();
  for (;;) {
    Astream_printf(stdout, "%s", text_of(kMsgSearching));
    Astream_flush(stdout);
    char magic[9], rest[kMemberHeaderSize - 8 + 1], name[kMaxNameLength + 1];
    int32_t name_length;
    for (;;) {
      scan_for_magic(magic);
      read_archive_bytes(rest, sizeof rest - 1);
      char head[kMemberHeaderSize];
      memcpy(head, magic, 8);
      memcpy(head + 8, rest, sizeof rest - 1);
      if (parse_member_start(head, &name_length) == HeaderCheck::kOk &&
          name_length <= kMaxNameLength)
        break;
      // Not a header after all: the scan goes on right behind its magic.
      for (int k = static_cast<int>(sizeof rest) - 2; k >= 0; --k)
        push_back(static_cast<uint8_t>(rest[k]));
    }
    read_archive_bytes(name, static_cast<size_t>(name_length));
    char shown[kMaxNameLength + 1];
    if (t.convert_names) {
      convert_name(name, shown);
    } else {
      memcpy(shown, name, static_cast<size_t>(name_length) + 1);
    }
    eprintf(printf_text_of(kMsgNextAppears), shown);
    say(kMsgStartRecovery);
    char answer[kAnswerLine];
    tty_read_line(answer, sizeof answer);
    if (answer[0] == 'y' || answer[0] == 'Y') {
      for (int k = name_length - 1; k >= 0; --k) push_back(static_cast<uint8_t>(name[k]));
      for (int k = static_cast<int>(sizeof rest) - 2; k >= 0; --k)
        push_back(static_cast<uint8_t>(rest[k]));
      for (int k = 7; k >= 0; --k) push_back(static_cast<uint8_t>(magic[k]));
      return;
    }
  }
}

}  // namespace kel::archive
