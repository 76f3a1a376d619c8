// The relative file format: an array of equal-sized record slots with no
// header. Record n (from 1) occupies the slot at byte offset
// (n - 1) x slot size; the number of slots is the file size divided by the
// slot size, so a slot cut by the end of the file does not exist.
//
// Fixed-length file (maximum == minimum record size at open):
//
//   offset  width     meaning
//   0       maximum   the record bytes
//
//   Slot size = maximum. An empty slot is one whose first min(maximum, 256)
//   bytes all equal the deleted value (the low 8 bits of REL_DELETED_VALUE,
//   0 by default). A maximum of 0 gives a file without records.
//
// Variable-length file (maximum != minimum):
//
//   offset  width     meaning
//   0       W         record length, big-endian; all 0xFF: empty slot
//   W       length    the record bytes
//   W+len   rest      zero bytes up to the slot size
//
//   W is 2 when the maximum is below 65536, else 4; slot size = maximum + W.
//   A length above the maximum reads as a record cut to the maximum.
//
// Writing an empty slot (delete, and the gap before a record written past
// the end) puts min(maximum, 256) bytes of the deleted value after the
// length field (set to all 0xFF in a variable-length file); the rest of the
// slot keeps what it held.
//
// Record n is locked through the OS layer's one-byte record lock at
// (n - 1) x slot size + 1, so that offset 0 stays free for the file-wide
// update lock.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel::relseq {

constexpr uint32_t kShortLengthWidth = 2;
constexpr uint32_t kLongLengthWidth = 4;
constexpr uint32_t kLongLengthFrom = 65536;  // maximum from which W is 4
constexpr uint32_t kDeletedTestBytes = 256;  // bytes tested / written as deleted
constexpr uint32_t kEmptyLength16 = 0xFFFF;  // length field of an empty slot
constexpr uint32_t kEmptyLength32 = 0xFFFFFFFF;

// The shape of one file's slots, fixed at open.
struct SlotLayout {
  uint32_t maximum = 0;
  bool variable = false;
  uint32_t length_width = 0;  // 0 for fixed-length files
  uint32_t slot_size = 0;
  uint8_t deleted_value = 0;

  static SlotLayout make(uint32_t maximum, uint32_t minimum, int16_t deleted_setting);

  // Bytes of the deleted value in an empty slot (after the length field).
  uint32_t deleted_bytes() const {
    return maximum < kDeletedTestBytes ? maximum : kDeletedTestBytes;
  }
  // Offset of record n's slot; n >= 1.
  int64_t slot_offset(int64_t n) const { return (n - 1) * static_cast<int64_t>(slot_size); }
  // Record n's lock position.
  int64_t lock_position(int64_t n) const { return slot_offset(n) + 1; }
  // Number of slots in a file of `file_size` bytes.
  int64_t slot_count(int64_t file_size) const {
    return slot_size == 0 ? 0 : file_size / static_cast<int64_t>(slot_size);
  }
  // Bytes read to tell whether a slot holds a record: the length field and
  // one byte, or at most 256 bytes of a fixed slot.
  uint32_t peek_size() const { return variable ? length_width + 1 : deleted_bytes(); }
};

// What a slot's bytes hold.
enum class SlotState { kRecord, kEmpty, kCut };

// Decodes `got` bytes read from the start of a slot (`got` is below the
// slot size only for a peek or a slot cut by the end of the file; `whole`
// tells which was asked). On kRecord, *length is the record length (cut to
// the maximum) and the record starts at slot + length_width.
SlotState decode_slot(const SlotLayout &layout, const uint8_t *slot, size_t got, bool whole,
                      uint32_t *length);

// Builds a full slot holding a record of `length` bytes (variable files:
// at most the maximum) in `slot` (slot_size bytes).
void encode_record(const SlotLayout &layout, const uint8_t *record, uint32_t length, uint8_t *slot);
// Builds the leading bytes of an empty slot in `out` and returns their
// count (length field + deleted bytes).
uint32_t encode_empty(const SlotLayout &layout, uint8_t *out);

}  // namespace kel::relseq
