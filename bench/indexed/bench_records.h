// The records of the indexed benchmarks (indexed_bench, indexed_calls):
// N records of 100 bytes shaped like a COBOL master record. Key 0 (bytes 0
// to 7) is record i's number in 8 digits, unique; key 1 (bytes 8 to 17) is
// 10 digits with about N / 10 distinct values; then a name (25 bytes) and
// a town (20) of letters padded with blanks, an amount (9 digits) and a
// date (8) with leading zeros, a status letter and a blank filler.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

namespace bench {

constexpr int kRecordBytes = 100;

inline uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline void letters(char *out, int width, uint64_t seed, int min_length, int max_length) {
  int length =
      min_length + static_cast<int>(seed % static_cast<uint64_t>(max_length - min_length + 1));
  for (int i = 0; i < width; ++i) {
    seed = mix(seed);
    out[i] = i < length ? static_cast<char>('A' + seed % 26) : ' ';
  }
}

// Record i of a set of `records` records into r (kRecordBytes bytes).
inline void make_record(long i, long records, char *r) {
  char text[kRecordBytes + 16];
  uint64_t h = mix(static_cast<uint64_t>(i));
  long groups = std::max(1L, records / 10);
  snprintf(text, sizeof text, "%08ld%010ld", i,
           static_cast<long>(h % static_cast<uint64_t>(groups)));
  memcpy(r, text, 18);                     // key 0, key 1
  letters(r + 18, 25, mix(h + 1), 6, 20);  // name
  letters(r + 43, 20, mix(h + 2), 4, 15);  // town
  snprintf(text, sizeof text, "%09lu%08lu%c", static_cast<unsigned long>(mix(h + 3) % 1000000),
           static_cast<unsigned long>(19700101 + mix(h + 4) % 550000),
           static_cast<char>('A' + mix(h + 5) % 4));
  memcpy(r + 63, text, 18);  // amount, date, status
  memset(r + 81, ' ', kRecordBytes - 81);
}

// 0 .. n-1 in an order drawn from `seed`.
inline std::vector<long> shuffled(long n, uint64_t seed) {
  std::vector<long> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0L);
  std::mt19937_64 rng(seed);
  std::shuffle(order.begin(), order.end(), rng);
  return order;
}

}  // namespace bench
