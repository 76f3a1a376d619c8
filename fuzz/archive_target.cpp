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
// or with a fatal stop that has said why (a clean error); without -ic,
// names outside the scratch folder are refused by the guard, as a folder
// without write permission would.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "archive/run_state.h"
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

Status input_run(RunState &run) {
  KEL_RETURN_IF_FATAL(volume_begin(run.volume));
  KEL_RETURN_IF_FATAL(read_volume_header(run.volume, run.transfer.search != 0));
  if (run.transfer.search) KEL_RETURN_IF_FATAL(recovery_search(run.reader));
  for (bool trailer = false; !trailer;)
    KEL_RETURN_IF_FATAL(extract_member(run.reader, nullptr, 0, 0, &trailer));
  return close_archive(run.volume);
}

void run_pass(uint8_t options, bool table) {
  RunState run;
  TransferState &t = run.transfer;
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
  operator_use_stream(run.terminal, answers);

  fuzz::set_guard(t.flatten && !table ? fuzz::Guard::kEscape : fuzz::Guard::kRefuse);
  size_t said = fuzz::diagnostic_bytes();
  Status status = input_run(run);
  fuzz::set_guard(fuzz::Guard::kOff);
  if (status != Status::kOk && fuzz::diagnostic_bytes() == said) {
    fprintf(stderr, "fuzz: kel stopped without a message\n");
    abort();
  }
  // A fatal stop leaves the archive open, as the end of the process would.
  if (t.archive_fd >= 0) close(t.archive_fd);
  t.archive_fd = -1;
  fclose(answers);
}

}  // namespace
}  // namespace kel::archive

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  kel::fuzz::InScratch scratch(kel::fuzz::Guard::kOff);
  kel::reset_fs_settings();
  v5_init_cfg();
  cfg_reset_all(0, 1);
  kel::fs_settings().max_files = 128;
  kel::fuzz::write_bytes("archive", data + 1, size - 1);
  kel::archive::run_pass(data[0], true);
  kel::archive::run_pass(data[0], false);
  return 0;
}
