// The thread-data key of the entry points and the file system's per-thread
// block (see entry.h for its layout).
#include "config/fs_config.h"
#include "entry.h"
#include "kelfs/errors.h"
#include "support/alloc.h"
#include "support/thread_key.h"
#include "txlog/txlog.h"

namespace kel::fsapi {

namespace {

struct KeyState {
  bool key_initialised = false;
  ThreadKey *key = nullptr;
  const TransactionLog *log = nullptr;
};

KeyState &state() {
  static KeyState s;
  return s;
}

}  // namespace

// The key is created on the first entry; a creation that fails is tried
// again on the next entry rather than leaving the key missing for good.
bool ensure_thread_key() {
  KeyState &s = state();
  if (s.key_initialised && s.key) return true;
  if (s.key == nullptr) s.key = thread_key_create();
  s.key_initialised = s.key != nullptr;
  return s.key_initialised;
}

void ensure_configuration() {
  define_fs_table();
  ensure_transaction_log();
}

ThreadData *thread_data() {
  if (!ensure_thread_key()) return nullptr;
  KeyState &s = state();
  auto *data = static_cast<ThreadData *>(thread_key_get(s.key));
  if (data == nullptr) {
    data = static_cast<ThreadData *>(KEL_ALLOC(sizeof(ThreadData), "Dorvex thread data"));
    if (data == nullptr) return nullptr;  // E_NO_MEMORY is set
    data->sequential_value = -1;
    thread_key_set(s.key, data);
  }
  return data;
}

void release_thread_data() {
  KeyState &s = state();
  if (s.key) {
    KEL_FREE(thread_key_get(s.key));
    thread_key_delete(s.key);
  }
  s.key = nullptr;
  s.key_initialised = false;
}

namespace {

const TransactionLog kOwnLog = {txlog::log_begin, txlog::log_commit, txlog::log_end_commit,
                                txlog::log_rollback};

bool keep_locks() {
  ThreadData *td = thread_data();
  return td != nullptr && td->keep_locks != 0;
}

bool keep_read_locks() {
  ThreadData *td = thread_data();
  return td != nullptr && td->keep_read_locks != 0;
}

}  // namespace

void ensure_transaction_log() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  txlog::install(txlog::Hooks{keep_locks, keep_read_locks});
}

void set_transaction_log(const TransactionLog *log) {
  state().log = log ? log : &kOwnLog;
}

const TransactionLog *transaction_log() {
  return state().log ? state().log : &kOwnLog;
}

}  // namespace kel::fsapi
