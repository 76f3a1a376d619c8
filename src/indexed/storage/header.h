// The header reader and writer of an open indexed file, the key
// descriptions in the header, and the broken-file codes of the storage
// layer.
//
// Every operation on an open file starts with header_read and ends with
// header_release; an operation that changed something marks the header
// changed and calls header_write before it releases. The header image in the
// open file covers bytes 0 to the layout's slot 44; all fields are reached
// through hget/hset with the slots of the HeaderLayout table.
//
// Update protocol between processes:
//   - a reader or writer holds the file-wide update lock (byte 0 of data
//     segment 0) while it works, unless V_LOCK_METHOD lets a reader go
//     without it (bit value 1 from version 3 on, 2 from version 4 on);
//   - a writer, with V_LOCK_METHOD bit value 1, sets the update-open flag
//     (slot 34) on disk when it takes the header, so that unlocked readers
//     wait for it, and clears it when it writes the header at the end;
//   - the header write increments the header version (slot 24); every
//     process gives that number to the block cache, which drops the blocks
//     it holds of a segment when the number moved on;
//   - a new root or height increments the key description version (slot
//     17); the other processes reload the key descriptions when they see it.
//
// Key translation table: when make is given one, the header gets one more
// block after the key descriptions, whose offset is kept in slot 25. The
// 256-byte table sits at offset 16 of that block; bytes 0-15 are zero.
// The format has been described both as the table filling the block's
// first 256 bytes and as the table at offset 16 of the block; the explicit
// offset is the one that can be read back without guessing, and it keeps
// the table (bytes 16-271) inside the block's first half as well. Readers
// and writers here use offset 16 only.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

namespace kel::indexed {

// Secondary codes of E_BROKEN raised by the storage layer. The tree code
// has its own (btree.h: 3, 4, 6, 7, 23; node_format.h: 20, 21, 22) and so
// has the structural check (tree_check.h: 101-113); every code that can
// stand in the header's broken-code field (slot 33, one byte) is below 256.
constexpr int32_t kBrokenHeader = 1;           // magic, sizes or key descriptions no file has
constexpr int32_t kBrokenShortRead = 9;        // a block read came back short
constexpr int32_t kBrokenFreeList = 12;        // free-list head is no free node
constexpr int32_t kBrokenDeletedHead = 13;     // deleted-chain head not deleted
constexpr int32_t kBrokenV3Link = 31;          // record address on a v3 node link
constexpr int32_t kBrokenSequence = 42;        // sequence counter 0xFFFFFFFF
constexpr int32_t kBrokenMissingSegment = 68;  // a segment of the header is gone
constexpr int32_t kBrokenRecordDeleted = 81;   // a record read is marked deleted
constexpr int32_t kBrokenRecordHeader = 82;    // stored length beyond its slot
constexpr int32_t kBrokenRecordLength = 85;    // record longer than the maximum
constexpr int32_t kBrokenSegmentNumber = 99;   // segment number above 65534
// An open (v5_mark_incomplete) is filling the file and has not closed it
// successfully yet: a restore or a bulk load that was cut short.
constexpr int32_t kBrokenIncomplete = 24;
// The header counts openers for update (slot 28) while no process holds a
// writer's place in the lock band: a writer ended without closing, and the
// counts, end of data and chains of the header cannot be trusted.
constexpr int32_t kBrokenStaleWriter = 25;
// A position outside what the segments hold: an end of data, first record,
// chain head or segment size beyond its segment or its limit, or a record
// or node address past the bytes its segment has (or a leaf pointer that
// is no negated offset).
constexpr int32_t kBrokenPosition = 26;
// The structural check found problems (v5_check).
constexpr int32_t kBrokenCheckProblems = 27;

constexpr int32_t kTranslationOffset = 16;  // of the table in its block
constexpr int32_t kTableSize = 256;

enum class HeaderAccess {
  kRead,    // an operation that may read without the update lock
  kLocked,  // under the update lock
  kUpdate,  // under the update lock, for a change
};

// Flags of header_read.
enum : uint32_t {
  kHeaderRetry = 1,  // the operation reads again after a failed unlocked try
  kHeaderForce = 2,  // broken codes do not fail (as with V_FORCE_OPEN)
};

// The header reader (see above). On failure the error code is set and the
// update lock is not held.
bool header_read(DorvexFile *f, HeaderAccess access, uint32_t flags = 0);
// The header is to be written with its header version incremented.
void header_mark_changed(DorvexFile *f);
// Writes the header image: the header version grows by 1 when the header
// was marked changed, the update-open flag is cleared. Keeps the lock.
bool header_write(DorvexFile *f);
// Ends the header access: clears an update-open flag this operation set
// (writing the header), then drops the update lock.
void header_release(DorvexFile *f);
// True when slot 34 shows an update in progress in the image.
bool header_update_in_progress(const DorvexFile *f);
// Writes the broken code into slot 33 (a zero byte and the code's low
// byte), in the image and on disk, so that every later access fails alike.
void mark_broken(DorvexFile *f, int32_t code);

// Fields of the header image.
uint64_t hget(const DorvexFile *f, Slot s);
void hset(DorvexFile *f, Slot s, uint64_t value);
SegAddr hget_addr(const DorvexFile *f, Slot offset, Slot segment);
void hset_addr(DorvexFile *f, Slot offset, Slot segment, SegAddr at);

// Key descriptions as stored in the header.
void decode_key_description(const HeaderLayout &l, const uint8_t *bytes, KeyDesc *key);
void encode_key_description(const HeaderLayout &l, const KeyDesc &key, uint8_t *bytes);
// Reads every key description of the file into f->keys.
bool load_key_descriptions(DorvexFile *f);
// Writes the root and height of key `key` (from f->keys) into its
// description on disk and increments the key description version.
bool store_key_root(DorvexFile *f, int key);

// Sets the error code (and secondary code) and returns false.
bool fail(int16_t code, int32_t secondary = 0);

// The error codes and errno, kept across a clean-up that may change them.
class SavedErrors {
 public:
  SavedErrors();
  ~SavedErrors();
  SavedErrors(const SavedErrors &) = delete;
  SavedErrors &operator=(const SavedErrors &) = delete;

 private:
  int16_t code_;
  int32_t secondary_;
  int errno_;
};

}  // namespace kel::indexed
