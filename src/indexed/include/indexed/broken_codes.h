// The secondary codes of E_BROKEN that the indexed engine leaves: what
// each says is wrong with the file. The broken-file report shows the code
// (message 889); 25 and 68 add a line of their own (fsapi). Every code that
// can stand in the header's broken-code field (slot 33, one byte) is below
// 256. The structural check's own findings are listed in its report, not
// as codes (check/tree_check.h numbers its tree findings 101-113 there).
//
//   code  raised by   meaning
//   1     storage     magic, sizes or key descriptions that no file has
//   3     tree        a key and duplicate number already present
//   4     tree        a descent ran past the last entry of a node
//   5     access      bulk addition could not read a record it added
//   6     tree        the entry to remove is not in the tree
//   7     tree        no parent entry points to the child
//   9     cache       a block read came back short
//   12    storage     the free-list head is no free node
//   13    storage     the deleted-chain head is not marked deleted
//   20    format      P > 0 on the first entry of a node
//   21    format      L of 0, P + L - 1 > 251, or an entry past `used`
//   22    format      P > 251, or beyond the previous key
//   23    tree        a step back met an entry not before the one it left
//   24    storage     the file is being filled (v5_mark_incomplete)
//   25    storage     a writer ended without closing
//   26    storage     a position outside what the segments hold
//   27    check       the structural check found problems (v5_check)
//   31    storage     a record address on a version 3 node link
//   42    storage     the sequence counter reached 0xFFFFFFFF
//   68    storage     a segment that the header lists is gone
//   81    storage     a record read is marked deleted
//   82    storage     a stored length beyond its slot
//   85    storage     a record longer than the maximum record size
//   99    storage     a segment number above 65534
#pragma once

#include <cstdint>

namespace kel::indexed {

constexpr int32_t kBrokenHeader = 1;
constexpr int32_t kBrokenSameKey = 3;
constexpr int32_t kBrokenPastEnd = 4;
constexpr int32_t kBrokenBulkRecord = 5;
constexpr int32_t kBrokenMissingEntry = 6;
constexpr int32_t kBrokenNoParent = 7;
// Raised by the block cache below the engine, which cannot see this table;
// cache_test pins the two values together.
constexpr int32_t kBrokenShortRead = 9;
constexpr int32_t kBrokenFreeList = 12;
constexpr int32_t kBrokenDeletedHead = 13;
constexpr int32_t kBrokenNoPrevious = 20;
constexpr int32_t kBrokenLength = 21;
constexpr int32_t kBrokenPrefix = 22;
// Only a damaged node gives it (entries out of order, or a child pointer
// into another part of the tree), and a walk that went on would go round
// in circles. The code is this engine's own; no other code is free in the
// range the node format and the tree use.
constexpr int32_t kBrokenOutOfOrder = 23;
// An open (v5_mark_incomplete) is filling the file and has not closed it
// successfully yet: a restore or a bulk load that was cut short.
constexpr int32_t kBrokenIncomplete = 24;
// The header counts openers for update (slot 28) while no process holds a
// writer's place in the lock band: a writer ended without closing, and the
// counts, end of data and chains of the header cannot be trusted.
constexpr int32_t kBrokenStaleWriter = 25;
// An end of data, first record, chain head or segment size beyond its
// segment or its limit, or a record or node address past the bytes its
// segment has (or a leaf pointer that is no negated offset).
constexpr int32_t kBrokenPosition = 26;
constexpr int32_t kBrokenCheckProblems = 27;
constexpr int32_t kBrokenV3Link = 31;
constexpr int32_t kBrokenSequence = 42;
constexpr int32_t kBrokenMissingSegment = 68;
constexpr int32_t kBrokenRecordDeleted = 81;
constexpr int32_t kBrokenRecordHeader = 82;
constexpr int32_t kBrokenRecordLength = 85;
constexpr int32_t kBrokenSegmentNumber = 99;

}  // namespace kel::indexed
