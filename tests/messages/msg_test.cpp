#include "messages/msg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "common/msg_file.h"
#include "common/test_util.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "support/alloc.h"

namespace kel {
namespace {

using test::MsgFileBuilder;

// Writes `bytes` as the message file named by A_MESSAGE and opens it.
int open_messages(const test::TempDir &dir, const std::string &bytes, char *error = nullptr) {
  std::string path = dir / "texts.msg";
  test::write_file(path, bytes);
  setenv("A_MESSAGE", path.c_str(), 1);
  char local[300];
  return Amsg_init(error ? error : local);
}

TEST(Messages, TextsSubMessagesAndEscapes) {
  test::TempDir dir;
  MsgFileBuilder b;
  b.add(3, {"plain", "line\\n", "a\\tb", "say \\\"hi\\\"", "oct \\041\\012\\0777",
            "keep \\x and \\\\ and \\0 9", "trailing \\"});
  ASSERT_EQ(1, open_messages(dir, b.bytes()));
  // Octal escapes take two digits. Texts not found and missing ones:
  // RandomFetchesMatchAReference; here the number below the index.
  const char *want[] = {"plain",      "line\n",    "a\tb",
                        "say \"hi\"", "oct !\n?7", "keep \\x and \\\\ and \\0 9",
                        "trailing \\"};
  for (int32_t sub = 0; sub < 7; ++sub) EXPECT_STREQ(want[sub], Amsg_get(3, sub, "d")) << sub;
  EXPECT_STREQ("\"Message #-4 missing\"", Amsg_get(-4, 0, "dflt"));
  Amsg_shutdown();
}

TEST(Messages, UnusableFilesAreReportedAndTheDefaultFileIsTheFallback) {
  test::TempDir dir;
  // Before Amsg_init every fetch gives back its default, even null.
  EXPECT_STREQ("x", Amsg_get(1, 0, "x"));
  EXPECT_EQ(nullptr, Amsg_get(1, 0, nullptr));
  char error[300];
  std::string path = dir / "texts.msg";
  EXPECT_EQ(0, open_messages(dir, MsgFileBuilder().add(1, {"x"}).version(265).bytes(), error));
  EXPECT_EQ("Incorrect version for message file '" + path + "'", std::string(error));
  EXPECT_STREQ("default", Amsg_get(1, 0, "default"));
  EXPECT_EQ(0, open_messages(dir, std::string("\x51\x4c\x01\x6d", 4), error));
  EXPECT_EQ("Corrupted message file '" + path + "'", std::string(error));
  // A failed open leaves the library uninitialised: a later call tries
  // again and takes the file once it is good.
  EXPECT_EQ(1, open_messages(dir, MsgFileBuilder().add(1, {"from file"}).bytes(), error));
  EXPECT_STREQ("", error);
  EXPECT_STREQ("from file", Amsg_get(1, 0, "default"));
  EXPECT_EQ(1, Amsg_init(error)) << "done once";
  Amsg_shutdown();
  // Another magic: not a message file; the built-in texts, no error.
  EXPECT_EQ(1, open_messages(dir, "this is not a message file", error));
  EXPECT_STREQ("default", Amsg_get(1, 0, "default"));
  Amsg_shutdown();

  // Neither the named file nor the default: not initialised, so a later
  // call tries again and finds the default once it is there.
  std::string fallback = dir / "quorlane.msg";
  msg_default_file_for_tests(fallback.c_str());
  setenv("A_MESSAGE", (dir / "named.msg").c_str(), 1);
  EXPECT_EQ(1, Amsg_init(error));
  EXPECT_STREQ("", error);
  EXPECT_EQ(nullptr, Amsg_get(1, 0, nullptr)) << "not initialised: the default as it is";
  test::write_file(fallback, MsgFileBuilder().add(1, {"fallback"}).bytes());
  EXPECT_EQ(1, Amsg_init(error));
  EXPECT_STREQ("fallback", Amsg_get(1, 0, nullptr)) << "the missing named file falls back";
  Amsg_shutdown();
  // No A_MESSAGE: the default file directly; its errors name it.
  unsetenv("A_MESSAGE");
  test::write_file(fallback, MsgFileBuilder().add(1, {"x"}).version(267).bytes());
  EXPECT_EQ(0, Amsg_init(error));
  EXPECT_EQ("Incorrect version for message file '" + fallback + "'", std::string(error));
  // The default itself missing: initialised without a file for good.
  unlink(fallback.c_str());
  EXPECT_EQ(1, Amsg_init(error));
  EXPECT_STREQ("#1,0", Amsg_get(1, 0, nullptr)) << "initialised, no file";
  test::write_file(fallback, MsgFileBuilder().add(1, {"late"}).bytes());
  EXPECT_EQ(1, Amsg_init(error));
  EXPECT_STREQ("#1,0", Amsg_get(1, 0, nullptr)) << "done once";
  Amsg_shutdown();
  msg_default_file_for_tests(nullptr);
}

// Every fetch of a random sequence against a reference built from the same
// table: exercises the sub-message read cache (forward steps within one
// message, steps back, other messages in between, counts exceeded) and
// texts longer than the 1023 bytes a fetch keeps.
TEST(Messages, RandomFetchesMatchAReference) {
  test::TempDir dir;
  std::mt19937 rng(20240611);
  std::map<int, std::vector<std::string>> table;
  std::map<int, uint16_t> missing;
  MsgFileBuilder b;
  for (int n = 1; n <= 40; ++n) {
    int kind = static_cast<int>(rng() % 6);
    if (kind == 0) continue;  // empty entry
    if (kind == 1) {
      missing[n] = static_cast<uint16_t>(rng() % 3);
      b.missing(n, missing[n]);
      continue;
    }
    std::vector<std::string> subs;
    int count = 1 + static_cast<int>(rng() % 6);
    for (int s = 0; s < count; ++s) {
      std::string text = "m" + std::to_string(n) + "s" + std::to_string(s) + ":";
      text.append(rng() % 1500, static_cast<char>('a' + rng() % 26));  // some span pieces
      subs.push_back(text);
    }
    table[n] = subs;
    b.add(n, subs);
  }
  ASSERT_EQ(1, open_messages(dir, b.bytes()));
  for (int step = 0; step < 4000; ++step) {
    int n = static_cast<int>(rng() % 44);
    int sub = static_cast<int>(rng() % 7);
    const char *dflt = (rng() % 2) ? "D" : nullptr;
    std::string want;
    std::string not_found = dflt ? dflt : "#" + std::to_string(n) + "," + std::to_string(sub);
    if (n == 0) {
      want = "\"Message %s missing\"";
    } else if (table.count(n)) {
      want = sub < static_cast<int>(table[n].size()) ? table[n][sub].substr(0, 1023) : not_found;
    } else if (missing.count(n)) {
      want = sub < missing[n] ? "\"Message #" + std::to_string(n) + " missing\"" : not_found;
    } else {
      want = not_found;
    }
    ASSERT_EQ(want, Amsg_get(n, sub, dflt)) << "step " << step << ": " << n << "/" << sub;
  }
  Amsg_shutdown();
}

TEST(Messages, PoolOfTenBuffersAndShutdownReleasesEverything) {
  test::TempDir dir;
  // A first round lets the configuration library (A_MESSAGE is looked up
  // there) create its own lasting blocks.
  ASSERT_EQ(1, open_messages(dir, MsgFileBuilder().add(1, {"one"}).bytes()));
  EXPECT_STREQ("one", Amsg_get(1, 0, nullptr));
  Amsg_shutdown();
  EXPECT_STREQ("gone", Amsg_get(1, 0, "gone"));
  int64_t live = alloc_live_blocks();
  MsgFileBuilder b;
  for (int n = 1; n <= 11; ++n) b.add(n, {"text " + std::to_string(n)});
  ASSERT_EQ(1, open_messages(dir, b.bytes()));
  const char *first = Amsg_get(1, 0, nullptr);
  for (int n = 2; n <= 10; ++n) Amsg_get(n, 0, nullptr);
  EXPECT_STREQ("text 1", first) << "valid for nine further fetches";
  EXPECT_EQ(first, Amsg_get(11, 0, nullptr));
  EXPECT_STREQ("text 11", first);
  Amsg_shutdown();
  EXPECT_EQ(live, alloc_live_blocks()) << "pool, state, key and stream released";
}

TEST(Messages, OutOfMemoryForThreadStateGivesDefaultsAndLeaksNothing) {
  test::TempDir dir;
  ASSERT_EQ(1, open_messages(dir, MsgFileBuilder().add(1, {"from file"}).bytes()));
  *fs_error_code() = 0;  // the error block is created once, on first use
  int64_t live = alloc_live_blocks();
  test::StderrCapture err;
  const char *text = nullptr;
  int failures = test::fail_each_allocation([&] { text = Amsg_get(1, 0, "default"); },
                                            [&](int n) {
                                              EXPECT_STREQ("default", text) << n;
                                              EXPECT_EQ(live, alloc_live_blocks()) << n;
                                            });
  EXPECT_EQ(3, failures) << "the key, the state and the pool";
  std::string report = "msglib: Not enough memory\n";
  EXPECT_EQ(report + report + report, err.text());
  EXPECT_STREQ("from file", Amsg_get(1, 0, "default")) << "a later fetch creates the state";
  Amsg_shutdown();
}

TEST(MessageFormat, PlaceholdersReorderAndLongTextsAreCut) {
  char buffer[kMsgBufferSize];
  const std::string big(1020, 'z'), exact(1023, 'e');  // 1023 bytes + NUL fit
  struct Case {
    const char *format, *a, *b, *c;
    std::string want;
  } cases[] = {{"%2 before %1", "a", "b", "", "b before a"},
               {"%s and %s, 100%%", "x", "y", "", "x and y, 100%"},
               {"%1-%1-%3", "p", "q", "r", "p-p-r"},
               {"%d stays", "unused", "", "", "%d stays"},
               {"%1 tail\n", big.c_str(), "", "", std::string(1014, 'z') + "...\n"},
               {"%1 tail", big.c_str(), "", "", std::string(1014, 'z') + "..."},
               {"%1", exact.c_str(), "", "", exact}};
  for (const Case &c : cases) {
    Amsg_format(buffer, c.format, c.a, c.b, c.c);
    EXPECT_EQ(c.want, buffer) << c.format;
  }
  // The array form never reads past its arguments.
  const char *one[] = {"only"};
  msg_expand(buffer, "%1 %2 %6 %s", one, 1);
  EXPECT_STREQ("only   ", buffer);

  *fs_error_code() = 0;
  int64_t live = alloc_live_blocks();
  alloc_fail_nth(1);
  Amsg_format(buffer, "%1 tail", big.c_str());
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_STREQ("out of memory in mvsprintf()", buffer);
  EXPECT_EQ(live, alloc_live_blocks());
}

TEST(MessageFormat, PrintAndTraceShowMissingMessagesByNumber) {
  test::TempDir dir;
  std::string out = dir / "out.txt";
  void *stream = Astream_open(out.c_str(), "w");
  ASSERT_NE(nullptr, stream);
  Amsg_print(stream, "%1 = %2\n", "a", "1");
  Amsg_print(stream, Amsg_get(12, 5, nullptr));  // library not initialised: null
  Amsg_print(stream, "#12,5");
  Astream_close(stream);
  EXPECT_EQ("a = 1\nMessage #12\n", test::read_file(out));

  test::StderrCapture err;
  Amsg_trace("#44");
  Amsg_trace("%1!\n", "traced");
  EXPECT_EQ("Message #44\ntraced!\n", err.text());
}

TEST(MessageFormat, PrintfTextIsTakenOnlyWithTheSameConversions) {
  test::TempDir dir;
  const char *dflt = "%s: File broken (code %d)\n";
  std::string many;
  for (int i = 0; i < 600; ++i) many += "%d";
  // Taken: the same conversions, whatever their flags, and literal widths
  // and precisions up to 3 digits.
  const char *taken[] = {"%s: Datei kaputt (Code %d)\n", "%-20s| %+5d|\n", "%.3s: %04d\n"};
  // Refused: %d became %s, the order changed, positional arguments, %n, one
  // conversion more, another length modifier, a '*' width or precision (it
  // takes an argument), 4-digit widths and precisions, another argument
  // class, more conversions than a signature holds.
  const char *refused[] = {"%s: kaputt %s\n", "%d: %s\n",      "%1$s %2$d\n", "%s %d %n\n",
                           "%s: %d %d\n",     "%s: %ld\n",     "%*s: %d\n",   "%.*s: %d\n",
                           "%1000s: %d\n",    "%.1000s: %d\n", "%s: %x\n",    "%s: %f\n",
                           many.c_str()};
  MsgFileBuilder b;
  int n = 0;
  for (const char *stored : taken) b.add(++n, {stored});
  for (const char *stored : refused) b.add(++n, {stored});
  b.add(++n, {"no conversions at all 100%%\n"});
  ASSERT_EQ(1, open_messages(dir, b.bytes()));
  n = 0;
  for (const char *stored : taken) EXPECT_STREQ(stored, msg_printf_text(++n, dflt)) << stored;
  for (const char *stored : refused) EXPECT_STREQ(dflt, msg_printf_text(++n, dflt)) << stored;
  EXPECT_STREQ("no conversions at all 100%%\n", msg_printf_text(++n, "plain %%\n"));
  EXPECT_EQ(dflt, msg_printf_text(30, dflt)) << "not in the file";
  Amsg_shutdown();
}

}  // namespace
}  // namespace kel
