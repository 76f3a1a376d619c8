// The record slots of an indexed file in physical order: what the
// physical-order scan (v5_nkrnext) and the whole-file check walk.
//
// Slots follow each other from the position of the first record (header
// slots 11 and 12) up to the end of data (slots 9 and 10): each is a record
// header and a data area of its slot size. In versions 4 and 5 a segment
// ends where a slot no longer fits before its size or its size limit, or at
// a zero record header (the zero-filled room of a segment that a record did
// not fit into); the slots go on at offset 512 of the next data segment,
// behind its segment header. Version 3 slots run through the file's data
// nodes (records.h).
#pragma once

#include "storage/records.h"

namespace kel::indexed {

enum class SlotStep {
  kSlot,   // *at is a slot; its header in *header
  kEnd,    // no slot at or after *at
  kError,  // a read failed (error set)
};

// The position of the first slot.
SegAddr first_slot(const DorvexFile *f);
// From *at (a slot position or the end of a segment's slots), the next
// slot: *at moves to it and its header is read.
SlotStep find_slot(DorvexFile *f, SegAddr *at, RecordHeader *header);

}  // namespace kel::indexed
