#include "archive/reader.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "archive/fatal.h"
#include "archive/grow_array.h"
#include "archive/indexed_io.h"
#include "archive/member_codec.h"
#include "archive/operator.h"
#include "archive/segment_list.h"
#include "archive/texts.h"
#include "archive/transfer.h"
#include "archive/volume.h"
#include "archive/writer.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "support/alloc.h"

namespace kel::archive {

namespace {

// One key description of an indexed member, with its comma, in the key
// buffer ("dorvex keys": 245 bytes per key).
constexpr int kKeySlot = 245;
constexpr int kParameterText = 100;  // 2-digit lengths
constexpr int kOldKeyText = 1000;    // 3-digit length
constexpr int kAnswerLine = 10;      // "y" and up to 8 more characters
// ".<name>.kel" and six random characters, in the member's folder; the
// name part is cut so that the temporary name stays within NAME_MAX.
constexpr int kTempNamePart = 200;
constexpr size_t kTempPath = kMaxNameLength + kTempNamePart + 16;
// An extension count no larger than this many nodes is always kept.
constexpr int64_t kKeptExtension = 64;

// Where a member goes: its output name, and that name as messages show it.
struct Target {
  const char *path;
  const char *shown;
};

// A member being restored, so that a fatal end of the run can remove it:
// a plain member's temporary file, an open indexed file, or an indexed file
// whose close failed (nothing left to close, but its blocks may be missing).
struct PartialRestore {
  char name[kMaxNameLength + 1];
  ShownName shown;
  char temp[kTempPath];
  int fd = -1;
  void *indexed = nullptr;
  bool indexed_closed = false;
};

struct SegmentName {
  char name[kMaxNameLength + 1];
};

struct ReaderState {
  PartialRestore partial;
  // The last owner looked up for the -itv listing.
  int32_t listed_uid = -1;
  char listed_owner[64] = {};
  // The files of every indexed file re-created in this run: no plain
  // member may overwrite one of them.
  GrowArray<FileId> restored_segments{"restored indexed segments"};
  GrowArray<SegmentName> segment_names{"restored segment names"};
  // Which of the requested member names an archive member matched.
  GrowArray<uint8_t> found{"requested member names"};
  bool umask_known = false;
  mode_t umask_value = 0;
};
ReaderState g_reader;

void remove_partial(void *) {
  PartialRestore &p = g_reader.partial;
  if (p.fd >= 0) {
    close(p.fd);
    unlink(p.temp);
  } else if (p.indexed || p.indexed_closed) {
    if (p.indexed) indexed_ops().close(p.indexed);
    indexed_ops().remove(p.name);
  } else {
    return;
  }
  p.fd = -1;
  p.indexed = nullptr;
  p.indexed_closed = false;
  eprintf(printf_text_of(kMsgPartRemoved), p.shown.text);
}

void begin_partial(const Target &target, int fd, void *indexed) {
  PartialRestore &p = g_reader.partial;
  snprintf(p.name, sizeof p.name, "%s", target.path);
  snprintf(p.shown.text, sizeof p.shown.text, "%s", target.shown);
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

[[noreturn]] void out_of_memory(const char *name) {
  ShownName shown;
  report_fs_error(show_name(name, &shown));
  fatal_exit();
}

mode_t process_umask() {
  ReaderState &r = g_reader;
  if (!r.umask_known) {
    r.umask_value = umask(0);
    umask(r.umask_value);
    r.umask_known = true;
  }
  return r.umask_value;
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

void list_member(const MemberHeader &h, const char *shown_name) {
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
  if (t.verbose || t.table) Astream_printf(stdout, "%s\n", shown_name);
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

// True when `path` is a file of an indexed file re-created in this run;
// such a file is never written over (archives of lists that named an
// indexed file and its segments carry them as plain members after it).
bool is_restored_segment(const Target &target) {
  struct stat st;
  if (lstat(target.path, &st) != 0 || !S_ISREG(st.st_mode) ||
      !contains(g_reader.restored_segments, FileId{st.st_dev, st.st_ino}))
    return false;
  eprintf(printf_text_of(kMsgSegmentKept), target.shown);
  return true;
}

// Creates the temporary file of a plain member in the member's folder,
// making folders as allowed: ".<name>.kel" and six random characters,
// created exclusively (an existing name, a link included, is never
// followed), mode 0600 until the member is complete. -1 when it cannot be
// created (reported).
int create_temp(const Target &target, char *temp) {
  const char *slash = strrchr(target.path, '/');
  const char *base = slash ? slash + 1 : target.path;
  const int folder = slash ? static_cast<int>(slash + 1 - target.path) : 0;
  snprintf(temp, kTempPath, "%.*s.%.*s.kelXXXXXX", folder, target.path, kTempNamePart, base);
  for (;;) {
    char attempt[kTempPath];
    memcpy(attempt, temp, kTempPath);
    int fd = mkstemp(attempt);
    if (fd >= 0) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      memcpy(temp, attempt, kTempPath);
      return fd;
    }
    int saved = errno;
    if (make_parent_dirs(target.path) != 1) {
      errno = saved;
      report_sys_error(target.shown);
      return -1;
    }
  }
}

// The restored file gets the mode it would have had from creat (the
// permission bits under the umask), the archived times with -m and the
// archived owner, all before it takes its name.
void finish_plain_attributes(int fd, const MemberHeader &h, uint32_t mode) {
  const TransferState &t = transfer();
  if (!t.keep_owner_off) {
    if (fchown(fd, static_cast<uid_t>(h.owner), static_cast<gid_t>(h.group)) != 0) {
      // Only the super-user may give files away; the restore stands.
    }
  }
  fchmod(fd, static_cast<mode_t>(mode & 0777) & ~process_umask());
  if (t.set_times) {
    struct timespec times[2];
    times[0].tv_nsec = UTIME_NOW;
    times[0].tv_sec = 0;
    times[1].tv_sec = static_cast<time_t>(h.mtime);
    times[1].tv_nsec = 0;
    futimens(fd, times);
  }
}

// A plain member goes to a temporary name in its folder and takes its own
// name only when it is complete: an interruption of any kind never leaves
// a cut file under the member's name.
void restore_plain(const Target &target, const MemberHeader &h, uint32_t mode) {
  PartialRestore &p = g_reader.partial;
  int fd = is_restored_segment(target) ? -1 : create_temp(target, p.temp);
  if (fd < 0) {
    skip_archive_bytes(static_cast<uint64_t>(h.data_size));
    return;
  }
  begin_partial(target, fd, nullptr);
  int64_t remaining = h.data_size;
  while (remaining > 0) {
    stop_if_interrupted();
    size_t want = remaining < static_cast<int64_t>(kGatherBytes) ? static_cast<size_t>(remaining)
                                                                 : kGatherBytes;
    size_t got;
    const uint8_t *bytes = archive_read_span(want, &got);
    if (write(fd, bytes, got) != static_cast<ssize_t>(got)) {
      stop_if_interrupted();
      say(kMsgDiskFull);
      fatal_exit();
    }
    remaining -= static_cast<int64_t>(got);
  }
  finish_plain_attributes(fd, h, mode);
  p.fd = -1;
  if (close(fd) != 0 || rename(p.temp, target.path) != 0) {
    report_sys_error(target.shown);
    unlink(p.temp);
  }
  end_partial();
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

void read_prologue(const Target &target, IndexedPrologue *x) {
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
                          "dorvex keys"))
      out_of_memory(target.path);
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

// The physical parameters of an archive are only hints for the new file,
// and a crafted archive may ask for the largest preallocation and
// extension counts there are: make would write gigabytes of zeros for a
// member of a few records. The preallocation is cut to the nodes that the
// member's records need (record count x maximum record length / node
// bytes, rounded up, at least 1), and so is the extension count unless it
// is a modest one (at most kKeptExtension nodes), which is kept as it was.
// The text is "%u,%u,%u,%u,%u": node blocks, preallocation, extension,
// compression factor, scrambling flag; any other text is passed on as it
// is, for make to judge.
void cap_physical_parameters(IndexedPrologue *x, int64_t records) {
  int64_t n[5];
  int count = parse_number_list(x->physical_parameters, n, 5);
  if (count < 2) return;
  const int64_t node_bytes = (n[0] > 0 && n[0] <= 16 ? n[0] : 1) * 512;
  int64_t need = (records * x->max_length + node_bytes - 1) / node_bytes;
  if (need < 1) need = 1;
  if (n[1] > need) n[1] = need;
  if (count >= 3 && n[2] > kKeptExtension && n[2] > need) n[2] = need;
  char *out = x->physical_parameters;
  size_t room = sizeof x->physical_parameters;
  for (int i = 0; i < count; ++i) {
    int w = snprintf(out, room, "%s%lld", i ? "," : "", static_cast<long long>(n[i]));
    if (w < 0 || static_cast<size_t>(w) >= room) return;
    out += w;
    room -= static_cast<size_t>(w);
  }
}

// Restored indexed files are private while they are made and filled: the
// index holds every key value, and a file that is not complete must not
// be read. Their segments get the archived permission bits at the end.
class PrivateFiles {
 public:
  PrivateFiles() : saved_(umask(077)) {}
  ~PrivateFiles() { umask(saved_); }
  PrivateFiles(const PrivateFiles &) = delete;
  PrivateFiles &operator=(const PrivateFiles &) = delete;
  // Folders made on the way get the process's own umask.
  int make_parent_dirs_as_usual(const char *path) {
    umask(saved_);
    int made = make_parent_dirs(path);
    umask(077);
    return made;
  }

 private:
  mode_t saved_;
};

// Makes the indexed file from the prologue. Null when it cannot (reported).
void *make_indexed(const Target &target, const IndexedPrologue &x, PrivateFiles *private_files) {
  const IndexedOps &ops = indexed_ops();
  const TransferState &t = transfer();
  const char *name = target.path;
  // Without the make form of an old-style member the file cannot be
  // rebuilt: any file of that name is left as it is.
  if ((t.format_version == kFormatOldStyle && ops.make_v2 == nullptr) ||
      (t.format_version < kFormatOldStyle && ops.make_v4 == nullptr)) {
    eprintf(printf_text_of(kMsgOldIndexedNotMade), target.shown,
            static_cast<int>(t.format_version));
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
    if (attempt == 1 || private_files->make_parent_dirs_as_usual(name) != 1) {
      *fs_error_code() = code;
      errno = saved;
      report_fs_error(target.shown);
      return nullptr;
    }
  }
  void *file = ops.open_restore(name);
  if (file == nullptr) {
    report_fs_error(target.shown);
  } else if (ops.mark_incomplete && !ops.mark_incomplete(file)) {
    report_fs_error(target.shown);
    ops.close(file);
    ops.remove(name);
    return nullptr;
  }
  return file;
}

void note_segment_name(const char *name, void *) {
  SegmentName s = {};
  snprintf(s.name, sizeof s.name, "%s", name);
  if (!g_reader.segment_names.push(s)) out_of_memory(name);
}

// Closes a restored indexed file. Its blocks were deferred to the close, so
// a failing close may have lost records: that ends the run like any other
// failed write, and the file is removed. Its segments, named by the engine
// while it is open, then get the archived permission bits and are
// remembered, so that no later plain member overwrites one of them.
void finish_indexed(const Target &target, void *file, uint32_t mode) {
  ReaderState &r = g_reader;
  r.segment_names.clear();
  note_segment_name(target.path, nullptr);
  each_segment(file, note_segment_name, nullptr);
  if (!indexed_ops().close(file)) {
    r.partial.indexed = nullptr;
    r.partial.indexed_closed = true;
    report_fs_error(target.shown);
    fatal_exit();
  }
  end_partial();
  for (size_t i = 0; i < r.segment_names.size(); ++i) {
    const char *name = r.segment_names[i].name;
    // Only the permission bits: set-user, set-group and sticky bits from
    // an archive of unknown origin would hand its author the restoring
    // user's rights.
    chmod(name, mode & 0777);
    struct stat st;
    // Without memory to remember it the file stands; only its protection
    // from later plain members is lost, and that is said.
    if (stat(name, &st) == 0 && !contains(r.restored_segments, FileId{st.st_dev, st.st_ino}) &&
        !r.restored_segments.push(FileId{st.st_dev, st.st_ino})) {
      ShownName shown;
      report_fs_error(show_name(name, &shown));
    }
  }
  r.segment_names.clear();
}

void extract_indexed(const Target &target, const MemberHeader &h, uint32_t mode, bool restore) {
  const TransferState &t = transfer();
  const IndexedOps &ops = indexed_ops();
  IndexedPrologue x;
  read_prologue(target, &x);
  const bool prefixed = t.format_version >= kFormatOldStyle;
  const int64_t step = x.max_length + (prefixed ? 2 : 0);
  void *file = nullptr;
  PrivateFiles private_files;
  if (restore) {
    cap_physical_parameters(&x, step > 0 ? h.data_size / step : 0);
    file = make_indexed(target, x, &private_files);
    if (file) begin_partial(target, -1, file);
  }
  MemPtr<char> record;
  if (!record.allocate(kRecordBufferSize, "archive record buffer")) out_of_memory(target.path);
  int64_t remaining = h.data_size;
  char *buf = record.get();
  while (remaining >= 1) {
    stop_if_interrupted();
    int64_t length = x.max_length;
    if (prefixed) {
      read_archive_bytes(buf, 2);
      length = (static_cast<uint8_t>(buf[0]) << 8) | static_cast<uint8_t>(buf[1]);
      if (length > x.max_length) corrupt_archive();
    }
    read_archive_bytes(buf, static_cast<size_t>(length));
    if (file && !ops.write(file, buf, static_cast<uint32_t>(length))) {
      int16_t code = *fs_error_code();
      report_fs_error(target.shown);
      if (code != E_DUPLICATE) fatal_exit();
    }
    remaining -= step;
  }
  if (file) {
    finish_indexed(target, file, mode);
    set_times_and_owner(target.path, h);
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
      ShownName shown;
      report_sys_error(show_name(prefix, &shown));
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
  ReaderState &r = g_reader;
  while (first < count && r.found.size() < static_cast<size_t>(count - first)) {
    if (!r.found.push(0)) out_of_memory("requested member names");
  }
  bool selected = first >= count;
  for (int i = first; i < count; ++i) {
    if (strcmp(names[i], output_name) == 0 || strcmp(names[i], stored) == 0) {
      selected = true;
      r.found[static_cast<size_t>(i - first)] = 1;
    }
  }
  ShownName shown;
  const Target target = {output_name, show_name(output_name, &shown)};
  if (selected) list_member(h, target.shown);
  const bool restore = selected && !t.table;
  // From the creation of the file to its last attribute, a signal is only
  // noted; the restore acts on it where it can clean up.
  if (restore) member_begins();
  if (h.type == kTypeIndexed) {
    extract_indexed(target, h, mode, restore);
  } else if (restore) {
    restore_plain(target, h, mode);
  } else {
    skip_archive_bytes(static_cast<uint64_t>(h.data_size));
  }
  member_ends();
  stop_if_interrupted();  // a signal that came while the member was finished
  return 1;
}

void report_names_not_found(char **names, int first, int count) {
  ReaderState &r = g_reader;
  for (int i = first; i < count; ++i) {
    const size_t k = static_cast<size_t>(i - first);
    if (k < r.found.size() && r.found[k]) continue;
    ShownName shown;
    eprintf(printf_text_of(kMsgNotFound), show_name(names[i], &shown));
  }
}

void reader_release() {
  ReaderState &r = g_reader;
  r.restored_segments.clear();
  r.segment_names.clear();
  r.found.clear();
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
    char converted[kMaxNameLength + 1];
    if (t.convert_names) {
      convert_name(name, converted);
    } else {
      memcpy(converted, name, static_cast<size_t>(name_length) + 1);
    }
    ShownName shown;
    eprintf(printf_text_of(kMsgNextAppears), show_name(converted, &shown));
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
