#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/test_util.h"
#include "layer/layer.h"
#include "messages/diag.h"

namespace kel {
namespace {

TEST(Paths, BaseName) {
  EXPECT_STREQ("c", Abase_name("a/b/c"));
  EXPECT_STREQ("plain", Abase_name("plain"));
  EXPECT_STREQ("", Abase_name("dir/"));
  EXPECT_STREQ("x", Abase_name("/x"));
  const char *path = "a/b.dat";
  EXPECT_EQ(path + 2, Abase_name(path)) << "a pointer into the path";
}

TEST(Paths, BaseNameStepsOverDoubleByteCharacters) {
  setenv("LANG", "ja_JP.eucJP", 1);
  Aset_kanji_mode(kKanjiUndecided);
  ASSERT_TRUE(kanji_mode());
  // EUC text in folder and file names; a lone high byte before '/' is no
  // pair and leaves the '/' alone.
  const char *path = "\xC6\xFC\xCB\xDC/\x8E\xB1\xB0\xA1.dat";
  EXPECT_STREQ("\x8E\xB1\xB0\xA1.dat", Abase_name(path));
  EXPECT_STREQ("x", Abase_name("\xA4/x"));
  EXPECT_STREQ("\xA4\xA2", Abase_name("d/\xA4\xA2"));
}

TEST(Paths, JoinPath) {
  struct Case {
    const char *dir, *name, *want;
  } cases[] = {{"", "x", "x"},     {"a", "x", "a/x"},  {"a/", "x", "a/x"},   {"a/", "/x", "a/x"},
               {"a", "/x", "a/x"}, {"c:", "x", "c:x"}, {"c:", "/x", "c:/x"}, {"a//", "/x", "a//x"},
               {"/", "x", "/x"},   {"a", "", "a/"}};
  for (const Case &c : cases) {
    char buf[64];
    strcpy(buf, c.dir);
    EXPECT_EQ(buf, Ajoin_path(buf, c.name));
    EXPECT_STREQ(c.want, buf) << "'" << c.dir << "' + '" << c.name << "'";
  }
}

bool valid_temp_name(const std::string &name, const std::string &prefix,
                     const std::string &suffix) {
  if (name.size() != prefix.size() + 6 + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (size_t i = prefix.size(); i < prefix.size() + 6; ++i) {
    if (!strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", name[i])) return false;
  }
  return true;
}

TEST(Paths, TempFilesAreNewEmptyAndUnique) {
  test::TempDir dir;
  umask(022);
  char a[257], b[257];
  ASSERT_EQ(1, Atemp_file(dir.path().c_str(), "TM", ".tmp", a, sizeof a));
  ASSERT_EQ(1, Atemp_file(dir.path().c_str(), "TM", ".tmp", b, sizeof b));
  EXPECT_STRNE(a, b);
  std::string name = a;
  ASSERT_EQ(dir.path() + "/", name.substr(0, dir.path().size() + 1));
  EXPECT_TRUE(valid_temp_name(Abase_name(a), "TM", ".tmp")) << a;
  struct stat st;
  ASSERT_EQ(0, stat(a, &st));
  EXPECT_EQ(0, st.st_size);
  EXPECT_EQ(0644u, st.st_mode & 0777);
  // No prefix or suffix.
  ASSERT_EQ(1, Atemp_file(dir.path().c_str(), nullptr, nullptr, a, sizeof a));
  EXPECT_TRUE(valid_temp_name(Abase_name(a), "", "")) << a;
}

TEST(Paths, TempFileFolderDefaults) {
  test::TempDir a_tmp, tmp, cwd(true);
  char buf[257];
  setenv("A_TMPDIR", a_tmp.path().c_str(), 1);
  setenv("TMPDIR", tmp.path().c_str(), 1);
  ASSERT_EQ(1, Atemp_file(nullptr, "X", nullptr, buf, sizeof buf));
  EXPECT_EQ(a_tmp.path(), std::string(buf).substr(0, a_tmp.path().size()));
  unsetenv("A_TMPDIR");
  ASSERT_EQ(1, Atemp_file("", "X", nullptr, buf, sizeof buf));
  EXPECT_EQ(tmp.path(), std::string(buf).substr(0, tmp.path().size()));
  unsetenv("TMPDIR");
  ASSERT_EQ(1, Atemp_file(nullptr, "X", nullptr, buf, sizeof buf));
  EXPECT_EQ("./", std::string(buf).substr(0, 2));
  EXPECT_TRUE(test::file_exists(cwd / Abase_name(buf)));
}

uint32_t g_draws = 0;
uint32_t always_zero() {
  ++g_draws;
  return 0;
}

TEST(Paths, TempFileFailures) {
  test::TempDir dir;
  char buf[64];
  // Exactly fitting: folder + '/' + prefix + 6 + suffix + NUL.
  std::string folder = dir.path();
  size_t need = folder.size() + 1 + 2 + 6 + 4 + 1;
  ASSERT_LE(need, sizeof buf);
  EXPECT_EQ(1, Atemp_file(folder.c_str(), "TM", ".tmp", buf, need));
  strcpy(buf, "junk");
  EXPECT_EQ(0, Atemp_file(folder.c_str(), "TM", ".tmp", buf, need - 1));
  EXPECT_STREQ("", buf);
  // With a trailing '/' the folder needs no separator.
  EXPECT_EQ(1, Atemp_file((folder + "/").c_str(), "TM", ".tmp", buf, need));

  // A missing folder.
  strcpy(buf, "junk");
  EXPECT_EQ(0, Atemp_file((dir / "none").c_str(), "TM", nullptr, buf, sizeof buf));
  EXPECT_STREQ("", buf);

  // Every draw names the same existing file: 32768 draws, then 0.
  temp_file_draw_hook(always_zero);
  test::write_file(dir / "TMAAAAAA", "taken");
  g_draws = 0;
  strcpy(buf, "junk");
  EXPECT_EQ(0, Atemp_file(folder.c_str(), "TM", nullptr, buf, sizeof buf));
  EXPECT_STREQ("", buf);
  EXPECT_EQ(32768u * 6u, g_draws);
  EXPECT_EQ("taken", test::read_file(dir / "TMAAAAAA"));
  temp_file_draw_hook(nullptr);
}

}  // namespace
}  // namespace kel
