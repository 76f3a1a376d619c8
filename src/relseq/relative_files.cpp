// Relative files as a whole: start-up and shutdown of the handler, make,
// open, close, copy, rename and remove.
#include <sys/stat.h>

#include <cstring>

#include "config/config.h"
#include "config/fs_config.h"
#include "layer/layer.h"
#include "pipes.h"
#include "relative_internal.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::relseq {

namespace {

// Process-wide state of the handler.
struct RelativeState {
  bool initialised = false;
  MemPtr<uint8_t> slots;  // "relative file record"
  uint32_t slots_size = 0;
};

RelativeState &state() {
  static RelativeState s;
  return s;
}

constexpr int16_t kDefaultLocksPerFile = 10;

bool log_refused() {
  return fs_fail(E_LOG_REFUSED);
}

// The log's answer to a step of a transaction; a step the installed log
// does not provide counts as refused.
template <typename Fn, typename... Args>
bool logged(Fn fn, Args... args) {
  return (fn != nullptr && fn(args...)) || log_refused();
}

}  // namespace

bool grow_slot_buffer(uint32_t size) {
  RelativeState &s = state();
  if (size <= s.slots_size && s.slots) return true;
  MemPtr<uint8_t> bigger;
  if (!bigger.allocate(size == 0 ? 1 : size, "relative file record")) return false;
  s.slots = std::move(bigger);
  s.slots_size = size;
  return true;
}

uint8_t *slot_buffer() {
  return state().slots.get();
}

void free_slot_buffer() {
  state().slots.reset();
  state().slots_size = 0;
}

int32_t relative_init() {
  RelativeState &s = state();
  if (s.initialised) return 1;
  if (fs_settings().locks_per_file < 1) fs_settings().locks_per_file = kDefaultLocksPerFile;
  if (!Ainit_files()) return 0;
  s.initialised = true;
  return 1;
}

// Pipes first: a child still reading a kept pipe gets its end of data
// before anything else goes away.
void relseq_shutdown(bool release_files) {
  end_pipes();
  if (release_files) Afree_files();
  free_slot_buffer();
  state().initialised = false;
}

int32_t relative_make(const char *name, const char *params, int32_t blocks) {
  const RelativeLog *log = relative_log();
  if (log != nullptr && log->deferred_close_pending != nullptr && log->deferred_close_pending(name))
    return 1;
  if (!relative_init()) return 0;
  int32_t file = Aopen(name, A_OUTPUT);
  if (file < 0) return 0;
  Aclose(file);
  if (in_transaction() && !logged(log->log_make, name, params, blocks)) return 0;
  return 1;
}

namespace {

// The open file's block: the record, then its lock slots.
RelativeFile *allocate_file(int32_t lock_count) {
  size_t size = sizeof(RelativeFile) + sizeof(LockSlot) * static_cast<size_t>(lock_count);
  auto *f = static_cast<RelativeFile *>(KEL_ALLOC(size, "relative file info"));
  if (f == nullptr) return nullptr;
  f->locks = reinterpret_cast<LockSlot *>(f + 1);
  f->lock_count = lock_count;
  for (int32_t i = 0; i < lock_count; ++i) f->locks[i] = LockSlot{-1, 0};
  return f;
}

void reset_position(RelativeFile *f) {
  f->current = -1;
  f->started = false;
  f->fell_off = 0;
  f->last_read = -1;
}

// Output and extend opens must find the file (made before by Ar_make):
// it is opened for input and closed again first.
bool file_exists_for(const char *name, int32_t mode) {
  int32_t access = mode & A_ACCESS_MASK;
  if (access != A_OUTPUT && access != A_EXTEND) return true;
  int32_t probe = Aopen(name, A_INPUT | A_READ_ONLY_FALLBACK);
  if (probe < 0) return false;
  Aclose(probe);
  return true;
}

// A file whose size is not a whole number of slots was written with other
// record sizes (or is no relative file at all).
bool size_fits(RelativeFile *f) {
  struct stat st;
  if (Afstat(file_descriptor(f->file), &st) != 0) {
    return fs_fail(E_SYSERR);
  }
  f->known_size = st.st_size;
  if (f->layout.slot_size == 0 || fs_settings().force_open) return true;
  if (st.st_size % f->layout.slot_size == 0) return true;
  return fs_fail(E_FILE_TYPE);
}

}  // namespace

RelativeFile *relative_open(const char *name, int32_t mode, uint32_t maximum, uint32_t minimum,
                            int32_t blocks) {
  const RelativeLog *log = relative_log();
  if (log != nullptr && log->reopen != nullptr) {
    if (RelativeFile *again = log->reopen(name)) {
      reset_position(again);
      return again;
    }
  }
  if (!relative_init()) return nullptr;
  bool is_logged = (mode & kOpenLogged) != 0;
  bool lock_many = (mode & kOpenLockMany) != 0;
  int32_t lock_count = 1;
  if (is_logged || lock_many) {
    lock_count =
        fs_settings().locks_per_file < 1 ? kDefaultLocksPerFile : fs_settings().locks_per_file;
  }
  RelativeFile *f = allocate_file(lock_count);
  if (f == nullptr) return nullptr;
  MemPtr<RelativeFile> owned(f);
  f->file = -1;
  f->mode = mode & A_ACCESS_MASK;
  f->logged = is_logged;
  f->lock_many = lock_many;
  f->layout = SlotLayout::make(maximum, minimum, cfg_get_short("REL_DELETED_VALUE", 0));
  reset_position(f);
  if (!file_exists_for(name, mode)) return nullptr;
  f->file = Aopen(name, mode);
  if (f->file < 0) return nullptr;
  auto close_again = [&] {
    int16_t code = *fs_error_code();
    Aclose(f->file);
    return fs_fail(code);
  };
  if (!grow_slot_buffer(f->layout.slot_size) || !size_fits(f)) return close_again();
  f->sole_writer = Afile_writers_kept_out(f->file) != 0;
  if (log != nullptr) {
    bool registered = log->register_file == nullptr || log->register_file(f);
    if (!registered) return log_refused(), close_again();
    if (in_transaction() && f->mode != A_INPUT &&
        !logged(log->log_open, f, name, mode, minimum, maximum, blocks)) {
      if (log->unregister_file) log->unregister_file(f);
      return close_again();
    }
  }
  return owned.release();
}

int32_t relative_close(RelativeFile *f) {
  const RelativeLog *log = relative_log();
  bool refused = false;
  if (f->mode != A_INPUT && in_transaction()) {
    if (f->logged && log->defer_close != nullptr && log->defer_close(f)) return 1;
    refused = !logged(log->log_close, f);
  }
  release_every_lock(f);
  if (log != nullptr && log->unregister_file != nullptr) log->unregister_file(f);
  int16_t code = *fs_error_code();
  Aclose(f->file);
  KEL_FREE(f);
  if (refused) return fs_fail(code);
  return 1;
}

int32_t relative_copy(const char *from, const char *to) {
  if (!Acopy_file(from, to)) return 0;
  if (in_transaction() && !logged(relative_log()->log_copy, from, to)) return 0;
  return 1;
}

int32_t relative_rename(const char *from, const char *to) {
  if (!Arename(from, to)) return 0;
  if (in_transaction() && !logged(relative_log()->log_rename, from, to)) return 0;
  return 1;
}

int32_t relative_remove(const char *name) {
  if (!Aremove(name)) return 0;
  if (in_transaction() && !logged(relative_log()->log_remove, name)) return 0;
  return 1;
}

}  // namespace kel::relseq
