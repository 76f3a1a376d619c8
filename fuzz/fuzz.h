// What every fuzz target shares: a scratch folder that is the working
// folder while an input runs, quiet diagnostics, and the guard of the
// calls that change files (sandbox.cpp).
//
// A target is one function, LLVMFuzzerTestOneInput(data, size), linked
// either with libFuzzer (make fuzz) or with driver.cpp (the corpus and
// seeded mutations, run by ctest). A target may also define
// fuzz_make_seeds(folder), which the driver's --make-seeds calls to write
// inputs made by the system itself into a corpus folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
int fuzz_make_seeds(const char *folder);
}

namespace kel::fuzz {

// The scratch folder (made on first use, removed at the end of the
// process).
const std::string &scratch();

void write_bytes(const std::string &path, const void *data, size_t size);
std::string read_bytes(const std::string &path);

// From the first InScratch on, diagnostics (eprintf) and listings of the
// stream layer are counted and dropped, unless KEL_FUZZ_VERBOSE is set;
// sanitizer reports still reach the error output. diagnostic_bytes: what
// the diagnostics wrote so far.
size_t diagnostic_bytes();

// How the guard treats a call that would create, change or remove a file
// outside the scratch folder (the scratch folder itself included): kOff
// lets it through, kRefuse fails it with EACCES, kEscape reports an escape
// and aborts. A shell command (system) is always refused under a guard.
enum class Guard { kOff, kRefuse, kEscape };
void set_guard(Guard guard);

// One input's stay in the scratch folder, as every target runs it:
// diagnostics quiet, the folder emptied and made the working folder, every
// file the process writes limited to 64 MiB, and the guard set; on
// leaving, the guard is off and the process back where it started.
struct InScratch {
  explicit InScratch(Guard guard);
  ~InScratch();
  InScratch(const InScratch &) = delete;  // one stay, left once
  InScratch &operator=(const InScratch &) = delete;
};

}  // namespace kel::fuzz
