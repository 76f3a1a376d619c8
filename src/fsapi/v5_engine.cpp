// Entry points of the indexed family that concern the engine as a whole:
// version and abilities, hook registration, transactions, and the
// reference-counted start-up and shutdown of both families.
#include <cstdio>
#include <cstring>

#include "config/fs_config.h"
#include "entry.h"
#include "families.h"
#include "indexed/engine.h"
#include "kelfs/kelfs.h"
#include "layer/layer.h"
#include "txlog/txlog.h"

namespace kel::fsapi {
namespace {

struct Counters {
  int32_t indexed = 0;
  int32_t relseq = 0;
};

Counters &counters() {
  static Counters c;
  return c;
}

constexpr size_t kBuildTextSize = 30;

int begin_impl() {
  ThreadData *td = thread_data();
  if (td == nullptr) return 0;
  if (++td->transaction_depth != 1) return 1;
  return transaction_log()->begin(0);
}

int commit_impl() {
  ThreadData *td = thread_data();
  if (td == nullptr) return 0;
  --td->transaction_depth;
  if (td->transaction_depth > 0) return 1;
  if (td->transaction_depth < 0) {  // a commit without a begin
    td->transaction_depth = 0;
    return 1;
  }
  const TransactionLog *log = transaction_log();
  return log->commit() ? log->end_commit() : 0;
}

int rollback_impl() {
  ThreadData *td = thread_data();
  if (td == nullptr) return 0;
  --td->transaction_depth;
  if (td->transaction_depth > 0) return 1;
  if (td->transaction_depth < 0) {  // a rollback without a begin
    td->transaction_depth = 0;
    return 1;
  }
  const TransactionLog *log = transaction_log();
  return log->rollback ? log->rollback() : 1;
}

// Recovery inside a transaction of the caller is refused (log error 16)
// before anything is read.
int recover_impl() {
  ThreadData *td = thread_data();
  if (td == nullptr) return 0;
  if (td->transaction_depth != 0) {
    *txlog::log_error_code() = txlog::kRecoverInTransaction;
    return 0;
  }
  return txlog::log_recover();
}

// Shared by v5_init and v5_init_vers: the indexed family has nothing to set
// up, so its first initialisation always succeeds.
int init_indexed(bool set_level, int32_t level, int32_t *out) {
  Astream_init(stdin, stdout, stderr);
  indexed::install_access_layers();
  Counters &c = counters();
  if (c.indexed >= 1) {
    ++c.indexed;
    return 1;
  }
  if (set_level) {
    indexed::set_interface_level(level);
    if (out) *out = 3;
  }
  ++c.indexed;
  return 1;
}

void exit_indexed() {
  Counters &c = counters();
  // The last exit of both families shuts the transaction log down first
  // (an open transaction is rolled back through the engines).
  if (c.indexed == 1 && c.relseq == 0) txlog::log_shutdown();
  if (c.indexed > 0 && --c.indexed == 0) indexed::shutdown();
  if (c.indexed == 0 && c.relseq == 0) release_thread_data();
}

}  // namespace

int32_t indexed_init_count() {
  return counters().indexed;
}
int32_t &relseq_init_count() {
  return counters().relseq;
}

}  // namespace kel::fsapi

using kel::fsapi::BoundedStr;
using kel::fsapi::entry;
using kel::fsapi::entry_void;
using kel::fsapi::Ptr;

extern "C" int v5_version(char *name, char *version, char *build, int32_t n, int32_t *m) {
  return entry(
      {"v5_version", "\"%s\", \"%s\", \"%s\", %d, %ld", "%d", nullptr}, 0,
      [&] {
        memcpy(name, "Dorvex", 7);
        sprintf(version, "%d", 5);
        char text[kel::fsapi::kBuildTextSize] = {};
        snprintf(text, sizeof text, "%s", KEL_VERSION_STRING);
        memcpy(build, text, sizeof text);
        return 1;
      },
      BoundedStr{name, 7}, BoundedStr{version, 2}, BoundedStr{build, kel::fsapi::kBuildTextSize}, n,
      static_cast<long>(m ? *m : 0));
}

extern "C" void v5_abilities(uint8_t *flags) {
  entry_void(
      {"v5_abilities", "%p", nullptr, nullptr}, [&] { *flags |= 0x3; }, Ptr{flags});
}

extern "C" v5_progress_fn v5_register_progress(v5_progress_fn callback) {
  return entry<v5_progress_fn>(
      {"v5_register_progress", "%p", "%p", nullptr}, nullptr,
      [&] { return kel::indexed::exchange_progress_hook(callback); },
      Ptr{reinterpret_cast<const void *>(callback)});
}

extern "C" v5_duplicate_fn v5_register_duplicate(v5_duplicate_fn callback) {
  return entry<v5_duplicate_fn>(
      {"v5_register_duplicate", "%p", "%p", nullptr}, nullptr,
      [&] { return kel::indexed::exchange_duplicate_hook(callback); },
      Ptr{reinterpret_cast<const void *>(callback)});
}

extern "C" v5_query_retry_fn v5_register_query_retry(v5_query_retry_fn callback) {
  return entry<v5_query_retry_fn>(
      {"v5_register_query_retry", "%p", "%p", nullptr}, nullptr,
      [&] { return kel::indexed::exchange_query_retry_hook(callback); },
      Ptr{reinterpret_cast<const void *>(callback)});
}

extern "C" void v5_register_set_file_attrs(v5_set_file_attrs_fn callback) {
  entry_void(
      {"v5_register_set_file_attrs", "%p", nullptr, nullptr},
      [&] { kel::indexed::set_set_file_attrs_hook(callback); },
      Ptr{reinterpret_cast<const void *>(callback)});
}

extern "C" int v5_begin(void) {
  return entry({"v5_begin", "", "%d", nullptr}, 0, [] { return kel::fsapi::begin_impl(); });
}

extern "C" int v5_commit(int32_t n) {
  return entry(
      {"v5_commit", "%d", "%d", nullptr}, 0, [] { return kel::fsapi::commit_impl(); }, n);
}

extern "C" int v5_rollback(int32_t n) {
  return entry(
      {"v5_rollback", "%d", "%d", nullptr}, 0, [] { return kel::fsapi::rollback_impl(); }, n);
}

extern "C" int v5_recover(void) {
  return entry({"v5_recover", "", "%d", nullptr}, 0, [] { return kel::fsapi::recover_impl(); });
}

extern "C" int v5_init(void) {
  return entry({"v5_init", "", "%d", nullptr}, 0,
               [] { return kel::fsapi::init_indexed(false, 0, nullptr); });
}

extern "C" int v5_init_vers(int32_t version, int32_t *out) {
  return entry(
      {"v5_init_vers", "%d, %p", "%d", nullptr}, 0,
      [&] { return kel::fsapi::init_indexed(true, version, out); }, version, Ptr{out});
}

extern "C" void v5_init_cfg(void) {
  entry_void({"v5_init_cfg", "", nullptr, nullptr}, [] { kel::define_fs_table(); });
}

extern "C" void v5_deinit_cfg(void) {
  entry_void({"v5_deinit_cfg", "", nullptr, nullptr}, [] { kel::undefine_fs_table(); });
}

extern "C" void v5_exit(void) {
  entry_void({"v5_exit", "", nullptr, nullptr}, [] { kel::fsapi::exit_indexed(); });
}
