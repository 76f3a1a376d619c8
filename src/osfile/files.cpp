// The file table, the open locks, the record-lock table and the file-wide
// update lock. All of the layer's process-wide state is the FilesState
// below; Ainit_files creates its tables and Afree_files releases them.
//
// Lock band. T is the top offset: 2^31-1 for an open without large-file
// offsets; for a large-file open 2^40-1 with LARGE_FILE_LIMIT_1TB, else
// 2^41-1 with LARGE_FILE_LIMIT_2TB, else 2^63-1. No data ever lies there.
//
//   offset          width  use
//   T-302           1      probe byte of exclusive opens (plain readers test it)
//   T-301           100    slots of deny-write readers
//   T-201           100    slots of deny-write writers
//   T-200           100    slots of sharing writers (overlapping the row
//                          above by 99 bytes; slots are read locks, so the
//                          overlap is harmless)
//   T-100           100    slots of sharing readers
//
// An exclusive open write-locks all 302 bytes. Any other open first tests
// (F_GETLK for a write lock, which reports any lock of another process) a
// range that covers the slots it conflicts with, then read-locks one byte
// of its own row:
//
//   opener              slots from  test range
//   deny-write writer   T-201       T-301, 201 bytes
//   deny-write reader   T-301       T-201, 101 bytes
//   sharing writer      T-200       T-301, 101 bytes
//   sharing reader      T-100       T-302, 1 byte
//
// Byte 0 carries the file-wide update lock; records carry one-byte write
// locks at offsets chosen by the engines.
//
// Record-lock table entry (16 bytes, in memory only):
//
//   offset  width  field
//   0       8      record offset
//   8       4      device (low word of st_dev)
//   12      4      inode (low word of st_ino)
//
// Record locks belong to the file (device, inode), not to one open of it.
#include "osfile/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "support/alloc.h"
#include "support/descriptor.h"
#include "support/fail.h"

using kel::fs_fail;

namespace {

constexpr int64_t kTop32 = INT32_MAX;
constexpr int64_t kTop1TB = (int64_t{1} << 40) - 1;
constexpr int64_t kTop2TB = (int64_t{1} << 41) - 1;
constexpr int64_t kTop63 = INT64_MAX;

constexpr int64_t kBandSize = 302;
constexpr int64_t kProbe = 302;         // T - 302
constexpr int64_t kDenyReaders = 301;   // T - 301
constexpr int64_t kDenyWriters = 201;   // T - 201
constexpr int64_t kShareWriters = 200;  // T - 200
constexpr int64_t kShareReaders = 100;  // T - 100
constexpr int32_t kSlotsPerRow = 100;

// Mode bits that never reach the stored flags.
constexpr int32_t kModeOnlyBits = 0x10 | 0x1000 | 0x2000 | 0x10000 | 0x20000 | A_CREATE_NEW;
// Write access or a sharing bit: an open that needs a read-write
// descriptor or that others must see.
constexpr uint16_t kWriteOrSharing = 0x303;

enum LockState : uint16_t {
  kNormal = 0,
  kUpdateLocked = 1,  // the file-wide update lock is held
  kNeverLocked = 2,   // opened by the read-only fallback
};

struct FileEntry {
  uint32_t inode;  // 0 when free
  int32_t fd;      // -1 when free
  uint16_t flags;
  uint16_t lock_state;
  uint32_t device;
  char *name;
  // Whether the open lock lies below the large-file top; kept so that the
  // lock is placed again at the same place whichever close triggers it.
  bool large;
};

struct RecordLock {
  int64_t offset;
  uint32_t device;
  uint32_t inode;
};
static_assert(sizeof(RecordLock) == 16);

struct FilesState {
  bool ready = false;
  int32_t max_files = 0;
  int32_t max_locks = 0;
  int64_t top64 = kTop63;
  kel::MemPtr<FileEntry> entries;      // "file table (UNIX)"
  kel::MemPtr<int64_t> acs_loc;        // "acs_loc (UNIX)"
  kel::MemPtr<int16_t> acs_size;       // "acs_size (UNIX)"
  kel::MemPtr<RecordLock> locks;       // "lock table (UNIX)"
  kel::MemPtr<RecordLock> temp_locks;  // "temporary lock table (UNIX)"
  int32_t lock_count = 0;

  // The registration of the layer above outlives Afree_files; the tests'
  // override of USE_LARGE_FILE_API goes with the tables, so that the next
  // user of the layer starts from the configuration.
  kel::DescriptorRenumberHook renumber_hook = nullptr;
  int large_override = -1;
};

// Initialised as a constant, before any code runs: every transfer of the
// block cache asks for a descriptor, and a function's static object would
// test its first-use guard at each of them.
constinit FilesState g_files;

FilesState &state() {
  return g_files;
}

bool live(const FileEntry &e) {
  return e.fd >= 0;
}
bool lockable(const FileEntry &e) {
  return (e.flags & A_NO_LOCKING) == 0;
}
bool same_file(const FileEntry &e, uint32_t device, uint32_t inode) {
  return e.device == device && e.inode == inode;
}

FileEntry *entry_of(int32_t file) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files || !live(s.entries[file])) {
    return fs_fail(E_PARAM);
  }
  return &s.entries[file];
}

int64_t top_of(bool large) {
  return large ? state().top64 : kTop32;
}

// Forgets the slot; a refusal by another process is E_FILE_LOCKED and -1,
// anything else E_SYSERR and the primitive's result (2 or -1).
int32_t open_lock_failed(int32_t file, int32_t result) {
  state().acs_loc[file] = -1;
  if (result == 1) {
    fs_fail(E_FILE_LOCKED);
    return -1;
  }
  fs_fail(E_SYSERR);
  return result;
}

// op 2: is the file open in another process? op 0: release the slot.
// op 1: place the open lock. 0 on success; see open_lock_failed.
int32_t open_lock(int32_t fd, int32_t file, uint16_t flags, int op, bool large) {
  FilesState &s = state();
  if (flags & A_NO_LOCKING) return 0;
  int64_t top = top_of(large);
  if (op == 2) {
    int32_t r = Alock_range(fd, top - kBandSize, kBandSize, 3);
    return r == 0 ? 0 : open_lock_failed(file, r);
  }
  if (op == 0) {
    if (s.acs_loc[file] >= 0) Alock_range(fd, s.acs_loc[file], s.acs_size[file], 0);
    s.acs_loc[file] = -1;
    return 0;
  }
  if (flags & A_EXCLUSIVE) {
    s.acs_loc[file] = top - kProbe;
    s.acs_size[file] = static_cast<int16_t>(kBandSize);
    int32_t r = Alock_range(fd, top - kProbe, kBandSize, 2);
    return r == 0 ? 0 : open_lock_failed(file, r);
  }
  bool deny_write = (flags & A_DENY_WRITE) != 0;
  bool writer = (flags & A_ACCESS_MASK) != 0;
  int64_t slots, test_start, test_length;
  if (deny_write && writer) {
    slots = top - kDenyWriters, test_start = top - kDenyReaders, test_length = 201;
  } else if (deny_write) {
    slots = top - kDenyReaders, test_start = top - kDenyWriters, test_length = 101;
  } else if (writer) {
    slots = top - kShareWriters, test_start = top - kDenyReaders, test_length = 101;
  } else {
    slots = top - kShareReaders, test_start = top - kProbe, test_length = 1;
  }
  s.acs_size[file] = 1;
  s.acs_loc[file] = -1;
  int32_t r = Alock_range(fd, test_start, test_length, 3);
  if (r != 0) return open_lock_failed(file, r);
  for (int32_t i = 0; i < kSlotsPerRow; ++i) {
    r = Alock_range(fd, slots + i, 1, 1);
    if (r == 0) {
      s.acs_loc[file] = slots + i;
      return 0;
    }
    if (r != 1) return open_lock_failed(file, r);
  }
  return 0;  // every slot refused: the open goes on without one
}

void remove_record_lock(int32_t index) {
  FilesState &s = state();
  s.locks[index] = s.locks[s.lock_count - 1];
  --s.lock_count;
}

int32_t find_record_lock(int64_t offset, uint32_t device, uint32_t inode) {
  FilesState &s = state();
  for (int32_t i = 0; i < s.lock_count; ++i) {
    const RecordLock &l = s.locks[i];
    if (l.offset == offset && l.device == device && l.inode == inode) return i;
  }
  return -1;
}

// After a descriptor of a file was closed the process holds no lock on it
// any more: every other open of the file places its open lock again, then
// the file's record locks are taken again (from a copy of the table, since
// a lock that cannot be had again is dropped from it). Every open is
// re-established, not only one, because all of them lost their slots.
void relock_file(uint32_t device, uint32_t inode, int32_t skip) {
  FilesState &s = state();
  int32_t record_fd = -1;
  bool record_fd_writes = false;
  for (int32_t i = 0; i < s.max_files; ++i) {
    FileEntry &e = s.entries[i];
    if (i == skip || !live(e) || !lockable(e) || !same_file(e, device, inode)) continue;
    if (e.lock_state != kNeverLocked) {
      open_lock(e.fd, i, e.flags, 1, e.large);
      bool writes = (e.flags & A_ACCESS_MASK) != 0;
      if (record_fd < 0 || (writes && !record_fd_writes)) {
        record_fd = e.fd;
        record_fd_writes = writes;
      }
    }
  }
  if (record_fd < 0) return;
  int32_t count = s.lock_count;
  memcpy(s.temp_locks.get(), s.locks.get(), sizeof(RecordLock) * count);
  for (int32_t i = 0; i < count; ++i) {
    const RecordLock &l = s.temp_locks[i];
    if (l.device != device || l.inode != inode) continue;
    Alock_range(record_fd, l.offset, 1, 0);
    if (Alock_range(record_fd, l.offset, 1, 2) != 0) {
      int32_t at = find_record_lock(l.offset, device, inode);
      if (at >= 0) remove_record_lock(at);
    }
  }
}

bool file_still_open(uint32_t device, uint32_t inode, int32_t skip) {
  FilesState &s = state();
  for (int32_t i = 0; i < s.max_files; ++i) {
    if (i != skip && live(s.entries[i]) && same_file(s.entries[i], device, inode)) return true;
  }
  return false;
}

// Closes a descriptor of a lockable file and gives the file's other opens
// their locks back.
void close_and_relock(int32_t fd, uint32_t device, uint32_t inode, int32_t skip) {
  close(fd);
  relock_file(device, inode, skip);
}

void set_open_error(int e, const char *name) {
  switch (e) {
    case EACCES:
      fs_fail(E_PERMISSION);
      break;
    case EMFILE:
      fs_fail(E_TOO_MANY_FILES);
      break;
    case ENOENT:
      fs_fail(E_NO_FILE);
      fs_set_missing_file_name(name);
      break;
    case EISDIR:
      fs_fail(E_FILE_TYPE);
      break;
    default:
      fs_fail(E_SYSERR);
      break;
  }
}

int large_flag() {
  return kel::large_file_api() ? O_LARGEFILE : 0;
}

int open_flags(int32_t mode, bool can_lock) {
  int access = mode & A_ACCESS_MASK;
  int flags = O_CLOEXEC | large_flag();
  if (mode & A_CREATE_NEW) return flags | O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
  if (access == 0) {
    bool rw = can_lock && ((mode & A_EXCLUSIVE) || kel::fs_settings().queue_readers);
    return flags | (rw ? O_RDWR : O_RDONLY);
  }
  if (access == 2) return flags | O_RDWR;
  if (!can_lock) return flags | O_WRONLY;
  return flags | O_RDWR | O_CREAT | ((mode & A_APPEND) ? O_APPEND : 0);
}

// Opens of one file inside this process exclude each other as opens of
// different processes would (POSIX locks cannot tell them apart).
bool conflicts_inside(int32_t mode, const FileEntry &other) {
  int access = mode & A_ACCESS_MASK;
  if (access == 1) return true;
  if ((mode & A_EXCLUSIVE) || (other.flags & A_EXCLUSIVE)) return true;
  if ((mode & A_DENY_WRITE) && (other.flags & A_ACCESS_MASK)) return true;
  if ((access == 2 || access == 3) && (other.flags & A_DENY_WRITE)) return true;
  return false;
}

// The first steps of an open: the descriptor, with the read-only fallback.
int open_descriptor(const char *name, int32_t mode, bool can_lock, bool *fallback) {
  int fd = open(name, open_flags(mode, can_lock), 0666);
  *fallback = false;
  if (fd < 0 && errno == EACCES && (mode & A_ACCESS_MASK) == 0 && (mode & A_READ_ONLY_FALLBACK)) {
    fd = open(name, O_RDONLY | O_CLOEXEC | large_flag());
    *fallback = fd >= 0;
    if (fd < 0) errno = EACCES;
  }
  return fd;
}

int32_t open_file(const char *name, int32_t mode, bool large) {
  if (!Ainit_files()) return -1;
  FilesState &s = state();
  if (name == nullptr) {
    fs_fail(E_PARAM);
    return -1;
  }
  int32_t file = -1;
  for (int32_t i = 0; i < s.max_files && file < 0; ++i) {
    if (!live(s.entries[i])) file = i;
  }
  if (file < 0) {
    fs_fail(E_TOO_MANY_FILES);
    return -1;
  }
  FileEntry &e = s.entries[file];
  e = FileEntry{0, -1, 0, kNormal, 0, nullptr, large};
  kel::MemPtr<char> copy(static_cast<char *>(
      KEL_ALLOC(strlen(name) + 1, "file name for transaction management (UNIX)")));
  if (!copy) return -1;
  strcpy(copy.get(), name);

  uint16_t flags = static_cast<uint16_t>(mode & ~kModeOnlyBits);
  struct stat st;
  bool can_lock = !(mode & A_NO_LOCKING) && !(stat(name, &st) == 0 && !S_ISREG(st.st_mode));
  if (!can_lock) flags |= A_NO_LOCKING;
  int access = mode & A_ACCESS_MASK;

  bool fallback = false;
  kel::Descriptor fd(open_descriptor(name, mode, can_lock, &fallback));
  if (!fd) {
    set_open_error(errno, name);
    return -1;
  }
  if (fstat(fd.get(), &st) != 0) {
    fs_fail(E_SYSERR);
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    fs_fail(E_FILE_TYPE);
    return -1;
  }
  uint32_t device = static_cast<uint32_t>(st.st_dev);
  uint32_t inode = static_cast<uint32_t>(st.st_ino);

  int32_t keeper = -1;
  if (can_lock) {
    for (int32_t i = 0; i < s.max_files; ++i) {
      const FileEntry &o = s.entries[i];
      if (i == file || !live(o) || !lockable(o) || !same_file(o, device, inode)) continue;
      if (kel::fs_settings().internal_locks && conflicts_inside(mode, o)) {
        fs_fail(E_FILE_LOCKED);
        close_and_relock(fd.release(), device, inode, file);
        return -1;
      }
      if (kel::fs_settings().open_files_once) keeper = i;
    }
  }

  // Output truncates, but only a file that no other process has open. A
  // file created new has nothing to truncate and nobody else has it open.
  if (access == 1 && can_lock && !(mode & A_CREATE_NEW)) {
    if (open_lock(fd.get(), file, flags, 2, large) < 0) {
      close_and_relock(fd.release(), device, inode, file);
      return -1;
    }
    close_and_relock(fd.release(), device, inode, file);
    fd.reset(open(
        name, O_RDWR | O_TRUNC | O_CLOEXEC | large_flag() | ((mode & A_APPEND) ? O_APPEND : 0)));
    if (!fd) {
      set_open_error(errno, name);
      return -1;
    }
  }

  if (!fallback && open_lock(fd.get(), file, flags, 1, large) < 0) {
    close_and_relock(fd.release(), device, inode, file);
    return -1;
  }

  e.device = device;
  e.inode = inode;
  e.flags = flags;
  e.lock_state = fallback ? kNeverLocked : kNormal;
  e.name = copy.release();
  e.fd = fd.release();

  // Descriptor sharing: the file keeps one descriptor for all its opens. A
  // new open that needs more than a plain read replaces a descriptor on
  // which nobody writes; otherwise it takes the keeper's. Either way one
  // descriptor of the file was closed, so every open's locks are placed
  // again.
  if (keeper >= 0) {
    int32_t old_fd = s.entries[keeper].fd;
    bool writers = false;
    for (int32_t i = 0; i < s.max_files; ++i) {
      const FileEntry &o = s.entries[i];
      if (i != file && live(o) && same_file(o, device, inode) && (o.flags & kWriteOrSharing))
        writers = true;
    }
    if (flags != 0 && !writers) {
      for (int32_t i = 0; i < s.max_files; ++i) {
        if (i != file && s.entries[i].fd == old_fd) s.entries[i].fd = e.fd;
      }
      close(old_fd);
      if (s.renumber_hook) s.renumber_hook(old_fd, e.fd);
    } else {
      close(e.fd);
      e.fd = old_fd;
    }
    relock_file(device, inode, -1);
  }

  if (can_lock) lseek(e.fd, 0, access == 3 ? SEEK_END : SEEK_SET);
  return file;
}

// The closing open leaves its descriptor to other opens of the file. When
// it was the only one that needed a read-write descriptor (and readers do
// not queue with write locks), the others move to a fresh read-only one;
// closing the old one drops every lock, so theirs are placed again. False
// when the descriptor stays as it is.
bool move_to_read_only(int32_t file, FileEntry &e) {
  FilesState &s = state();
  bool other_needs = false;
  for (int32_t i = 0; i < s.max_files; ++i) {
    const FileEntry &o = s.entries[i];
    if (i != file && o.fd == e.fd && (o.flags & kWriteOrSharing)) other_needs = true;
  }
  if (!(e.flags & kWriteOrSharing) || other_needs || kel::fs_settings().queue_readers) return false;
  int nfd = open(e.name, O_RDONLY | O_CLOEXEC | large_flag());
  if (nfd < 0) return false;  // keep using the read-write descriptor
  int32_t old_fd = e.fd;
  for (int32_t i = 0; i < s.max_files; ++i) {
    if (s.entries[i].fd == old_fd) s.entries[i].fd = nfd;
  }
  e.fd = -1;
  close(old_fd);
  if (s.renumber_hook) s.renumber_hook(old_fd, nfd);
  relock_file(e.device, e.inode, file);
  return true;
}

int32_t close_file(int32_t file) {
  FileEntry *ep = entry_of(file);
  if (ep == nullptr) return 0;
  FilesState &s = state();
  FileEntry &e = *ep;
  bool sharer = false;
  for (int32_t i = 0; i < s.max_files; ++i) {
    if (i != file && s.entries[i].fd == e.fd) sharer = true;
  }
  if (sharer) {
    bool moved = kel::fs_settings().open_files_once && lockable(e) && move_to_read_only(file, e);
    // The descriptor stays open for the others, but this open's slot must
    // not outlive it (a writer's slot would keep other processes from
    // denying writers). Another open may hold the same byte, so theirs are
    // placed again after the release.
    if (!moved && lockable(e) && e.lock_state != kNeverLocked) {
      open_lock(e.fd, file, e.flags, 0, e.large);
      relock_file(e.device, e.inode, file);
    }
  } else {
    if (e.lock_state != kNeverLocked) open_lock(e.fd, file, e.flags, 0, e.large);
    close(e.fd);
    if (lockable(e)) relock_file(e.device, e.inode, file);
  }
  // The last open of a file takes its record locks with it.
  if (!file_still_open(e.device, e.inode, file)) {
    for (int32_t i = s.lock_count - 1; i >= 0; --i) {
      if (s.locks[i].device == e.device && s.locks[i].inode == e.inode) remove_record_lock(i);
    }
  }
  KEL_FREE(e.name);
  e = FileEntry{0, -1, 0, kNormal, 0, nullptr, false};
  s.acs_loc[file] = -1;
  return 1;
}

int32_t record_lock(int32_t file, int64_t offset, int32_t op) {
  FileEntry *ep = entry_of(file);
  if (ep == nullptr) return -1;
  FilesState &s = state();
  if (!lockable(*ep) || ep->lock_state == kNeverLocked || op == 2) return 0;
  int32_t at = find_record_lock(offset, ep->device, ep->inode);
  if (op == 0) {
    if (at >= 0) remove_record_lock(at);
    Alock_range(ep->fd, offset, 1, 0);
    return 0;
  }
  if (at >= 0 && kel::fs_settings().internal_locks) {
    fs_fail(E_REC_LOCKED);
    *fs_lock_holder() = getpid();
    return -1;
  }
  int32_t r = Alock_range(ep->fd, offset, 1, 2);
  if (r == 0) {
    if (at >= 0) return 0;  // already in the table (internal locks off)
    if (s.lock_count >= s.max_locks) {
      Alock_range(ep->fd, offset, 1, 0);
      fs_fail(E_LOCK_TABLE_FULL, 2);
      return -1;
    }
    s.locks[s.lock_count++] = RecordLock{offset, ep->device, ep->inode};
    return 0;
  }
  if (r == 1) {
    fs_fail(E_REC_LOCKED);
  } else if (r == 2) {
    fs_fail(E_LOCK_TABLE_FULL, 1);
  } else {
    fs_fail(E_SYSERR);
  }
  return -1;
}

}  // namespace

extern "C" int32_t Ainit_files(void) {
  FilesState &s = state();
  if (s.ready) return 1;
  const kel::FsSettings &cfg = kel::fs_settings();
  // MAX_FILES is a 16-bit value, so it never exceeds 32767.
  int32_t max_files = cfg.max_files < 1 ? 1 : cfg.max_files;
  int32_t max_locks = cfg.max_locks < 0 ? 0 : cfg.max_locks;
  size_t lock_slots = max_locks > 0 ? static_cast<size_t>(max_locks) : 1;
  kel::MemPtr<FileEntry> entries;
  kel::MemPtr<int64_t> acs_loc;
  kel::MemPtr<int16_t> acs_size;
  kel::MemPtr<RecordLock> locks, temp_locks;
  if (!entries.allocate(max_files, "file table (UNIX)") ||
      !acs_loc.allocate(max_files, "acs_loc (UNIX)") ||
      !acs_size.allocate(max_files, "acs_size (UNIX)") ||
      !locks.allocate(lock_slots, "lock table (UNIX)") ||
      !temp_locks.allocate(lock_slots, "temporary lock table (UNIX)")) {
    return fs_fail(E_NO_MEMORY);
  }
  for (int32_t i = 0; i < max_files; ++i) {
    entries[i] = FileEntry{0, -1, 0, kNormal, 0, nullptr, false};
    acs_loc[i] = -1;
  }
  s.max_files = max_files;
  s.max_locks = max_locks;
  s.top64 = cfg.large_file_limit_1tb ? kTop1TB : (cfg.large_file_limit_2tb ? kTop2TB : kTop63);
  s.entries = std::move(entries);
  s.acs_loc = std::move(acs_loc);
  s.acs_size = std::move(acs_size);
  s.locks = std::move(locks);
  s.temp_locks = std::move(temp_locks);
  s.lock_count = 0;
  s.ready = true;
  return 1;
}

extern "C" void Afree_files(void) {
  FilesState &s = state();
  s.large_override = -1;
  if (!s.ready) return;
  for (int32_t i = 0; i < s.max_files; ++i) {
    FileEntry &e = s.entries[i];
    if (!live(e)) continue;
    bool shared_later = false;
    for (int32_t j = i + 1; j < s.max_files; ++j) {
      if (s.entries[j].fd == e.fd) shared_later = true;
    }
    if (!shared_later) close(e.fd);
    KEL_FREE(e.name);
    e.fd = -1;
  }
  s.entries.reset();
  s.acs_loc.reset();
  s.acs_size.reset();
  s.locks.reset();
  s.temp_locks.reset();
  s.lock_count = 0;
  s.ready = false;
}

extern "C" int32_t Aopen(const char *name, int32_t mode) {
  return open_file(name, mode, kel::large_file_api());
}
extern "C" int32_t Aopen32(const char *name, int32_t mode) {
  return open_file(name, mode, false);
}

// Aclose and Aclose32 are one operation: the open lock is released at the
// offset recorded when it was placed, and the file's other opens place
// theirs again where their own opens chose (large or not).
extern "C" int32_t Aclose(int32_t file) {
  return close_file(file);
}
extern "C" int32_t Aclose32(int32_t file) {
  return close_file(file);
}

extern "C" int32_t Arec_lock(int32_t file, int32_t offset, int32_t op) {
  return record_lock(file, static_cast<int64_t>(offset), op);
}

extern "C" int32_t Arec_lock64(int32_t file, int64_t offset, int32_t op) {
  if (!kel::large_file_api()) offset = static_cast<int32_t>(static_cast<uint32_t>(offset));
  return record_lock(file, offset, op);
}

extern "C" int32_t Ahold_file(int32_t file, int32_t take) {
  FileEntry *e = entry_of(file);
  if (e == nullptr) return -1;
  if (!take || e->lock_state != kNormal || (e->flags & (A_DENY_WRITE | A_EXCLUSIVE | A_NO_LOCKING)))
    return e->fd;
  bool reader = (e->flags & A_ACCESS_MASK) == 0 && !kel::fs_settings().queue_readers;
  if (Alock_range(e->fd, 0, 1, reader ? 4 : 5) != 0) {
    fs_fail(E_SYSERR);
    return -1;
  }
  e->lock_state = kUpdateLocked;
  return e->fd;
}

extern "C" void Arelease_file(int32_t file) {
  FileEntry *e = entry_of(file);
  if (e == nullptr || e->lock_state != kUpdateLocked) return;
  Alock_range(e->fd, 0, 1, 0);
  e->lock_state = kNormal;
}

// Exclusive and deny-write opens keep every other writer out only through
// the locks: the open's lock in the band at the top of the file keeps
// other processes' writers out, the table's own check (internal locks)
// this process's other opens, which the kernel's per-process locks cannot
// tell apart. Without locking (0x800, a file that is not a regular file,
// the read-only fallback that took no lock) or with V_INTERNAL_LOCKS off,
// another writer may change the file under the open.
extern "C" int32_t Afile_writers_kept_out(int32_t file) {
  FileEntry *e = entry_of(file);
  return (e != nullptr && (e->flags & (A_EXCLUSIVE | A_DENY_WRITE)) != 0 && lockable(*e) &&
          e->lock_state != kNeverLocked && kel::fs_settings().internal_locks)
             ? 1
             : 0;
}

namespace kel {

void set_descriptor_renumber_hook(DescriptorRenumberHook hook) {
  state().renumber_hook = hook;
}

int32_t file_descriptor(int32_t file) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files) return -1;
  return s.entries[file].fd;
}

const char *file_name(int32_t file) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files || !live(s.entries[file])) return nullptr;
  return s.entries[file].name;
}

const char *file_name_of_descriptor(int32_t fd) {
  FilesState &s = state();
  if (!s.ready || fd < 0) return nullptr;
  for (int32_t i = 0; i < s.max_files; ++i) {
    if (s.entries[i].fd == fd) return s.entries[i].name;
  }
  return nullptr;
}

int64_t lock_band_top(bool large) {
  Ainit_files();
  return top_of(large);
}

bool open_lock_slot(int32_t file, int64_t *offset, int32_t *length) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files || s.acs_loc[file] < 0) return false;
  *offset = s.acs_loc[file];
  *length = s.acs_size[file];
  return true;
}

int32_t other_writer_in_band(int32_t file) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files || !live(s.entries[file])) return -1;
  const FileEntry &e = s.entries[file];
  if (!lockable(e) || e.lock_state == kNeverLocked) return -1;
  // The writers' rows together: T-201 up to T-101, 101 bytes. The test
  // does not see this process's own locks.
  int32_t r = Alock_range(e.fd, top_of(e.large) - kDenyWriters, kDenyWriters - kShareReaders, 3);
  return r == 0 ? 0 : r == 1 ? 1 : -1;
}

bool open_elsewhere_in_process(int32_t file) {
  FilesState &s = state();
  if (!s.ready || file < 0 || file >= s.max_files || !live(s.entries[file])) return false;
  return file_still_open(s.entries[file].device, s.entries[file].inode, file);
}

int32_t record_lock_count() {
  return state().ready ? state().lock_count : 0;
}

void force_large_file_api(int value) {
  state().large_override = value;
}

bool large_file_api() {
  int o = state().large_override;
  return o >= 0 ? o != 0 : use_large_file_api() != 0;
}

}  // namespace kel
