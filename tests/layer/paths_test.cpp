#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "common/test_util.h"
#include "layer/layer.h"
#include "layer/text_mode.h"

namespace kel::test {
namespace {

// The double-byte mode, base names and joined paths: rows of
// layer/calls.txt.
uint32_t g_draws = 0;

// New, empty, unique files named folder/prefix + six of [A-Z0-9] + suffix.
TEST(Paths, TempFiles) {
  TempDir dir, a_tmp, tmp, cwd(true);
  umask(022);
  const std::string folder = dir.path();
  char a[257], b[257];
  ASSERT_EQ(1, Atemp_file(folder.c_str(), "TM", ".tmp", a, sizeof a));
  ASSERT_EQ(1, Atemp_file(folder.c_str(), "TM", ".tmp", b, sizeof b));
  EXPECT_STRNE(a, b);
  EXPECT_TRUE(std::regex_match(a, std::regex(folder + "/TM[A-Z0-9]{6}\\.tmp"))) << a;
  struct stat st;
  ASSERT_EQ(0, stat(a, &st));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0644u, st.st_mode & 0777);
  ASSERT_EQ(1, Atemp_file((folder + "/").c_str(), nullptr, nullptr, a, sizeof a));
  EXPECT_TRUE(std::regex_match(a, std::regex(folder + "/[A-Z0-9]{6}"))) << a;
  // The folder: A_TMPDIR, else TMPDIR, else the working folder.
  setenv("A_TMPDIR", a_tmp.path().c_str(), 1);
  setenv("TMPDIR", tmp.path().c_str(), 1);
  ASSERT_EQ(1, Atemp_file(nullptr, "X", nullptr, a, sizeof a));
  EXPECT_EQ(0u, std::string(a).find(a_tmp.path() + "/X"));
  unsetenv("A_TMPDIR");
  ASSERT_EQ(1, Atemp_file("", "X", nullptr, a, sizeof a));
  EXPECT_EQ(0u, std::string(a).find(tmp.path() + "/X"));
  unsetenv("TMPDIR");
  ASSERT_EQ(1, Atemp_file(nullptr, "X", nullptr, a, sizeof a));
  EXPECT_TRUE(file_exists(cwd / Abase_name(a)));
  EXPECT_EQ("./", std::string(a, 2));
  // Failures leave an empty name: a buffer one byte short (folder + '/' +
  // prefix + 6 + suffix + NUL fit), a missing folder, and 32768 draws that
  // all name an existing file.
  size_t need = folder.size() + 1 + 2 + 6 + 4 + 1;
  EXPECT_EQ(1, Atemp_file(folder.c_str(), "TM", ".tmp", a, need));
  EXPECT_EQ(0, Atemp_file(folder.c_str(), "TM", ".tmp", a, need - 1));
  EXPECT_STREQ("", a);
  strcpy(a, "junk");
  EXPECT_EQ(0, Atemp_file((dir / "none").c_str(), "TM", nullptr, a, sizeof a));
  EXPECT_STREQ("", a);
  temp_file_draw_hook([]() -> uint32_t { return ++g_draws, 0; });
  write_file(dir / "TMAAAAAA", "taken");
  EXPECT_EQ(0, Atemp_file(folder.c_str(), "TM", nullptr, a, sizeof a));
  EXPECT_EQ(32768u * 6u, g_draws);
  EXPECT_EQ("taken", read_file(dir / "TMAAAAAA"));
  temp_file_draw_hook(nullptr);
}

}  // namespace
}  // namespace kel::test
