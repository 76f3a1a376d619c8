#include "messages/diag.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "cache/cache.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/errors.h"
#include "kelfs/kelfs.h"
#include "support/alloc.h"

namespace kel {
namespace {

TEST(Eprintf, LongTextsAreWrittenWhole) {
  // A long argument, and numbers that widen a format estimated below 300
  // bytes (270 literal bytes and ten conversions) past them.
  std::string big(1000, 'L');
  big[0] = 'B';
  big[999] = 'E';
  std::string format(270, '.');
  for (int i = 0; i < 10; ++i) format.insert(static_cast<size_t>(i) * 27, "%d");
  std::string widened = format;
  for (size_t at; (at = widened.find("%d")) != std::string::npos;)
    widened.replace(at, 2, std::to_string(INT_MIN));
  ASSERT_GT(widened.size(), 300u);
  *fs_error_code() = 0;
  int64_t live = alloc_live_blocks();
  test::StderrCapture err;
  eprintf("<%s>\n", big.c_str());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
  eprintf(format.c_str(), INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN,
          INT_MIN, INT_MIN);
#pragma GCC diagnostic pop
  EXPECT_EQ("<" + big + ">\n" + widened, err.text());
  EXPECT_EQ(live, alloc_live_blocks()) << "the eprintf buffers are freed";
}

TEST(Eprintf, NoMemoryDropsOnlyLongTexts) {
  *fs_error_code() = 0;
  test::StderrCapture err;
  alloc_fail_nth(1);
  eprintf("%s", std::string(500, 'x').c_str());
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ("", err.text()) << "dropped silently";
  alloc_fail_nth(1);
  eprintf("short %d\n", 7);
  EXPECT_FALSE(alloc_failure_triggered()) << "short texts need no allocation";
  alloc_fail_nth(0);
  EXPECT_EQ("short 7\n", err.text());
}

TEST(KanjiMode, DecidedOnceFromLang) {
  struct {
    const char *lang;
    bool want;
  } cases[] = {{"ja_JP.eucJP", true},  {"Japanese", true}, {"C", false},
               {"en_US.UTF-8", false}, {nullptr, false},   {"", false}};
  for (auto &c : cases) {
    reset_kanji_mode();
    if (c.lang) {
      setenv("LANG", c.lang, 1);
    } else {
      unsetenv("LANG");
    }
    EXPECT_FALSE(kanji_mode()) << "undecided counts as 0";
    Aset_kanji_mode(kKanjiUndecided);
    EXPECT_EQ(c.want, kanji_mode()) << (c.lang ? c.lang : "(unset)");
  }
  // Once decided, later calls are ignored.
  reset_kanji_mode();
  setenv("LANG", "C", 1);
  Aset_kanji_mode(kKanjiUndecided);
  setenv("LANG", "ja", 1);
  Aset_kanji_mode(kKanjiUndecided);
  Aset_kanji_mode(1);
  EXPECT_FALSE(kanji_mode());
  // An explicit mode needs no LANG.
  reset_kanji_mode();
  Aset_kanji_mode(1);
  EXPECT_TRUE(kanji_mode());
}

TEST(KanjiMode, PairsAreEucCharacters) {
  const unsigned char pairs[][2] = {{0xA1, 0xA1}, {0xFE, 0xFE}, {0x8E, 0xB1}, {0x8F, 0xA1}};
  for (auto &p : pairs) EXPECT_TRUE(kanji_pair(p)) << std::hex << int(p[0]) << " " << int(p[1]);
  const unsigned char not_pairs[][2] = {{0xA1, 0x2F}, {0x8D, 0xA1}, {0xFF, 0xA1},
                                        {0xA1, 0xFF}, {0x41, 0xA1}, {0xA0, 0xA1}};
  for (auto &p : not_pairs)
    EXPECT_FALSE(kanji_pair(p)) << std::hex << int(p[0]) << " " << int(p[1]);
}

// V_TRACE 17: the entry points (1) and the lock calls (16) are traced,
// the cache's calls (8) and its metrics (4) are not.
TEST(TraceSwitch, OnlyTheChosenBitsTrace) {
  test::TempDir dir;
  std::string path = dir / "f";
  test::write_file(path, "x");
  v5_init_cfg();
  ASSERT_EQ(1, cfg_set_programmatic("V_TRACE", -1, "17", -1, 0));
  ASSERT_EQ(1, cfg_set_programmatic("V_BUFFERS", -1, "4", -1, 0));
  test::StderrCapture err;
  v5_commit(0);  // without a begin: traced, and nothing else happens
  int f = Bopen(path.c_str(), 0);
  ASSERT_GE(f, 0);
  char c;
  Bpread(f, &c, 1, 0);
  Bclose(f);
  Bshutdown();
  std::string text = err.text();
  EXPECT_EQ(0u, text.find("V: v5_commit(0)\nV: v5_commit() returning 1\nV: Afcntl(): fd=")) << text;
  EXPECT_EQ(std::string::npos, text.find("V: B")) << text;
  EXPECT_EQ(std::string::npos, text.find("Metrics")) << text;
  cfg_release();
}

}  // namespace
}  // namespace kel
