#include "storage/shared_buffers.h"

#include "format/node_format.h"
#include "support/alloc.h"

namespace kel::indexed {

namespace {

struct SharedBuffers {
  uint32_t record_size = 0;
  MemPtr<uint8_t> standard;
  MemPtr<uint8_t> compressed;
  MemPtr<uint8_t> temporary;
  MemPtr<uint8_t> node;
};

SharedBuffers &state() {
  static SharedBuffers s;
  return s;
}

}  // namespace

// All three are allocated before any replaces its old block, so a failure
// leaves the old, smaller set whole.
bool grow_record_buffers(uint32_t max_record) {
  SharedBuffers &s = state();
  if (max_record <= s.record_size && s.standard) return true;
  MemPtr<uint8_t> standard, compressed, temporary;
  if (!standard.allocate(max_record, "dorvex standard record buffer") ||
      !compressed.allocate(max_record + kCompressedSlack, "dorvex compressed record buffer") ||
      !temporary.allocate(max_record, "dorvex temporary record buffer"))
    return false;
  s.standard = std::move(standard);
  s.compressed = std::move(compressed);
  s.temporary = std::move(temporary);
  s.record_size = max_record;
  return true;
}

uint8_t *standard_record_buffer() {
  return state().standard.get();
}
uint8_t *compressed_record_buffer() {
  return state().compressed.get();
}
uint8_t *temporary_record_buffer() {
  return state().temporary.get();
}
uint32_t record_buffer_size() {
  return state().record_size;
}

uint8_t *shared_node_buffer() {
  SharedBuffers &s = state();
  if (!s.node) s.node.allocate(kMaxNodeSize, "dorvex node buffer");
  return s.node.get();
}

void release_shared_buffers() {
  SharedBuffers &s = state();
  s.standard.reset();
  s.compressed.reset();
  s.temporary.reset();
  s.node.reset();
  s.record_size = 0;
}

}  // namespace kel::indexed
