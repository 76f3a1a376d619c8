#include "common/golden.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "common/test_util.h"

namespace kel::test {

::testing::AssertionResult matches_golden(const std::string &name, const std::string &text) {
  std::filesystem::path path = std::filesystem::path(KEL_GOLDEN_DIR) / name;
  const char *update = getenv("KEL_UPDATE_GOLDEN");
  if (update && *update && *update != '0') {
    std::filesystem::create_directories(path.parent_path());
    write_file(path.string(), text);
    return ::testing::AssertionSuccess();
  }
  if (!file_exists(path.string()))
    return ::testing::AssertionFailure()
           << "no golden file " << path.string() << " (KEL_UPDATE_GOLDEN=1 writes it)";
  std::string want = read_file(path.string());
  if (want == text) return ::testing::AssertionSuccess();
  // The first line that differs, and both texts whole.
  std::istringstream a(want), b(text);
  std::string la, lb;
  int line = 1;
  while (std::getline(a, la) && std::getline(b, lb) && la == lb) ++line;
  return ::testing::AssertionFailure()
         << "differs from " << path.string() << " at line " << line << " (KEL_UPDATE_GOLDEN=1 "
         << "rewrites it)\n--- expected\n"
         << want << "--- got\n"
         << text;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
  if (from.empty()) return text;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string pointer_text(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

}  // namespace kel::test
