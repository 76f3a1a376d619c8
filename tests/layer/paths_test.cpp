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

// The double-byte mode is decided once, from LANG unless given; pairs are
// EUC characters.
TEST(KanjiMode, DecidedOnceFromLangAndPairs) {
  const std::pair<const char *, bool> langs[] = {{"ja_JP.eucJP", true}, {"Japanese", true},
                                                 {"C", false},          {"en_US.UTF-8", false},
                                                 {nullptr, false},      {"", false}};
  for (auto [lang, want] : langs) {
    reset_kanji_mode();
    lang ? setenv("LANG", lang, 1) : unsetenv("LANG");
    EXPECT_FALSE(kanji_mode()) << "undecided counts as 0";
    Aset_kanji_mode(kKanjiUndecided);
    EXPECT_EQ(want, kanji_mode()) << (lang ? lang : "(unset)");
  }
  reset_kanji_mode();
  setenv("LANG", "C", 1);
  Aset_kanji_mode(kKanjiUndecided);
  setenv("LANG", "ja", 1);
  Aset_kanji_mode(kKanjiUndecided);
  Aset_kanji_mode(1);
  EXPECT_FALSE(kanji_mode()) << "later calls are ignored";
  reset_kanji_mode();
  Aset_kanji_mode(1);
  EXPECT_TRUE(kanji_mode()) << "an explicit mode needs no LANG";
  for (const char *pair : {"\xA1\xA1", "\xFE\xFE", "\x8E\xB1", "\x8F\xA1"})
    EXPECT_TRUE(kanji_pair(reinterpret_cast<const unsigned char *>(pair))) << pair;
  for (const char *pair : {"\xA1\x2F", "\x8D\xA1", "\xFF\xA1", "\xA1\xFF", "\x41\xA1", "\xA0\xA1"})
    EXPECT_FALSE(kanji_pair(reinterpret_cast<const unsigned char *>(pair))) << pair;
  reset_kanji_mode();
  setenv("LANG", "C", 1);
}

TEST(Paths, BaseNameAndJoin) {
  const char *path = "a/b.dat";
  EXPECT_EQ(path + 2, Abase_name(path)) << "a pointer into the path";
  for (auto [in, want] : {std::pair{"a/b/c", "c"}, {"plain", "plain"}, {"dir/", ""}, {"/x", "x"}})
    EXPECT_STREQ(want, Abase_name(in)) << in;
  // EUC text in folder and file names; a lone high byte before '/' is no
  // pair and leaves the '/' alone.
  setenv("LANG", "ja_JP.eucJP", 1);
  Aset_kanji_mode(kKanjiUndecided);
  ASSERT_TRUE(kanji_mode());
  EXPECT_STREQ("\x8E\xB1\xB0\xA1.dat", Abase_name("\xC6\xFC\xCB\xDC/\x8E\xB1\xB0\xA1.dat"));
  EXPECT_STREQ("x", Abase_name("\xA4/x"));
  EXPECT_STREQ("\xA4\xA2", Abase_name("d/\xA4\xA2"));
  reset_kanji_mode();
  const struct {
    const char *dir, *name, *want;
  } cases[] = {{"", "x", "x"},     {"a", "x", "a/x"},  {"a/", "x", "a/x"},   {"a/", "/x", "a/x"},
               {"a", "/x", "a/x"}, {"c:", "x", "c:x"}, {"c:", "/x", "c:/x"}, {"a//", "/x", "a//x"},
               {"/", "x", "/x"},   {"a", "", "a/"}};
  for (const auto &c : cases) {
    char buf[64];
    strcpy(buf, c.dir);
    EXPECT_EQ(buf, Ajoin_path(buf, c.name));
    EXPECT_STREQ(c.want, buf) << "'" << c.dir << "' + '" << c.name << "'";
  }
}

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
