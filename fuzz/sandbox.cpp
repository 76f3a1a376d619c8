// The scratch folder, quiet diagnostics, and the guard.
//
// The guard: every fuzz program is linked with --wrap for the calls by
// which the file system and kel create, change or remove files (see
// fuzz/CMakeLists.txt), so that the code under test calls the __wrap_
// functions below. Each checks the paths it is given, lexically (nothing
// under test makes symbolic links), before it hands the call on. An
// archive may name any file of the machine, and the fuzz programs run as
// whoever runs the tests, root included: the guard keeps such names away
// from the real files, and catches a run that reaches outside its folder
// when it promised not to (kel -ic).
//
// sync() is wrapped too (see __wrap_sync).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/fuzz.h"
#include "layer/layer.h"

namespace kel::fuzz {
namespace {

constexpr rlim_t kFileLimit = 64 << 20;

struct SandboxState {
  std::string scratch;
  std::string start;
  Guard guard = Guard::kOff;
  size_t diagnostic_bytes = 0;
};
SandboxState g_box;

// Everything in the scratch folder removed; the folders a run left
// without access are opened up first, each before the walk enters it.
// (The library's own calls: the guard does not see them.)
void empty_scratch() {
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(g_box.scratch, ec), end; it != end; it.increment(ec))
    if (it->symlink_status(ec).type() == fs::file_type::directory)
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  for (const fs::directory_entry &e : fs::directory_iterator(g_box.scratch, ec))
    fs::remove_all(e.path(), ec);
}

void remove_scratch() {
  if (g_box.scratch.empty() || chdir(g_box.start.c_str()) != 0) return;
  empty_scratch();
  rmdir(g_box.scratch.c_str());
}

// The streams of quiet_diagnostics: unbuffered, counted, and shown only
// when KEL_FUZZ_VERBOSE is set.
ssize_t sink_write(void *counter, const char *buffer, size_t size) {
  if (counter) *static_cast<size_t *>(counter) += size;
  if (getenv("KEL_FUZZ_VERBOSE")) fwrite(buffer, 1, size, stderr);
  return static_cast<ssize_t>(size);
}

FILE *open_sink(size_t *counter) {
  FILE *f = fopencookie(counter, "w", cookie_io_functions_t{nullptr, sink_write, nullptr, nullptr});
  if (f == nullptr) abort();
  setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

// Diagnostics (eprintf) and listings of the stream layer go to the sinks
// from the first stay in the scratch folder on.
void quiet_diagnostics() {
  static FILE *err = open_sink(&g_box.diagnostic_bytes);
  static FILE *out = open_sink(nullptr);
  Astream_init(stdin, out, err);
}

// True when `path`, taken from the working folder, names something strictly
// inside the scratch folder. Lexically: ".." above the root stays at the
// root, as the system resolves it.
bool inside(const char *path) {
  if (path == nullptr) return true;
  char cwd[4096];
  std::filesystem::path full = std::filesystem::path(getcwd(cwd, sizeof cwd) ? cwd : "/") / path;
  std::filesystem::path rel = full.lexically_normal().lexically_relative(g_box.scratch);
  return !rel.empty() && rel != "." && *rel.begin() != "..";
}

// False (errno EACCES) when the guard refuses a call on these paths.
bool allowed(const char *call, const char *path, const char *other = nullptr) {
  if (g_box.guard == Guard::kOff || (inside(path) && inside(other))) return true;
  if (g_box.guard == Guard::kEscape) {
    fprintf(stderr, "fuzz: %s(\"%s\"%s%s%s) reaches outside the scratch folder %s\n", call, path,
            other ? ", \"" : "", other ? other : "", other ? "\"" : "", g_box.scratch.c_str());
    abort();
  }
  errno = EACCES;
  return false;
}

bool writes(int flags) {
  return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

}  // namespace

const std::string &scratch() {
  if (g_box.scratch.empty()) {
    char cwd[4096];
    g_box.start = getcwd(cwd, sizeof cwd) ? cwd : "/";
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kel-fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("fuzz: scratch folder");
      abort();
    }
    // As getcwd will name it, whatever links lead to it.
    char *real = realpath(pattern.c_str(), nullptr);
    g_box.scratch = real ? real : pattern;
    free(real);
    atexit(remove_scratch);
  }
  return g_box.scratch;
}

InScratch::InScratch(Guard guard) {
  quiet_diagnostics();
  // Damaged sizes and positions may ask for huge files: no file grows past
  // kFileLimit, and a write beyond it fails (EFBIG) as on a full disk.
  static bool limited = [] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {kFileLimit, kFileLimit};
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }();
  if (!limited || chdir(scratch().c_str()) != 0) abort();
  empty_scratch();
  set_guard(guard);
}

InScratch::~InScratch() {
  set_guard(Guard::kOff);
  if (chdir(g_box.start.c_str()) != 0) abort();
}

void write_bytes(const std::string &path, const void *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wb");
  if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
    perror(path.c_str());
    abort();
  }
}

std::string read_bytes(const std::string &path) {
  std::ostringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  return bytes.str();
}

size_t diagnostic_bytes() {
  return g_box.diagnostic_bytes;
}

void set_guard(Guard guard) {
  g_box.guard = guard;
}

}  // namespace kel::fuzz

using kel::fuzz::allowed;
using kel::fuzz::writes;

extern "C" {

int __real_open64(const char *path, int flags, ...);
FILE *__real_fopen64(const char *path, const char *mode);

int __wrap_open64(const char *path, int flags, ...) {
  mode_t mode = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (writes(flags) && !allowed("open", path)) return -1;
  return __real_open64(path, flags, mode);
}

FILE *__wrap_fopen64(const char *path, const char *mode) {
  if (mode && strpbrk(mode, "wa+") && !allowed("fopen", path)) return nullptr;
  return __real_fopen64(path, mode);
}

// The calls whose first one or two arguments are the paths they change:
// each __wrap_ checks them and hands the call on to its __real_, or fails
// it with -1.
#define KEL_ARGUMENTS(...) __VA_ARGS__
#define KEL_GUARDED(call, paths, params, args)                            \
  int __real_##call params;                                               \
  int __wrap_##call params {                                              \
    return allowed(#call, KEL_ARGUMENTS paths) ? __real_##call args : -1; \
  }

KEL_GUARDED(mkdir, (path), (const char *path, mode_t mode), (path, mode))
KEL_GUARDED(mkstemp64, (pattern), (char *pattern), (pattern))
KEL_GUARDED(rename, (from, to), (const char *from, const char *to), (from, to))
KEL_GUARDED(link, (from, to), (const char *from, const char *to), (from, to))
KEL_GUARDED(unlink, (path), (const char *path), (path))
KEL_GUARDED(remove, (path), (const char *path), (path))
KEL_GUARDED(chmod, (path), (const char *path, mode_t mode), (path, mode))
KEL_GUARDED(chown, (path), (const char *path, uid_t owner, gid_t group), (path, owner, group))
KEL_GUARDED(utime, (path), (const char *path, const struct utimbuf *times), (path, times))

// Shell commands of the code under test (the rename fallback, an eject
// command) never run; libFuzzer's own (-merge, -fork) run outside the runs.
int __real_system(const char *command);
int __wrap_system(const char *command) {
  if (kel::fuzz::g_box.guard == kel::fuzz::Guard::kOff) return __real_system(command);
  errno = EACCES;
  return -1;
}

// Flushing every file system of the machine changes nothing a run can
// see, and costs most of its time on a busy machine.
void __wrap_sync() {}
}
