// The standalone driver of a fuzz target, for builds without libFuzzer
// (ctest runs it in the normal and the sanitizer build):
//
//   fuzz_<target> [--mutations N] [--seed S] [--timeout SECONDS] FOLDER|FILE...
//   fuzz_<target> --make-seeds FOLDER
//
// Every file of the corpus runs once, then N inputs made from them by
// seeded mutations: the same seed gives the same inputs on every machine
// (std::mt19937 draws, no distribution objects). An input that crashes,
// trips a sanitizer or runs past the timeout is saved as
// fuzz-failure-<target> in the starting folder and the run fails; the
// saved file replays it (fuzz_<target> fuzz-failure-<target>).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fuzz/fuzz.h"
#include "support/be.h"

extern "C" {
int fuzz_make_seeds(const char *folder) __attribute__((weak));
void __sanitizer_set_death_callback(void (*callback)(void)) __attribute__((weak));
}

namespace {

using Bytes = std::string;
constexpr size_t kMaxInput = 1 << 16;

struct DriverState {
  char failure_path[4096];
  const Bytes *current = nullptr;
  const char *what = "";
};
DriverState g_driver;

// Called from a signal handler or the sanitizers' death callback: the
// process is ending, so only the input is written out.
void save_current() {
  if (g_driver.current == nullptr) return;
  kel::fuzz::set_guard(kel::fuzz::Guard::kOff);
  const Bytes &b = *g_driver.current;
  g_driver.current = nullptr;
  FILE *f = fopen(g_driver.failure_path, "wb");
  if (f) {
    if (!b.empty()) fwrite(b.data(), 1, b.size(), f);
    fclose(f);
  }
  fprintf(stderr, "fuzz: %s failed; the input is saved as %s\n", g_driver.what,
          g_driver.failure_path);
}

void on_signal(int signo) {
  if (signo == SIGALRM) fprintf(stderr, "fuzz: the input runs too long (a hang)\n");
  save_current();
  signal(signo, SIG_DFL);
  raise(signo == SIGALRM ? SIGABRT : signo);
}

// Values at the edges of the fields of the formats under test, written
// big-endian as the formats store them.
const uint32_t kInteresting[] = {0,          1,      0x7F,   0x80,    0xFF,       0x100,
                                 0x7FFF,     0x8000, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000,
                                 0xFFFFFFFF, 512,    1024,   5120};
const char kTextBytes[] = "0123456789abcdef -,.:/\n";

void mutate(Bytes &b, const std::vector<Bytes> &corpus, std::mt19937 &rng) {
  auto at = [&](size_t extra) { return b.size() + extra == 0 ? 0 : rng() % (b.size() + extra); };
  switch (rng() % 9) {
    case 0:  // bit flip
      if (!b.empty()) b[at(0)] ^= static_cast<char>(1u << (rng() % 8));
      break;
    case 1:  // byte set
      if (!b.empty()) b[at(0)] = static_cast<char>(rng());
      break;
    case 2:  // a byte of the texts (decimal, hexadecimal and octal fields, names)
      if (!b.empty()) b[at(0)] = kTextBytes[rng() % (sizeof kTextBytes - 1)];
      break;
    case 3: {  // an interesting integer, 1, 2 or 4 bytes wide
      uint32_t v = kInteresting[rng() % std::size(kInteresting)];
      size_t width = size_t{1} << (rng() % 3);
      if (b.size() < width) break;
      size_t pos = rng() % (b.size() - width + 1);
      kel::store_be(&b[pos], static_cast<int>(width), v);
      break;
    }
    case 4: {  // insert random bytes or a copy of a piece
      size_t pos = at(1), n = 1 + rng() % 16;
      Bytes piece(n, 0);
      if (!b.empty() && rng() % 2) {
        size_t from = rng() % b.size();
        n = std::min(n, b.size() - from);
        piece.assign(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
      } else {
        for (auto &c : piece) c = static_cast<char>(rng());
      }
      b.insert(b.begin() + static_cast<long>(pos), piece.begin(), piece.end());
      break;
    }
    case 5: {  // delete a range
      if (b.empty()) break;
      size_t pos = at(0), n = 1 + rng() % (rng() % 8 ? 16 : b.size());
      n = std::min(n, b.size() - pos);
      b.erase(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + n));
      break;
    }
    case 6: {  // splice with another corpus entry
      const Bytes &other = corpus[rng() % corpus.size()];
      size_t cut = at(1), from = other.empty() ? 0 : rng() % other.size();
      b.resize(cut);
      b.insert(b.end(), other.begin() + static_cast<long>(from), other.end());
      break;
    }
    case 7:  // the same byte over a run
      if (!b.empty()) {
        size_t pos = at(0), n = std::min<size_t>(1 + rng() % 32, b.size() - pos);
        std::fill_n(b.begin() + static_cast<long>(pos), n, static_cast<char>(rng() % 2 ? 0 : 0xFF));
      }
      break;
    default:  // cut short
      if (!b.empty()) b.resize(at(0));
      break;
  }
  if (b.size() > kMaxInput) b.resize(kMaxInput);
}

void run(const Bytes &b, const char *what, unsigned timeout) {
  g_driver.current = &b;
  g_driver.what = what;
  alarm(timeout);
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(b.data()), b.size());
  alarm(0);
  g_driver.current = nullptr;
}

int usage(const char *self) {
  fprintf(stderr,
          "usage: %s [--mutations N] [--seed S] [--timeout SECONDS] FOLDER|FILE...\n"
          "       %s --make-seeds FOLDER\n",
          self, self);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string self = std::filesystem::path(argv[0]).filename();
  long mutations = 0;
  unsigned seed = 1, timeout = 30;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--make-seeds" && i + 1 < argc) {
      if (!fuzz_make_seeds) return usage(argv[0]);
      std::filesystem::create_directories(argv[i + 1]);
      return fuzz_make_seeds(argv[i + 1]) ? 0 : 1;
    }
    if (i + 1 < argc && (a == "--mutations" || a == "--seed" || a == "--timeout")) {
      unsigned long v = strtoul(argv[++i], nullptr, 10);
      if (a == "--mutations") mutations = static_cast<long>(v);
      if (a == "--seed") seed = static_cast<unsigned>(v);
      if (a == "--timeout") timeout = static_cast<unsigned>(v);
    } else if (a.rfind("--", 0) == 0) {
      return usage(argv[0]);
    } else if (std::filesystem::is_directory(a)) {
      for (const auto &e : std::filesystem::directory_iterator(a))
        if (e.is_regular_file()) files.push_back(e.path());
    } else {
      files.push_back(a);
    }
  }
  snprintf(g_driver.failure_path, sizeof g_driver.failure_path, "%s/fuzz-failure-%s",
           std::filesystem::current_path().c_str(), self.c_str());
  for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGALRM}) signal(signo, on_signal);
  if (__sanitizer_set_death_callback) __sanitizer_set_death_callback(save_current);

  std::sort(files.begin(), files.end());
  std::vector<Bytes> corpus;
  for (const std::string &f : files) {
    corpus.push_back(kel::fuzz::read_bytes(f));
    run(corpus.back(), f.c_str(), timeout);
  }
  if (corpus.empty()) corpus.emplace_back();
  std::mt19937 rng(seed);
  std::string what;
  for (long n = 0; n < mutations; ++n) {
    Bytes b = corpus[rng() % corpus.size()];
    for (int steps = 1 + static_cast<int>(rng() % 4); steps > 0; --steps) mutate(b, corpus, rng);
    what = "mutation " + std::to_string(n) + " (seed " + std::to_string(seed) + ")";
    run(b, what.c_str(), timeout);
  }
  printf("%s: %zu corpus inputs and %ld mutations (seed %u) ended cleanly\n", self.c_str(),
         files.size(), mutations, seed);
  return 0;
}
