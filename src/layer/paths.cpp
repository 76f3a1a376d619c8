// Path helpers: the last component of a path, joining a name to a folder,
// and new temporary files with unique names.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "layer/layer.h"
#include "layer/text_mode.h"
#include "support/setting_lookup.h"

namespace {

constexpr const char kNameChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr int kNameCharCount = sizeof kNameChars - 1;
constexpr int kRandomChars = 6;
constexpr int kMaxDraws = 32768;

// The draw of temporary names: one generator per process (xorshift64*),
// seeded once from the time, a clock reading and the process id.
struct TempNames {
  bool seeded = false;
  uint64_t state = 0;
  uint32_t (*draw_hook)() = nullptr;  // tests: a fixed sequence
};

TempNames g_names;

uint32_t draw() {
  if (g_names.draw_hook) return g_names.draw_hook();
  if (!g_names.seeded) {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    g_names.state = (static_cast<uint64_t>(time(nullptr)) << 32) ^
                    static_cast<uint64_t>(ts.tv_nsec) ^ (static_cast<uint64_t>(getpid()) << 16) ^
                    0x9E3779B97F4A7C15ull;
    if (g_names.state == 0) g_names.state = 1;
    g_names.seeded = true;
  }
  uint64_t x = g_names.state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  g_names.state = x;
  return static_cast<uint32_t>((x * 0x2545F4914F6CDD1Dull) >> 32);
}

const char *default_temp_folder() {
  const char *dir = kel::setting_text("A_TMPDIR");
  if (dir == nullptr) dir = kel::setting_text("TMPDIR");
  return dir ? dir : ".";
}

// Length of Ajoin_path(folder, name) without building it, for a name of
// `name_length` bytes beginning with `first`.
size_t joined_length(const char *folder, size_t name_length, char first) {
  size_t folder_length = strlen(folder);
  size_t n = folder_length + name_length;
  if (folder_length == 0) return n;
  char last = folder[folder_length - 1];
  if (last == '/' && first == '/') return n - 1;
  if (last != '/' && last != ':' && first != '/') return n + 1;
  return n;
}

}  // namespace

// In double-byte mode the lead byte of a pair is stepped over together with
// its second byte, which may have any value, even that of '/'.
extern "C" const char *Abase_name(const char *path) {
  const char *base = path;
  bool pairs = kel::kanji_mode();
  for (const char *p = path; *p; ++p) {
    if (pairs && p[1] && kel::kanji_pair(reinterpret_cast<const unsigned char *>(p))) {
      ++p;
      continue;
    }
    if (*p == '/') base = p + 1;
  }
  return base;
}

extern "C" char *Ajoin_path(char *directory, const char *name) {
  size_t length = strlen(directory);
  bool dir_slash = length > 0 && directory[length - 1] == '/';
  bool dir_colon = length > 0 && directory[length - 1] == ':';
  if (dir_slash && name[0] == '/') {
    ++name;  // the two slashes become one
  } else if (length > 0 && !dir_slash && !dir_colon && name[0] != '/') {
    directory[length++] = '/';
  }
  strcpy(directory + length, name);
  return directory;
}

extern "C" int Atemp_file(const char *directory, const char *prefix, const char *suffix,
                          char *buffer, size_t size) {
  if (size > 0) buffer[0] = '\0';
  const char *folder = (directory && *directory) ? directory : default_temp_folder();
  if (prefix == nullptr) prefix = "";
  if (suffix == nullptr) suffix = "";
  size_t suffix_length = strlen(suffix);
  size_t name_length = strlen(prefix) + kRandomChars + suffix_length;
  char first = prefix[0] != '\0' ? prefix[0] : 'X';
  if (joined_length(folder, name_length, first) + 1 > size) return 0;
  // The name is joined once, its random part standing as "XXXXXX"; the join
  // depends on the name's first byte alone, so joining the prefix and
  // appending the rest gives the same path. The random part is then
  // redrawn in place, counted from the end.
  strcpy(buffer, folder);
  Ajoin_path(buffer, prefix);
  size_t end = strlen(buffer);
  memset(buffer + end, 'X', kRandomChars);
  memcpy(buffer + end + kRandomChars, suffix, suffix_length + 1);
  char *random = buffer + end;
  for (int attempt = 0; attempt < kMaxDraws; ++attempt) {
    for (int i = 0; i < kRandomChars; ++i) random[i] = kNameChars[draw() % kNameCharCount];
    int fd = open(buffer, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return 1;
    }
    if (errno != EEXIST) break;
  }
  buffer[0] = '\0';
  return 0;
}

namespace kel {

void temp_file_draw_hook(uint32_t (*hook)()) {
  g_names.draw_hook = hook;
}

}  // namespace kel
