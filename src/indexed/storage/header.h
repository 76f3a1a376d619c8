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

#include "indexed/broken_codes.h"
#include "storage/dorvex_file.h"
#include "support/fail.h"

namespace kel::indexed {

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
// After a failed operation: the next header access reads and checks the
// image in full, whatever this open wrote.
void header_distrust(DorvexFile *f);
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

}  // namespace kel::indexed
