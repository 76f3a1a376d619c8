// Indexed file shapes shared by the tests of the engine and of kel: key
// layouts, versions 2 to 5, node sizes, compression and scrambling,
// duplicates, a collating table, segment sizes; and the one generator of
// records for them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kelfs/kelfs.h"

namespace kel::test {

struct KeyPart {
  size_t size;
  size_t offset;
};

struct KeySpec {
  std::vector<KeyPart> parts;
  bool duplicates = false;
  size_t size() const;
};

// The layout of one indexed file: what v5_make is given, and V_SEG_SIZE.
struct FileShape {
  int version = 5;
  // Node blocks, preallocation, extension, compression factor, scrambling
  // (null: the defaults).
  const char *physical = nullptr;
  uint32_t max_record = 0, min_record = 0;
  std::vector<KeySpec> keys;
  bool case_folding = false;  // the collating table folds lower case onto upper
  int32_t segment_size = 0;   // V_SEG_SIZE; 0 leaves the setting alone

  std::string record_text() const;  // "max,min,keys"
  std::string key_text() const;     // per key: parts, duplicates, size and offset per part
  const uint8_t *table() const;     // the collating table, or null
  // Sets V_VERSION (and V_SEG_SIZE), then makes `name`: v5_make's result.
  int make(const char *name, const char *comment = nullptr) const;
  // make, then v5_open with `mode`; null when either fails.
  DorvexFile *make_open(const char *name, int32_t mode = KEL_OPEN_IO) const;
  // A record of `length` bytes (the minimum when 0): `fill` everywhere
  // but the parts of key k, which take values[k], padded with `fill`.
  std::string record(const std::vector<std::string> &values, size_t length = 0,
                     char fill = '.') const;
};

// How the values of one key are drawn.
struct KeyValues {
  size_t count;             // distinct values
  bool mixed_case = false;  // letters in random case (equal under case folding)
  bool scattered = false;   // a lead that varies with the value: little to share
};

// Records for a shape: lengths between the limits, runs of a few bytes
// for the compressor (spaces, zeros, NULs, letters and the bytes that mark
// the compressed form), and key values from a pool per key.
class RecordGen {
 public:
  RecordGen(const FileShape &shape, std::vector<KeyValues> values);
  // Value v of key k: a lead, then v in letters, so that values share
  // prefixes and order by v.
  std::string key_value(int k, size_t v) const;
  // A record of random length with each key's value drawn from its pool.
  std::string random(std::mt19937 &rng) const;
  // The same with value `v` in key 0.
  std::string with_key0(size_t v, std::mt19937 &rng) const;
  size_t values(int k) const { return values_[static_cast<size_t>(k)].count; }

 private:
  std::string build(std::mt19937 &rng, const std::vector<size_t> &picks) const;
  FileShape shape_;
  std::vector<KeyValues> values_;
};

// Every record of the file at `path` in the order of key `key`, read into
// a buffer of `buffer` bytes that starts filled with `low` (a key below
// every key the file holds); every walk must end with E_NOT_FOUND.
std::vector<std::string> records_in_order(const std::string &path, int key, size_t buffer,
                                          char low = '\0');

// Whether the structural check finds the file at `path` sound; its report
// when it does not.
::testing::AssertionResult sound(const std::string &path);

}  // namespace kel::test
