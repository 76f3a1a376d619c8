// Encoding and decoding of relative slots (the layout is in
// relative_format.h).
#include "relseq/relative_format.h"

#include <cstring>

#include "support/be.h"

namespace kel::relseq {

SlotLayout SlotLayout::make(uint32_t maximum, uint32_t minimum, int16_t deleted_setting) {
  SlotLayout l;
  l.maximum = maximum;
  l.variable = maximum != minimum;
  l.length_width =
      !l.variable ? 0 : (maximum < kLongLengthFrom ? kShortLengthWidth : kLongLengthWidth);
  l.slot_size = maximum + l.length_width;
  l.deleted_value = static_cast<uint8_t>(deleted_setting & 0xFF);
  return l;
}

namespace {

uint32_t load_length(const SlotLayout &l, const uint8_t *p) {
  return l.length_width == kShortLengthWidth ? load_be16(p) : load_be32(p);
}

uint32_t empty_length(const SlotLayout &l) {
  return l.length_width == kShortLengthWidth ? kEmptyLength16 : kEmptyLength32;
}

void store_length(const SlotLayout &l, uint8_t *p, uint32_t v) {
  if (l.length_width == kShortLengthWidth) {
    store_be16(p, static_cast<uint16_t>(v));
  } else {
    store_be32(p, v);
  }
}

}  // namespace

SlotState decode_slot(const SlotLayout &l, const uint8_t *slot, size_t got, bool whole,
                      uint32_t *length) {
  if (l.variable) {
    if (got < l.length_width) return SlotState::kCut;
    if (whole && got < l.slot_size) return SlotState::kCut;
    uint32_t n = load_length(l, slot);
    if (n == empty_length(l)) return SlotState::kEmpty;
    *length = n > l.maximum ? l.maximum : n;
    return SlotState::kRecord;
  }
  uint32_t need = whole ? l.slot_size : l.peek_size();
  if (l.slot_size == 0 || got < need) return SlotState::kCut;
  uint32_t tested = l.deleted_bytes();
  bool deleted = true;
  for (uint32_t i = 0; i < tested && deleted; ++i) deleted = slot[i] == l.deleted_value;
  if (deleted) return SlotState::kEmpty;
  *length = l.maximum;
  return SlotState::kRecord;
}

void encode_record(const SlotLayout &l, const uint8_t *record, uint32_t length, uint8_t *slot) {
  if (!l.variable) {
    memcpy(slot, record, l.slot_size);
    return;
  }
  store_length(l, slot, length);
  memcpy(slot + l.length_width, record, length);
  memset(slot + l.length_width + length, 0, l.maximum - length);
}

uint32_t encode_empty(const SlotLayout &l, uint8_t *out) {
  if (l.variable) store_length(l, out, empty_length(l));
  memset(out + l.length_width, l.deleted_value, l.deleted_bytes());
  return l.length_width + l.deleted_bytes();
}

}  // namespace kel::relseq
