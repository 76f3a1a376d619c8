// The indexed engine's process-wide scratch buffers. One operation runs at a
// time, so all open files share them:
//
//   buffer                              size
//   "dorvex standard record buffer"     largest maximum record size open
//   "dorvex compressed record buffer"   that + 30 (a compressed record may
//                                       run past the record while it is
//                                       being built)
//   "dorvex temporary record buffer"    largest maximum record size open
//   "dorvex node buffer"                8192 bytes, the node image of every
//                                       open file
//
// The record buffers grow (never shrink) as files with larger records are
// opened; the engine's shutdown releases all of them.
#pragma once

#include <cstdint>

namespace kel::indexed {

constexpr uint32_t kCompressedSlack = 30;

// Makes the record buffers hold at least `max_record` bytes (the
// compressed one 30 more). False with E_NO_MEMORY; the buffers already
// there stay usable.
bool grow_record_buffers(uint32_t max_record);
uint8_t *standard_record_buffer();
uint8_t *compressed_record_buffer();
uint8_t *temporary_record_buffer();
// Their current size (0 before the first growth).
uint32_t record_buffer_size();

// The shared node buffer, allocated on first use; null with E_NO_MEMORY.
uint8_t *shared_node_buffer();

// Frees every buffer (the engine's shutdown).
void release_shared_buffers();

}  // namespace kel::indexed
