#include "access/access_state.h"

#include <new>

#include "access/bulk.h"
#include "access/record_locks.h"
#include "config/fs_config.h"
#include "osfile/files.h"
#include "storage/dorvex.h"
#include "storage/storage.h"
#include "support/alloc.h"

namespace kel::indexed {

bool FileNodeStore::read_node(SegAddr at, uint8_t *block) {
  return kel::indexed::node_read(f_, at, block);
}
bool FileNodeStore::write_node(SegAddr at, const uint8_t *block) {
  return kel::indexed::node_write(f_, at, block);
}
void FileNodeStore::hint_node(SegAddr at) {
  kel::indexed::node_hint(f_, at);
}
bool FileNodeStore::allocate_node(SegAddr *at) {
  return kel::indexed::node_allocate(f_, at);
}
bool FileNodeStore::free_node(SegAddr at) {
  return kel::indexed::node_free(f_, at);
}
void FileNodeStore::add_index_bytes(int64_t delta) {
  kel::indexed::index_bytes_adjust(f_, delta);
}
bool FileNodeStore::set_key_root(int key, SegAddr root, uint8_t height) {
  return kel::indexed::set_key_root(f_, key, root, height);
}

namespace {

// Open flags that shape the lock list. Multiple-record locking (0x4000 or
// 0x10, as for relative files) gives the file LOCKS_PER_FILE lock entries
// (10 when the variable is below 1) instead of one. With 0x4000 the file
// also keeps its locks: reads do not release the previous record's lock,
// v5_unlock and close do. The system leaves open which open flag makes a
// file keep its locks; multiple-record locking is the only case in which
// keeping them is of use, so it is the one that does.
constexpr int32_t kMultipleLocks = 0x4000;
constexpr int32_t kMultipleLocksAlt = 0x10;
constexpr int32_t kDefaultLocksPerFile = 10;

template <typename T, typename... Args>
T *create(const char *description, Args &&...args) {
  void *memory = KEL_ALLOC(sizeof(T), description);
  return memory ? new (memory) T(std::forward<Args>(args)...) : nullptr;
}

template <typename T>
void destroy(T *p) {
  if (p == nullptr) return;
  p->~T();
  KEL_FREE(p);
}

void detach(DorvexFile *f) {
  bulk_end(f);
  if (f->tree) vi_end_operation(&f->tree->ctx);
  destroy(f->tree);
  destroy(f->read);
  if (f->locks && f->locks->entries) KEL_FREE(f->locks->entries);
  destroy(f->locks);
  f->tree = nullptr;
  f->read = nullptr;
  f->locks = nullptr;
}

bool attach(DorvexFile *f) {
  f->tree = create<TreeState>("dorvex tree state", f);
  f->read = create<ReadState>("dorvex read state");
  f->locks = create<LockList>("dorvex lock list");
  if (!f->tree || !f->read || !f->locks) return false;
  LockList &l = *f->locks;
  if (f->mode & (kMultipleLocks | kMultipleLocksAlt)) {
    int16_t per_file = fs_settings().locks_per_file;
    l.limit = per_file < 1 ? kDefaultLocksPerFile : per_file;
  }
  l.keep = (f->mode & kMultipleLocks) != 0;
  l.entries = static_cast<LockEntry *>(
      KEL_ALLOC(sizeof(LockEntry) * static_cast<size_t>(l.limit), "dorvex record locks"));
  if (l.entries == nullptr) return false;
  vi_tree_init(&f->tree->ctx, &f->tree->store);
  // An open that keeps other writers out (exclusive, deny-write): nobody
  // else changes the tree between its operations.
  if (keeps_writers_out(f)) {
    // The smallest entry is its fixed part and one byte of suffix.
    int smallest = entry_layout(f->version, false).overhead();
    ReadState &r = *f->read;
    r.walk_capacity = (f->node_size - kNodeHeaderSize) / smallest + 1;
    if (!r.walk.allocate(static_cast<size_t>(r.walk_capacity), "dorvex walk entries")) return false;
    // A writer may trust where its last insertion went. An input open
    // reads a tree nobody changes while it is open: its descents may
    // search the interior nodes it has found unchanged without reading
    // them again, as such a writer's do.
    if ((f->mode & A_ACCESS_MASK) != A_INPUT) {
      if (!vi_remember_inserts(&f->tree->ctx)) return false;
    } else {
      vi_trust_own_nodes(&f->tree->ctx);
    }
  }
  return !f->bulk_requested || bulk_begin(f);
}

// The first step of close: the keys that bulk addition keeps waiting.
bool finish(DorvexFile *f) {
  return bulk_flush(f);
}

void release_locks(DorvexFile *f) {
  if (f->locks) release_all_locks(f, false);
}

int32_t locks_in_use(const DorvexFile *f) {
  return f->locks ? f->locks->count : 0;
}

const UpperLayerHooks kHooks = {attach, finish, release_locks, detach, locks_in_use};

}  // namespace

void install_access_layers() {
  if (upper_layer_hooks() != &kHooks) set_upper_layer_hooks(&kHooks);
}

}  // namespace kel::indexed
