#include "access/transaction.h"

namespace kel::indexed {

namespace {

// Open flag of a file that takes part in transactions.
constexpr int32_t kLoggedFile = 0x4000;

const IndexedLog *&installed() {
  static const IndexedLog *log = nullptr;
  return log;
}

bool ask(bool (*question)()) {
  return question != nullptr && question();
}

}  // namespace

void set_indexed_log(const IndexedLog *log) {
  installed() = log;
}

const IndexedLog *indexed_log() {
  return installed();
}

bool in_transaction() {
  const IndexedLog *log = installed();
  return log != nullptr && ask(log->in_transaction);
}

bool log_undoing() {
  const IndexedLog *log = installed();
  return log != nullptr && ask(log->undoing);
}

bool keeps_change_locks(const DorvexFile *f) {
  const IndexedLog *log = installed();
  if (log == nullptr) return false;
  return ((f->mode & kLoggedFile) && ask(log->in_transaction)) || ask(log->locks_changes);
}

}  // namespace kel::indexed
