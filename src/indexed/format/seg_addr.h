// Addresses inside the segments of an indexed file.
//
// A node or record address is a 32-bit offset within a segment plus a 16-bit
// segment number; segment 0 is the main file. Version 3 files have a single
// segment and store no segment numbers, so their segment is always 0.
#pragma once

#include <climits>
#include <cstdint>

namespace kel::indexed {

struct SegAddr {
  int32_t offset = 0;
  uint16_t segment = 0;
  friend bool operator==(const SegAddr &, const SegAddr &) = default;
};

// The null pointer (offset 0, segment 0): an empty tree's root, the pointer
// of the high-key entry in the right-most leaf.
constexpr SegAddr kNullAddr{0, 0};
// "No node": a cleared node image address, an empty level of the search path.
constexpr SegAddr kNoNode{-1, 0xFFFF};

// An entry pointer leads to a child node when its offset is above 0, or is 0
// with a segment other than 0. Anything else (a negated record offset, the
// null pointer) ends a descent.
constexpr bool is_child_pointer(SegAddr p) {
  return p.offset > 0 || (p.offset == 0 && p.segment != 0);
}

// A leaf entry points to its record by the record's offset negated. A
// pointer that is not negative, or is INT32_MIN (whose negation does not
// exist), leads to no record: false, and the caller reports a broken file.
constexpr bool record_of_pointer(SegAddr p, SegAddr *record) {
  if (p.offset >= 0 || p.offset == INT32_MIN) return false;
  *record = SegAddr{-p.offset, p.segment};
  return true;
}

}  // namespace kel::indexed
