// The transfer state: what the option word asked for and the volume being
// worked on. It is part of the run's state (run_state.h); the options fill
// it, and the volume layer, the writer and the reader read it.
#pragma once

#include <climits>
#include <cstdint>

namespace kel::archive {

constexpr uint8_t kRunInput = 0;
constexpr uint8_t kRunOutput = 1;

constexpr int32_t kRecordSmall = 512;
constexpr int32_t kRecordBig = 5120;  // -ob; also the largest record size
constexpr int32_t kMediaBlockSmall = 512;
constexpr int32_t kMediaBlockLarge = 1024;  // -k
constexpr int32_t kFormatCurrent = 6;
constexpr int32_t kFormatOldStyle = 5;  // -o1

struct TransferState {
  uint8_t mode = kRunInput;
  int32_t record_size = kRecordSmall;
  int32_t media_block = kMediaBlockSmall;
  int32_t blocks_per_record = 1;
  int32_t format_version = kFormatCurrent;
  uint8_t text_default = 1;
  uint8_t binary_forced = 0;
  uint8_t convert_names = 1;
  int32_t volume = 1;
  int32_t media_size = 0;  // media blocks per volume; 0: no limit
  // -oh file; -1 when none (descriptor 0 is standard input here, so it
  // cannot stand for "none").
  int header_fd = -1;
  int32_t header_skip = 0;  // -ih, in bytes
  // The archive's path: -f, or what the operator typed. Empty while the
  // archive is standard input or output. Sized for any path, so that a
  // long -f path or answer is never cut.
  char archive_path[PATH_MAX + 1] = {};
  int archive_fd = -1;
  const char *list_path = nullptr;  // -l; null: the list is standard input
  uint8_t verbose = 0;
  uint8_t table = 0;
  uint8_t set_times = 0;
  uint8_t keep_owner_off = 0;
  uint8_t make_dirs = 0;
  uint8_t bell = 0;
  uint8_t raw_indexed = 0;
  uint8_t flatten = 0;
  uint8_t add_write = 0;
  uint8_t search = 0;
};

}  // namespace kel::archive
