#include "indexed/engine.h"

#include <utility>

#include "cache/cache.h"
#include "format/node_memo.h"
#include "storage/shared_buffers.h"

namespace kel::indexed {

namespace {

struct EngineState {
  int32_t interface_level = 3;
  v5_progress_fn progress = nullptr;
  v5_duplicate_fn duplicate = nullptr;
  v5_query_retry_fn query_retry = nullptr;
  v5_set_file_attrs_fn set_file_attrs = nullptr;
};

EngineState &state() {
  static EngineState s;
  return s;
}

}  // namespace

int32_t interface_level() {
  return state().interface_level;
}
void set_interface_level(int32_t level) {
  state().interface_level = level;
}

v5_progress_fn progress_hook() {
  return state().progress;
}
v5_duplicate_fn duplicate_hook() {
  return state().duplicate;
}
v5_set_file_attrs_fn set_file_attrs_hook() {
  return state().set_file_attrs;
}

v5_progress_fn exchange_progress_hook(v5_progress_fn hook) {
  return std::exchange(state().progress, hook);
}
v5_duplicate_fn exchange_duplicate_hook(v5_duplicate_fn hook) {
  return std::exchange(state().duplicate, hook);
}
v5_query_retry_fn exchange_query_retry_hook(v5_query_retry_fn hook) {
  return std::exchange(state().query_retry, hook);
}
void set_set_file_attrs_hook(v5_set_file_attrs_fn hook) {
  state().set_file_attrs = hook;
}

// The shared record and node buffers go, then the block cache (which
// releases the OS file table with it).
void shutdown() {
  release_shared_buffers();
  release_node_memo();
  Bshutdown();
}

}  // namespace kel::indexed
