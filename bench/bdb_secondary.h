// Berkeley DB's secondary index on key 1 of the benchmarks' records (the
// 10 digits at byte 8, bench/indexed/bench_records.h), for DB->associate.
#pragma once

#include <db.h>

#include <cstring>

namespace bench {

constexpr int kBdbKey1At = 8, kBdbKey1 = 10;

inline int bdb_key1_of(DB *, const DBT *, const DBT *data, DBT *result) {
  memset(result, 0, sizeof *result);
  result->data = static_cast<char *>(data->data) + kBdbKey1At;
  result->size = kBdbKey1;
  return 0;
}

}  // namespace bench
