#include "archive/reader.h"

#include <dirent.h>
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

#include "archive/indexed_io.h"
#include "archive/segment_list.h"
#include "archive/texts.h"
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

// The length of the folder part of `path`, its last slash included; 0 for
// a name in the current folder. Hidden names are made in that folder.
int folder_length(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? static_cast<int>(slash + 1 - path) : 0;
}

// Where a member goes: its output name, and that name as messages show it.
struct Target {
  const char *path;
  const char *shown;
};

// A member being restored. Until it is complete, every way out of its
// restore removes it and names it (message 1181, or 1205 when it cannot
// be removed, 1206 when that is a plain member's temporary file): that is
// how a fatal stop cleans up on its way to the driver. It is a plain
// member's temporary file, or an indexed file: closed first while it is
// open; after a failed close only removed (its blocks may be missing). The
// file an indexed member replaces is set aside under a hidden name until
// then, and put back when the member is not restored; when an earlier file
// stands at the member's name after the clean-up, message 1202 says so
// instead.
class PartialRestore {
 public:
  explicit PartialRestore(const Target &target) : target_(target) {}
  ~PartialRestore();
  PartialRestore(const PartialRestore &) = delete;
  PartialRestore &operator=(const PartialRestore &) = delete;

  // The temporary name of a plain member (kTempPath bytes).
  char *temp() { return temp_; }
  void plain_begins(int fd) { fd_ = fd; }
  // Moves the file at the target's name aside; false when there is none
  // or it cannot be moved (it is then removed as before).
  bool set_aside();
  void indexed_begins(void *file) {
    indexed_ = file;
    indexed_made_ = true;
  }
  void indexed_close_failed() { indexed_ = nullptr; }
  void complete();
  // Removes a plain member's temporary file (one already gone counts as
  // removed); one that stays is named with the reason and message 1206.
  // False when it stays.
  bool remove_temp();

 private:
  // Names the earlier file that stays under its hidden name, with the
  // error that kept it there, so that it can be found.
  void report_aside() const;
  // Puts back the segments an engine's failed move left under hidden names
  // beside the hidden name.
  void put_back_segments();

  const Target &target_;
  char temp_[kTempPath] = {};
  int fd_ = -1;
  void *indexed_ = nullptr;
  bool indexed_made_ = false;
  // The earlier file at the target's name, while it is set aside: its
  // hidden name, and whether it is an indexed file (moved with its
  // segments) or any other file.
  char aside_[kTempPath] = {};
  enum class Aside { kNone, kIndexed, kOther } aside_kind_ = Aside::kNone;
};

// Moves `from` to `to` unless a file stands at `to`; false (errno set)
// when it does not move. A file system that refuses the no-replace rename
// (EINVAL; ENOSYS from an older kernel) gets a link, which refuses a taken
// name as well, and an unlink of `from`; a failed unlink leaves the file
// under both names, and the second name is reported with the reason.
bool move_no_replace(const char *from, const char *to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(from, to) != 0) return false;
  if (unlink(from) != 0) {
    ShownName shown;
    report_sys_error(show_name(from, &shown));
  }
  return true;
}

// The hidden name is ".kel", six random characters, "-" and the name (a
// prefix, since the names of further segments replace the extension),
// reserved by creating it exclusively; rename then moves the file over it.
bool PartialRestore::set_aside() {
  struct stat st;
  if (lstat(target_.path, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int folder = folder_length(target_.path);
  const char *base = target_.path + folder;
  const int cut = static_cast<int>(strnlen(base, kTempNamePart));
  snprintf(aside_, sizeof aside_, "%.*s.kelXXXXXX-%.*s", folder, target_.path, cut, base);
  int fd = mkstemps(aside_, cut + 1);
  if (fd < 0) return false;
  // The placeholder's identity tells it apart from the earlier file after
  // a failed engine move; without it the hidden name is not used.
  struct stat placeholder;
  const bool known = fstat(fd, &placeholder) == 0;
  close(fd);
  if (!known) {
    unlink(aside_);
    return false;
  }
  const FileId earlier = file_id(st);
  const IndexedOps &ops = indexed_ops();
  if (ops.rename && ops.rename(target_.path, aside_)) {
    aside_kind_ = Aside::kIndexed;
  } else if (lstat(target_.path, &st) != 0) {
    // The engine moved the first segment before it failed: it goes back
    // with any other it moved, and the file is replaced as it would have
    // been without this. Only the earlier file itself goes back (known by
    // its identity, which a move keeps), never onto a name taken meanwhile
    // (it then stays hidden and is named). While the hidden name still
    // holds the empty placeholder, the earlier file went elsewhere: the
    // placeholder is removed and nothing lands on the file's name. Whatever
    // else stands at the hidden name is not ours and stays.
    const bool there = lstat(aside_, &st) == 0;
    const FileId hidden = file_id(st);
    if (there && hidden == earlier) {
      if (!move_no_replace(aside_, target_.path)) report_aside();
    } else if (there && hidden == file_id(placeholder)) {
      unlink(aside_);
    }
    put_back_segments();
    return false;
  } else if (void *file = ops.rename ? ops.open_input(target_.path) : nullptr) {
    // An indexed file the engine can open but not move (a hidden name too
    // long for its segments): moved alone, its first segment would come
    // back without the others, so it is removed as it would have been
    // without this.
    ops.close(file);
    unlink(aside_);
    return false;
  } else if (rename(target_.path, aside_) == 0) {
    aside_kind_ = Aside::kOther;
  } else {
    unlink(aside_);
    return false;
  }
  return true;
}

// The engine moves a file's segments one after the other, each to the
// name it gives that segment of the hidden name: the segment's own name
// behind the hidden name's unique prefix (".kel", the six characters and
// "-"), in the same folder, as long as segments are named by the file's
// name with a suffix. After a failure part way, each entry of the folder
// with that prefix goes back to its name without it; one that cannot (the
// name taken, or the move refused) is named, so that it can be found.
void PartialRestore::put_back_segments() {
  const int folder = folder_length(aside_);
  char dir[kTempPath];
  snprintf(dir, sizeof dir, "%.*s", folder, aside_);
  DIR *entries = opendir(folder ? dir : ".");
  ShownName shown;
  if (entries == nullptr) return (void)report_sys_error(show_name(folder ? dir : ".", &shown));
  const char *base = aside_ + folder;
  const size_t prefix = static_cast<size_t>(strchr(base, '-') + 1 - base);
  while (const dirent *e = readdir(entries)) {
    if (strncmp(e->d_name, base, prefix) != 0 || strcmp(e->d_name, base) == 0) continue;
    char hidden[kTempPath + sizeof e->d_name], original[kTempPath + sizeof e->d_name];
    snprintf(hidden, sizeof hidden, "%s%s", dir, e->d_name);
    snprintf(original, sizeof original, "%s%s", dir, e->d_name + prefix);
    if (!move_no_replace(hidden, original)) report_sys_error(show_name(hidden, &shown));
  }
  closedir(entries);
}

void PartialRestore::complete() {
  fd_ = -1;
  indexed_ = nullptr;
  indexed_made_ = false;
  bool gone = true;
  if (aside_kind_ == Aside::kIndexed) gone = indexed_ops().remove(aside_) != 0;
  if (aside_kind_ == Aside::kOther) gone = unlink(aside_) == 0;
  if (!gone) report_aside();
  aside_kind_ = Aside::kNone;
}

void PartialRestore::report_aside() const {
  ShownName shown;
  if (aside_kind_ == Aside::kIndexed) {
    report_fs_error(show_name(aside_, &shown));
  } else {
    report_sys_error(show_name(aside_, &shown));
  }
}

PartialRestore::~PartialRestore() {
  const bool removed = fd_ >= 0 || indexed_made_;
  // A half-made file that cannot be removed is named with the reason, and
  // the last message does not call it removed.
  bool gone = true;
  if (fd_ >= 0) {
    close(fd_);
    gone = remove_temp();
  } else if (indexed_made_) {
    if (indexed_) indexed_ops().close(indexed_);
    gone = indexed_ops().remove(target_.path) != 0;
    if (!gone) report_fs_error(target_.shown);
  }
  // A plain member's target was never touched: whatever stands there is
  // the earlier file.
  struct stat st;
  bool back = fd_ >= 0 && lstat(target_.path, &st) == 0;
  if (aside_kind_ == Aside::kIndexed) {
    back = indexed_ops().rename(aside_, target_.path) != 0;
    // A move back that fails after the first segment has gone back leaves
    // the others hidden: they follow it, as after a failed move aside, and
    // any that cannot is named.
    if (!back && lstat(aside_, &st) != 0 && lstat(target_.path, &st) == 0) {
      put_back_segments();
      back = true;
    }
  }
  if (aside_kind_ == Aside::kOther) back = rename(aside_, target_.path) == 0;
  if (aside_kind_ != Aside::kNone && !back) report_aside();
  // A plain member's leftover is its temporary file, named already.
  if (removed && (fd_ < 0 || gone))
    eprintf(printf_text_of(back   ? kMsgPartKept
                           : gone ? kMsgPartRemoved
                                  : kMsgPartLeft),
            target_.shown);
}

bool PartialRestore::remove_temp() {
  if (unlink(temp_) == 0 || errno == ENOENT) return true;
  ShownName shown;
  report_sys_error(show_name(temp_, &shown));
  eprintf(printf_text_of(kMsgPartTempLeft), target_.shown, show_name(temp_, &shown));
  return false;
}

Status out_of_memory(const char *name) {
  ShownName shown;
  report_fs_error(show_name(name, &shown));
  return Status::kFatal;
}

mode_t process_umask(ReaderState &r) {
  if (!r.umask_known) {
    r.umask_value = umask(0);
    umask(r.umask_value);
    r.umask_known = true;
  }
  return r.umask_value;
}

Status corrupt_archive() {
  say(kMsgCorrupt);
  say(kMsgAborted);
  return Status::kFatal;
}

// A fixed-width count of an indexed member's texts.
Status read_count(ReaderState &r, int digits, int32_t *value) {
  char text[8];
  KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, text, static_cast<size_t>(digits)));
  *value = 0;
  for (int i = 0; i < digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return corrupt_archive();
    *value = *value * 10 + (text[i] - '0');
  }
  return Status::kOk;
}

// --------------------------------------------------------------- listing --

const char *owner_name(ReaderState &r, int32_t uid) {
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

void list_member(ReaderState &r, const MemberHeader &h, const char *shown_name) {
  const TransferState &t = r.transfer;
  if (t.verbose && t.table) {
    Astream_printf(stdout, "%6o ", h.mode);
    const char *owner = owner_name(r, h.owner);
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

void set_times_and_owner(const TransferState &t, const char *name, const MemberHeader &h) {
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
bool is_restored_segment(const ReaderState &r, const Target &target) {
  struct stat st;
  if (lstat(target.path, &st) != 0 || !S_ISREG(st.st_mode) ||
      !contains(r.restored_segments, file_id(st)))
    return false;
  eprintf(printf_text_of(kMsgSegmentKept), target.shown);
  return true;
}

// A restore never replaces the archive it reads (the archive would be
// lost) nor an indexed file that another program has open (the program's
// later writes would go to the removed file): either is said, and the
// member's data is passed over.
bool may_replace(const ReaderState &r, const Target &target) {
  struct stat st;
  if (lstat(target.path, &st) != 0 || !S_ISREG(st.st_mode)) return true;
  const Text *refusal = is_archive_file(r.volume, st) ? &kMsgArchiveRead
                        : indexed_ops().in_use && indexed_ops().in_use(target.path) ? &kMsgInUse
                                                                                    : nullptr;
  if (refusal) eprintf(printf_text_of(*refusal), target.shown);
  return refusal == nullptr;
}

// Creates the temporary file of a plain member in the member's folder,
// making folders as allowed: ".<name>.kel" and six random characters,
// created exclusively (an existing name, a link included, is never
// followed), mode 0600 until the member is complete. -1 when it cannot be
// created (reported).
int create_temp(const TransferState &t, const Target &target, char *temp) {
  const int folder = folder_length(target.path);
  const char *base = target.path + folder;
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
    if (make_parent_dirs(t, target.path) != 1) {
      errno = saved;
      report_sys_error(target.shown);
      return -1;
    }
  }
}

// The restored file gets the mode it would have had from creat (the
// permission bits under the umask), the archived times with -m and the
// archived owner, all before it takes its name.
void finish_plain_attributes(ReaderState &r, int fd, const MemberHeader &h, uint32_t mode) {
  const TransferState &t = r.transfer;
  if (!t.keep_owner_off) {
    if (fchown(fd, static_cast<uid_t>(h.owner), static_cast<gid_t>(h.group)) != 0) {
      // Only the super-user may give files away; the restore stands.
    }
  }
  fchmod(fd, static_cast<mode_t>(mode & 0777) & ~process_umask(r));
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
Status restore_plain(ReaderState &r, const Target &target, const MemberHeader &h, uint32_t mode) {
  PartialRestore partial(target);
  int fd = is_restored_segment(r, target) ? -1 : create_temp(r.transfer, target, partial.temp());
  if (fd < 0) return skip_archive_bytes(r.volume, static_cast<uint64_t>(h.data_size));
  partial.plain_begins(fd);
  int64_t remaining = h.data_size;
  while (remaining > 0) {
    KEL_RETURN_IF_FATAL(stop_if_interrupted(r.interrupts));
    size_t want = remaining < static_cast<int64_t>(kGatherBytes) ? static_cast<size_t>(remaining)
                                                                 : kGatherBytes;
    size_t got;
    const uint8_t *bytes;
    KEL_RETURN_IF_FATAL(archive_read_span(r.volume, want, &bytes, &got));
    if (write(fd, bytes, got) != static_cast<ssize_t>(got)) {
      KEL_RETURN_IF_FATAL(stop_if_interrupted(r.interrupts));
      say(kMsgDiskFull);
      return Status::kFatal;
    }
    remaining -= static_cast<int64_t>(got);
  }
  finish_plain_attributes(r, fd, h, mode);
  partial.complete();
  if (close(fd) != 0 || rename(partial.temp(), target.path) != 0) {
    // A complete copy that cannot take its name (a folder stands there, a
    // failed close): whatever is at the name is the earlier file, untouched.
    report_sys_error(target.shown);
    struct stat st;
    if (partial.remove_temp())
      eprintf(printf_text_of(lstat(target.path, &st) == 0 ? kMsgPartKept : kMsgPartRemoved),
              target.shown);
  }
  return Status::kOk;
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

Status read_counted_text(ReaderState &r, int digits, char *out) {
  int32_t length;
  KEL_RETURN_IF_FATAL(read_count(r, digits, &length));
  KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, out, static_cast<size_t>(length)));
  if (memchr(out, '\0', static_cast<size_t>(length)) != nullptr) return corrupt_archive();
  return Status::kOk;
}

Status read_prologue(ReaderState &r, const Target &target, IndexedPrologue *x) {
  const TransferState &t = r.transfer;
  if (t.format_version >= kFormatCurrent) {
    KEL_RETURN_IF_FATAL(read_counted_text(r, 2, x->record_parameters));
    KEL_RETURN_IF_FATAL(read_counted_text(r, 2, x->physical_parameters));
    KEL_RETURN_IF_FATAL(read_counted_text(r, 2, x->comment));
    x->max_length = max_record_length_of(x->record_parameters);
    int32_t table;
    KEL_RETURN_IF_FATAL(read_count(r, 3, &table));
    if (table != 0 && table != kTranslationTableSize) return corrupt_archive();
    if (table != 0) {
      KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, x->table, kTranslationTableSize));
      x->has_table = true;
    }
    int32_t key_count;
    KEL_RETURN_IF_FATAL(read_count(r, 3, &key_count));
    if (!x->keys.allocate(static_cast<size_t>(key_count > 0 ? key_count : 1) * kKeySlot,
                          "dorvex keys"))
      return out_of_memory(target.path);
    char *p = x->keys.get();
    for (int32_t k = 0; k < key_count; ++k) {
      int32_t length;
      KEL_RETURN_IF_FATAL(read_count(r, 3, &length));
      if (length > kKeySlot - 1) return corrupt_archive();
      KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, p, static_cast<size_t>(length)));
      if (memchr(p, '\0', static_cast<size_t>(length)) != nullptr) return corrupt_archive();
      p += length;
      *p++ = ',';
    }
    if (p > x->keys.get()) --p;  // the last comma goes
    *p = '\0';
  } else {
    int32_t comment_length, keys_length;
    KEL_RETURN_IF_FATAL(read_count(r, 2, &comment_length));
    KEL_RETURN_IF_FATAL(read_count(r, 3, &keys_length));
    KEL_RETURN_IF_FATAL(
        read_archive_bytes(r.volume, x->comment, static_cast<size_t>(comment_length)));
    KEL_RETURN_IF_FATAL(
        read_archive_bytes(r.volume, x->old_keys, static_cast<size_t>(keys_length)));
    int32_t max_length = -1;
    if (!parse_old_key_description(x->old_keys, &x->node_blocks, &max_length))
      return corrupt_archive();
    x->max_length = max_length;
  }
  // The record buffer holds 32766 bytes behind the length; a member that
  // announces more cannot be read into it. A version 4 member of records
  // of length 0 would never end.
  if (x->max_length < 0 || x->max_length > kMaxRecordLength) return corrupt_archive();
  if (t.format_version < kFormatOldStyle && x->max_length == 0) return corrupt_archive();
  return Status::kOk;
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
  explicit PrivateFiles(const TransferState &t) : t_(t), saved_(umask(077)) {}
  ~PrivateFiles() { umask(saved_); }
  PrivateFiles(const PrivateFiles &) = delete;
  PrivateFiles &operator=(const PrivateFiles &) = delete;
  // Folders made on the way get the process's own umask.
  int make_parent_dirs_as_usual(const char *path) {
    umask(saved_);
    int made = make_parent_dirs(t_, path);
    umask(077);
    return made;
  }

 private:
  const TransferState &t_;
  mode_t saved_;
};

// Makes the indexed file from the prologue. Null when it cannot (reported).
void *make_indexed(const TransferState &t, const Target &target, const IndexedPrologue &x,
                   PrivateFiles *private_files, PartialRestore *partial) {
  const IndexedOps &ops = indexed_ops();
  const char *name = target.path;
  if (!partial->set_aside()) {
    ops.remove(name);
    unlink(name);
  }
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

// The segment names of a restored indexed file. Without memory for one the
// run ends: that name is reported at once, the rest are passed over.
struct SegmentNames {
  ReaderState *reader;
  Status status = Status::kOk;
};

void note_segment_name(const char *name, void *context) {
  auto *names = static_cast<SegmentNames *>(context);
  if (names->status != Status::kOk) return;
  SegmentName s = {};
  snprintf(s.name, sizeof s.name, "%s", name);
  if (!names->reader->segment_names.push(s)) names->status = out_of_memory(name);
}

// Closes a restored indexed file. Its blocks were deferred to the close, so
// a failing close may have lost records: that ends the run like any other
// failed write, and the file is removed. Its segments, named by the engine
// while it is open, then get the archived permission bits and are
// remembered, so that no later plain member overwrites one of them.
Status finish_indexed(ReaderState &r, PartialRestore *partial, const Target &target, void *file,
                      uint32_t mode) {
  r.segment_names.clear();
  SegmentNames names{&r};
  note_segment_name(target.path, &names);
  if (names.status == Status::kOk) each_segment(file, note_segment_name, &names);
  KEL_RETURN_IF_FATAL(names.status);
  if (!indexed_ops().close(file)) {
    partial->indexed_close_failed();
    report_fs_error(target.shown);
    return Status::kFatal;
  }
  partial->complete();
  for (size_t i = 0; i < r.segment_names.size(); ++i) {
    const char *name = r.segment_names[i].name;
    // Only the permission bits: set-user, set-group and sticky bits from
    // an archive of unknown origin would hand its author the restoring
    // user's rights.
    chmod(name, mode & 0777);
    struct stat st;
    // Without memory to remember it the file stands; only its protection
    // from later plain members is lost, and that is said.
    if (stat(name, &st) == 0 && !contains(r.restored_segments, file_id(st)) &&
        !r.restored_segments.push(file_id(st))) {
      ShownName shown;
      report_fs_error(show_name(name, &shown));
    }
  }
  r.segment_names.clear();
  return Status::kOk;
}

Status extract_indexed(ReaderState &r, const Target &target, const MemberHeader &h, uint32_t mode,
                       bool restore) {
  const TransferState &t = r.transfer;
  const IndexedOps &ops = indexed_ops();
  IndexedPrologue x;
  KEL_RETURN_IF_FATAL(read_prologue(r, target, &x));
  const bool prefixed = t.format_version >= kFormatOldStyle;
  const int64_t step = x.max_length + (prefixed ? 2 : 0);
  void *file = nullptr;
  PrivateFiles private_files(t);
  PartialRestore partial(target);
  if (restore) {
    cap_physical_parameters(&x, step > 0 ? h.data_size / step : 0);
    file = make_indexed(t, target, x, &private_files, &partial);
    if (file) partial.indexed_begins(file);
  }
  MemPtr<char> record;
  if (!record.allocate(kRecordBufferSize, "archive record buffer"))
    return out_of_memory(target.path);
  int64_t remaining = h.data_size;
  char *buf = record.get();
  while (remaining >= 1) {
    KEL_RETURN_IF_FATAL(stop_if_interrupted(r.interrupts));
    int64_t length = x.max_length;
    if (prefixed) {
      KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, buf, 2));
      length = (static_cast<uint8_t>(buf[0]) << 8) | static_cast<uint8_t>(buf[1]);
      if (length > x.max_length) return corrupt_archive();
    }
    KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, buf, static_cast<size_t>(length)));
    if (file && !ops.write(file, buf, static_cast<uint32_t>(length))) {
      int16_t code = *fs_error_code();
      report_fs_error(target.shown);
      if (code != E_DUPLICATE) return Status::kFatal;
    }
    remaining -= step;
  }
  if (file) {
    KEL_RETURN_IF_FATAL(finish_indexed(r, &partial, target, file, mode));
    set_times_and_owner(t, target.path, h);
  }
  return Status::kOk;
}

// ----------------------------------------------------------------- search --

// Reads 8 bytes until they are the member magic text, one byte further
// after each false start.
Status scan_for_magic(VolumeState &v, char *magic) {
  KEL_RETURN_IF_FATAL(read_archive_bytes(v, magic, 8));
  for (;;) {
    if (magic[0] != '1') {
      int i = 1;
      while (i < 8 && magic[i] != '1') ++i;
      for (int k = 7; k >= i; --k) push_back(v, static_cast<uint8_t>(magic[k]));
    } else if (memcmp(magic, kMemberMagicText, 8) == 0) {
      return Status::kOk;
    } else {
      for (int k = 7; k >= 1; --k) push_back(v, static_cast<uint8_t>(magic[k]));
    }
    KEL_RETURN_IF_FATAL(read_archive_bytes(v, magic, 8));
  }
}

}  // namespace

int make_parent_dirs(const TransferState &t, const char *path) {
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
    if (!t.make_dirs) {
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

Status extract_member(ReaderState &r, char **names, int first, int count, bool *trailer) {
  const TransferState &t = r.transfer;
  *trailer = false;
  char head[kMemberHeaderSize + 1];
  KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, head, kMemberHeaderSize));
  int32_t name_length = 0;
  if (parse_member_start(head, &name_length) != HeaderCheck::kOk) return corrupt_archive();
  char stored[kMaxNameLength + 1];
  if (name_length > kMaxNameLength) return corrupt_archive();
  KEL_RETURN_IF_FATAL(read_archive_bytes(r.volume, stored, static_cast<size_t>(name_length)));
  if (name_length == static_cast<int32_t>(strlen(kTrailerName)) &&
      memcmp(stored, kTrailerName, static_cast<size_t>(name_length)) == 0) {
    *trailer = true;
    return Status::kOk;
  }
  if (memchr(stored, '\0', static_cast<size_t>(name_length)) != nullptr) return corrupt_archive();
  MemberHeader h;
  if (parse_member_header(head, &h) != HeaderCheck::kOk) return corrupt_archive();

  uint32_t mode = h.mode;
  if (t.add_write) mode |= 0222;
  char converted[kMaxNameLength + 1];
  const char *output_name = stored;
  if (t.convert_names || t.flatten) {
    convert_name(stored, converted);
    output_name = converted;
    if (t.flatten) {
      output_name = converted + folder_length(converted);
    }
  }
  while (first < count && r.found.size() < static_cast<size_t>(count - first)) {
    if (!r.found.push(0)) return out_of_memory("requested member names");
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
  if (selected) list_member(r, h, target.shown);
  const bool restore = selected && !t.table && may_replace(r, target);
  // From the creation of the file to its last attribute, a signal is only
  // noted; the restore acts on it where it can clean up.
  if (restore) member_begins(r.interrupts);
  if (h.type == kTypeIndexed) {
    KEL_RETURN_IF_FATAL(extract_indexed(r, target, h, mode, restore));
  } else if (restore) {
    KEL_RETURN_IF_FATAL(restore_plain(r, target, h, mode));
  } else {
    KEL_RETURN_IF_FATAL(skip_archive_bytes(r.volume, static_cast<uint64_t>(h.data_size)));
  }
  member_ends(r.interrupts);
  // A signal that came while the member was finished.
  return stop_if_interrupted(r.interrupts);
}

void report_names_not_found(const ReaderState &r, char **names, int first, int count) {
  for (int i = first; i < count; ++i) {
    const size_t k = static_cast<size_t>(i - first);
    if (k < r.found.size() && r.found[k]) continue;
    ShownName shown;
    eprintf(printf_text_of(kMsgNotFound), show_name(names[i], &shown));
  }
}

Status recovery_search(ReaderState &r) {
  const TransferState &t = r.transfer;
  VolumeState &v = r.volume;
  for (;;) {
    Astream_printf(stdout, "%s", text_of(kMsgSearching));
    Astream_flush(stdout);
    char magic[9], rest[kMemberHeaderSize - 8 + 1], name[kMaxNameLength + 1];
    int32_t name_length;
    for (;;) {
      KEL_RETURN_IF_FATAL(scan_for_magic(v, magic));
      KEL_RETURN_IF_FATAL(read_archive_bytes(v, rest, sizeof rest - 1));
      char head[kMemberHeaderSize];
      memcpy(head, magic, 8);
      memcpy(head + 8, rest, sizeof rest - 1);
      if (parse_member_start(head, &name_length) == HeaderCheck::kOk &&
          name_length <= kMaxNameLength)
        break;
      // Not a header after all: the scan goes on right behind its magic.
      for (int k = static_cast<int>(sizeof rest) - 2; k >= 0; --k)
        push_back(v, static_cast<uint8_t>(rest[k]));
    }
    KEL_RETURN_IF_FATAL(read_archive_bytes(v, name, static_cast<size_t>(name_length)));
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
    KEL_RETURN_IF_FATAL(tty_read_line(r.terminal, answer, sizeof answer));
    if (answer[0] == 'y' || answer[0] == 'Y') {
      for (int k = name_length - 1; k >= 0; --k) push_back(v, static_cast<uint8_t>(name[k]));
      for (int k = static_cast<int>(sizeof rest) - 2; k >= 0; --k)
        push_back(v, static_cast<uint8_t>(rest[k]));
      for (int k = 7; k >= 0; --k) push_back(v, static_cast<uint8_t>(magic[k]));
      return Status::kOk;
    }
  }
}

}  // namespace kel::archive
