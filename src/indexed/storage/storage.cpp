#include "storage/storage.h"

#include <cstring>

#include "cache/cache.h"
#include "format/node_format.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "storage/header.h"
#include "storage/segments.h"
#include "support/be.h"
#include "support/fail.h"
#include "support/prefetch.h"

namespace kel::indexed {

namespace {

constexpr int32_t kFreeNodeBytesV3 = 5;
constexpr int32_t kFreeNodeBytes = 7;

// The file number of the segment a node address names (data segment 0
// before version 4, else the index segment), -1 when the file has none;
// never an error.
int32_t index_file(const DorvexFile *f, SegAddr at) {
  if (f->version < 4) return at.segment == 0 ? f->data0 : -1;
  return at.segment < f->index.count ? f->index.files[at.segment] : -1;
}

// The file holding a node address; -1 with E_BROKEN 68 when there is none,
// 26 when the node lies outside it.
int32_t node_file(DorvexFile *f, SegAddr at) {
  const int32_t file = index_file(f, at);
  if (file >= 0) return node_held(f, at) ? file : -1;
  const char *name =
      segment_name(f->name, f->version < 4 ? kDataSegment : kIndexSegment, at.segment);
  fs_set_missing_file_name(name ? name : f->name);
  fs_fail(E_BROKEN, kBrokenMissingSegment);
  return -1;
}

// Whether the open reads its nodes straight from the index's read mapping
// (Bmapped_at) instead of through the pool, which saves the pool's look-up,
// its bookkeeping and one copy per node. The mapping shows the file; the
// pool may hold newer bytes only in a dirty block of this open's
// descriptor, and for this open no such block can exist:
//  - Input access that keeps writers out (exclusive or deny-write): no
//    other open of the file, in this process or another, writes it
//    meanwhile (opens inside the process exclude each other as between
//    processes, osfile), and an earlier open's deferred blocks were
//    written or dropped by its close (Bclose), before the descriptor could
//    serve this open. This holds while locking is in force, which
//    keeps_writers_out asks of the file table: with V_INTERNAL_LOCKS off
//    a second open of this process may write the file, and the nodes go
//    through the pool. (A process that ignores the locks and cuts the
//    file shorter meanwhile makes the copy fail with SIGBUS, as for every
//    mapped read.)
//  - Not deferred (0x400): should anything write through this open after
//    all (the engine lets the transaction log's undo write through an
//    input open), the pool passes the write on to the file at once, where
//    the shared mapping shows it; a deferred open would keep it dirty in
//    the pool.
// Where the mapping does not show the whole node (not mapped yet, no
// pool, a node past the size mapped), the read goes through the pool. So
// do all node reads while V_TRACE shows the cache's steps or its metrics:
// a copy from the mapping is neither traced nor counted, and the trace and
// the metrics are to show the Bpread calls, hits and loads of every node
// read, as they do for every other open.
bool reads_nodes_mapped(const DorvexFile *f) {
  return (f->mode & A_ACCESS_MASK) == A_INPUT && keeps_writers_out(f) &&
         (f->mode & A_DEFERRED) == 0 && !trace_on(kTraceInner | kTraceCacheMetrics);
}

void add_to(DorvexFile *f, Slot s, int64_t delta) {
  hset(f, s, static_cast<uint64_t>(static_cast<int64_t>(hget(f, s)) + delta));
  header_mark_changed(f);
}

// Version 3: a node at the end of the file, written as zeros so that the
// file's size stays true whatever the caller does next.
bool append_v3_node(DorvexFile *f, SegAddr *at) {
  uint32_t end = f->data.sizes[0];
  if (!fill_blocks(f->data0, end, end + static_cast<uint32_t>(f->node_size), f->node_size, false))
    return false;
  f->data.sizes[0] = f->data.reserved[0] = end + static_cast<uint32_t>(f->node_size);
  if (!store_segment_size(f, kDataSegment, 0)) return false;
  *at = SegAddr{static_cast<int32_t>(end), 0};
  return true;
}

bool take_free_head(DorvexFile *f, SegAddr head, SegAddr *at) {
  int32_t file = node_file(f, head);
  if (file < 0) return false;
  uint8_t bytes[kFreeNodeBytes] = {};
  int32_t length = f->version >= 4 ? kFreeNodeBytes : kFreeNodeBytesV3;
  if (!read_at(file, bytes, static_cast<uint32_t>(head.offset), length)) return false;
  if (bytes[0] != kFreeNode) return fs_fail(E_BROKEN, kBrokenFreeList);
  hset_addr(f, kFreeNodeOffset, kFreeNodeSeg, free_node_next(f, bytes));
  add_to(f, kFreeNodes, -1);
  *at = head;
  return true;
}

}  // namespace

bool node_read(DorvexFile *f, SegAddr at, uint8_t *block) {
  int32_t file = node_file(f, at);
  if (file < 0) return false;
  if (reads_nodes_mapped(f)) {
    const uint8_t *mapped = Bmapped_at(file, static_cast<uint32_t>(at.offset), f->node_size);
    if (mapped != nullptr) {
      memcpy(block, mapped, static_cast<size_t>(f->node_size));
      return true;
    }
  }
  return read_at(file, block, static_cast<uint32_t>(at.offset), f->node_size);
}

const uint8_t *node_mapped(const DorvexFile *f, SegAddr at) {
  const int32_t file = index_file(f, at);
  return file < 0 ? nullptr : Bmapped_at(file, static_cast<uint32_t>(at.offset), f->node_size);
}

void node_hint(const DorvexFile *f, SegAddr at) {
  const uint8_t *node = node_mapped(f, at);
  if (node == nullptr) return;
  prefetch_range(node, f->node_size);
}

bool node_write(DorvexFile *f, SegAddr at, const uint8_t *block) {
  int32_t file = node_file(f, at);
  return file >= 0 && write_at(file, block, static_cast<uint32_t>(at.offset), f->node_size);
}

bool node_allocate(DorvexFile *f, SegAddr *at) {
  SegAddr head = hget_addr(f, kFreeNodeOffset, kFreeNodeSeg);
  bool ok;
  if (head != kNullAddr)
    ok = take_free_head(f, head, at);
  else if (f->version < 4)
    ok = append_v3_node(f, at);
  else
    ok = index_append(f, at);
  if (!ok) {
    *at = kNullAddr;
    return false;
  }
  add_to(f, kNodesInUse, 1);
  return true;
}

SegAddr free_node_next(const DorvexFile *f, const uint8_t *block) {
  return SegAddr{static_cast<int32_t>(load_be32(block + 1)),
                 f->version >= 4 ? load_be16(block + 5) : uint16_t{0}};
}

bool node_free(DorvexFile *f, SegAddr at) {
  int32_t file = node_file(f, at);
  if (file < 0) return false;
  SegAddr head = hget_addr(f, kFreeNodeOffset, kFreeNodeSeg);
  uint8_t bytes[kFreeNodeBytes];
  bytes[0] = kFreeNode;
  store_be32(bytes + 1, static_cast<uint32_t>(head.offset));
  store_be16(bytes + 5, head.segment);
  int32_t length = f->version >= 4 ? kFreeNodeBytes : kFreeNodeBytesV3;
  if (!write_at(file, bytes, static_cast<uint32_t>(at.offset), length)) return false;
  hset_addr(f, kFreeNodeOffset, kFreeNodeSeg, at);
  add_to(f, kNodesInUse, -1);
  add_to(f, kFreeNodes, 1);
  return true;
}

void index_bytes_adjust(DorvexFile *f, int64_t delta) {
  add_to(f, kIndexBytesInUse, delta);
}

bool set_key_root(DorvexFile *f, int key, SegAddr root, uint8_t height) {
  KeyDesc &k = f->keys[key];
  k.root_offset = static_cast<uint32_t>(root.offset);
  k.root_segment = root.segment;
  k.height = height;
  return store_key_root(f, key);
}

}  // namespace kel::indexed
