// Inside bulk addition (bulk.h): the per-file state and the sort and
// insertion of one key's entries (bulk_keys.cpp).
#pragma once

#include <cstdint>

#include "format/params.h"
#include "kelfs/kelfs.h"
#include "storage/dorvex_file.h"
#include "support/alloc.h"

namespace kel::indexed {

// One record of the duplicates list, 8 bytes.
struct BulkDuplicate {
  int32_t offset;
  uint16_t segment;
  uint16_t unused;
};

struct BulkState {
  // The first record added in bulk since the keys were last added (the
  // null address: none) and the number added.
  SegAddr first = kNullAddr;
  uint32_t count = 0;
  MemPtr<uint8_t> buffer;  // "bulk key buffer"
  size_t size = 0;
  // "Bulk addition duplicates list", grown by doubling.
  MemPtr<BulkDuplicate> duplicates;
  size_t duplicate_count = 0;
  size_t duplicate_room = 0;
  int32_t log = -1;     // file number of the duplicates log; -1: none
  bool failed = false;  // a flush failed half-way (bulk_flush)
  // Progress of the key insertions of the flush under way.
  v5_progress progress{};
  uint64_t next_report = 0;
};

// Entry fields (bulk.h).
constexpr size_t kBulkPointer = 0;
constexpr size_t kBulkSegment = 4;
constexpr size_t kBulkDup = 8;
constexpr size_t kBulkKey = 12;
constexpr size_t kSortSlot = 16;

inline size_t entry_size(const DorvexFile *f, int key) {
  return (static_cast<size_t>(f->keys[key].length) + 20) & ~size_t{3};
}

// Sorts the `count` entries of `area` (entries of key `key`, their sort
// slots at `slots`) and inserts them into the key's tree. A record whose
// entry is refused as a duplicate goes on the duplicates list. False with
// the error set on any other failure.
bool write_bulk_key(DorvexFile *f, int key, uint8_t *area, uint8_t *slots, size_t count);

// Sorted runs of keys' entries in one temporary file, merged into the
// keys' trees (bulk_keys.cpp). Key k's runs lie in a region of their own,
// (records) x (its entry size) bytes, after the regions of keys 0 to k - 1.
class RunFile {
 public:
  RunFile() = default;
  ~RunFile();
  RunFile(const RunFile &) = delete;
  RunFile &operator=(const RunFile &) = delete;

  // Whether `records` entries of `size` bytes, in runs of `capacity`, can
  // be merged through a buffer of `buffer` bytes.
  static bool usable(size_t records, size_t capacity, size_t size, size_t buffer);
  // Makes the temporary file for up to `records` entries of every key;
  // false (error set) when it cannot be made.
  bool open(const DorvexFile *f, size_t records);
  // Sorts `count` entries of key `key` and writes them as its next run.
  bool write_run(DorvexFile *f, int key, uint8_t *area, uint8_t *slots, size_t count);
  // Merges the key's runs through `buffer` into its tree.
  bool merge(DorvexFile *f, int key, uint8_t *buffer, size_t size);

 private:
  struct KeyRuns {
    uint64_t base = 0;  // file offset of the key's region
    size_t runs = 0;
    size_t per_run = 0;   // entries of every run but the last
    size_t last_run = 0;  // entries of the last
  };
  int32_t file_ = -1;
  char name_[1024] = {};
  KeyRuns keys_[kMaxKeys];
};

// Puts the record at `at` on the duplicates list (E_NO_MEMORY).
bool record_duplicate(BulkState &b, SegAddr at);

// Counts one insertion and calls the progress hook at every hundredth.
void bulk_progress(BulkState &b);

}  // namespace kel::indexed
