// kel's archive reader over arbitrary bytes: the volume header, member
// headers, plain members and indexed members of every format, restored
// through the real engine.
//
// Input: one byte of input-run options, then the archive. Option bits:
//   0 -ic  every member lands in the working folder: a file created,
//          changed or removed anywhere else is an escape and aborts
//   1 -id  folders are made       2-3  -i3, -i4, -i5 (0: the default version)
//   4 -iu  names are not converted    5 -ik  1024-byte media blocks
//   6 -ivm verbose, times and owners set   7 -is  the recovery search
// Each input is listed (-it with the same options) and then restored in
// the scratch folder. Whatever the bytes, each run ends with the trailer
// or with kel's exit status 1 and a message (a clean error); without -ic,
// names outside the scratch folder are refused by the guard, as a folder
// without write permission would.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/fatal.h"
#include "archive/operator.h"
#include "archive/reader.h"
#include "archive/transfer.h"
#include "archive/volume.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "fuzz/fuzz.h"
#include "kelfs/kelfs.h"

namespace kel::archive {
namespace {

constexpr uint8_t kFlatten = 1, kMakeDirs = 2, kNoConvert = 16, kLargeBlocks = 32, kVerbose = 64,
                  kSearch = 128;
constexpr int kVersionShift = 2;
// The operator answers yes a few times (a volume change, the recovery
// search), then the terminal ends: kel stops with message 1188.
constexpr char kAnswers[] = "y\ny\n\ny\n";

void input_run(void *) {
  const TransferState &t = transfer();
  volume_begin();
  read_volume_header(t.search != 0);
  if (t.search) recovery_search();
  while (extract_member(nullptr, 0, 0)) {
  }
  close_archive();
}

void run_pass(uint8_t options, bool table) {
  reset_transfer();
  volume_release();
  reader_release();
  TransferState &t = transfer();
  t.mode = kRunInput;
  t.table = table;
  t.flatten = options & kFlatten ? 1 : 0;
  t.make_dirs = options & kMakeDirs ? 1 : 0;
  t.convert_names = options & kNoConvert ? 0 : 1;
  if (options & kLargeBlocks) t.media_block = t.record_size = kMediaBlockLarge;
  t.verbose = t.set_times = options & kVerbose ? 1 : 0;
  t.keep_owner_off = options & kVerbose ? 0 : 1;
  t.search = options & kSearch ? 1 : 0;
  if (int v = (options >> kVersionShift) & 3) cfg_set_short("V_VERSION", 0, int16_t(2 + v));
  snprintf(t.archive_path, sizeof t.archive_path, "archive");
  t.archive_fd = open("archive", O_RDONLY | O_CLOEXEC);
  FILE *answers = fmemopen(const_cast<char *>(kAnswers), sizeof kAnswers - 1, "r");
  operator_use_stream(answers);

  fuzz::set_guard(t.flatten && !table ? fuzz::Guard::kEscape : fuzz::Guard::kRefuse);
  size_t said = fuzz::diagnostic_bytes();
  int status = fuzz::run_catching_exit(input_run, nullptr);
  fuzz::set_guard(fuzz::Guard::kOff);
  if ((status != -1 && status != 1) || (status == 1 && fuzz::diagnostic_bytes() == said)) {
    fprintf(stderr, "fuzz: kel ended with status %d and %s\n", status,
            fuzz::diagnostic_bytes() == said ? "no message" : "a message");
    abort();
  }
  // A fatal end leaves the archive open; its clean-up closed the member.
  if (t.archive_fd >= 0) close(t.archive_fd);
  t.archive_fd = -1;
  set_fatal_cleanup(nullptr, nullptr);
  member_ends();
  operator_release();
  fclose(answers);
  volume_release();
  reader_release();
}

}  // namespace
}  // namespace kel::archive

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  kel::fuzz::quiet_diagnostics();
  kel::reset_fs_settings();
  v5_init_cfg();
  cfg_reset_all(0, 1);
  kel::fs_settings().max_files = 128;
  kel::fuzz::enter_scratch();
  kel::fuzz::write_bytes("archive", data + 1, size - 1);
  kel::archive::run_pass(data[0], true);
  kel::archive::run_pass(data[0], false);
  kel::fuzz::leave_scratch();
  return 0;
}
