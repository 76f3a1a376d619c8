// The message library: files made by rows and the calls on them (the pool
// of result buffers, printing and tracing, failures of memory and the
// diagnostic writer eprintf among them), random fetches against a
// reference.
#include "messages/msg.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>

#include "common/faults.h"
#include "common/golden.h"
#include "common/msg_file.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "layer/layer.h"
#include "messages/diag.h"

namespace kel {
namespace {

using namespace test;

// Message files made by rows (add, missing, version, then write) and the
// library's calls on them: the rows of messages/calls.txt. Long texts show
// as runs (as_text), arguments are given as runs.
std::string shown_text(const char *text) {
  return text ? as_text(text) : "null";
}

// eprintf with a format the rows give.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void eprintf_text(const std::string &format, const std::string &text) {
  eprintf(format.c_str(), text.c_str());
}
void eprintf_numbers(const std::string &format, int32_t v) {
  eprintf(format.c_str(), v, v, v, v, v, v, v, v, v, v);
}
#pragma GCC diagnostic pop

TEST(Messages, Rows) {
  TempDir dir;
  MsgFileBuilder b;
  char buffer[kMsgBufferSize], error[300];
  std::string fallback;
  const char *kept = nullptr;
  auto n = [](const Words &a, size_t i) { return static_cast<int32_t>(number(a.at(i))); };
  auto text = [](const Words &a, size_t i) {
    return a.size() > i && a[i] != "null" ? a[i].c_str() : nullptr;
  };
  Verbs verbs = {
      {"add", act([&](const Words &a) { b.add(n(a, 0), Words(a.begin() + 1, a.end())); })},
      {"missing", act([&](const Words &a) { b.missing(n(a, 0), static_cast<uint16_t>(n(a, 1))); })},
      {"version", act([&](const Words &a) { b.version(static_cast<uint16_t>(n(a, 0))); })},
      // NAME [BYTES]: the file made by the rows before, or these bytes.
      {"write", act([&](const Words &a) {
         write_file(dir / a.at(0),
                    a.size() > 1 ? a[1] : std::exchange(b, MsgFileBuilder()).bytes());
       })},
      {"remove", act([&](const Words &a) { unlink((dir / a.at(0)).c_str()); })},
      // The file A_MESSAGE names (none: unset), and the default file.
      {"named", act([&](const Words &a) {
         a.empty() ? unsetenv("A_MESSAGE") : setenv("A_MESSAGE", (dir / a[0]).c_str(), 1);
       })},
      {"default_file", act([&](const Words &a) {
         fallback = a.empty() ? "" : dir / a[0];  // the library keeps the pointer
         msg_default_file_for_tests(a.empty() ? nullptr : fallback.c_str());
       })},
      {"init",
       [&](const Words &) {
         int rc = Amsg_init(error);
         return std::to_string(rc) + " " + replace_all(as_word(error), dir.path(), "<dir>");
       }},
      {"shutdown", act(Amsg_shutdown)},
      // N SUB [DEFAULT]
      {"get", [&](const Words &a) { return shown_text(Amsg_get(n(a, 0), n(a, 1), text(a, 2))); }},
      // A fetch whose result is kept, and that result as it reads now.
      {"keep",
       [&](const Words &a) { return shown_text(kept = Amsg_get(n(a, 0), n(a, 1), nullptr)); }},
      {"kept", [&](const Words &) { return shown_text(kept); }},
      // FORMAT ARG...: eprintf with one text (runs); "numbers N FORMAT...":
      // with ten numbers N, the format given as runs.
      {"eprintf", act([](const Words &a) { eprintf_text(a.at(0), from_runs(a, 1)); })},
      {"numbers", act([&](const Words &a) { eprintf_numbers(from_runs(a, 1), n(a, 0)); })},
      // FORMAT|null [ARG...]: what Amsg_print wrote on a stream; Amsg_trace
      // writes on the error output ("stderr trace ...").
      {"print",
       [&](const Words &a) {
         void *stream = Astream_open((dir / "out.txt").c_str(), "w");
         Amsg_print(stream, text(a, 0), text(a, 1), text(a, 2));
         Astream_close(stream);
         return as_word(read_file(dir / "out.txt"));
       }},
      {"trace", act([&](const Words &a) { Amsg_trace(a.at(0).c_str(), text(a, 1)); })},
      {"format",
       [&](const Words &a) {
         std::string args[3];
         for (size_t i = 1; i < a.size() && i < 4; ++i) args[i - 1] = from_runs({a[i]});
         Amsg_format(buffer, a.at(0).c_str(), args[0].c_str(), args[1].c_str(), args[2].c_str());
         return shown_text(buffer);
       }},
      // The array form with as many arguments as given.
      {"expand",
       [&](const Words &a) {
         std::vector<const char *> args;
         for (size_t i = 1; i < a.size(); ++i) args.push_back(a[i].c_str());
         msg_expand(buffer, a.at(0).c_str(), args.data(), static_cast<int>(args.size()));
         return shown_text(buffer);
       }},
      // N DEFAULT: the file's text when its conversions are the default's.
      {"printf_text",
       [&](const Words &a) {
         const char *got = msg_printf_text(n(a, 0), a.at(1).c_str());
         return got == a[1].c_str() ? std::string("the default") : shown_text(got);
       }},
  };
  add_fault_verbs(verbs);  // fail N, failed, count_blocks, blocks_since
  // VERB ARG...: the verb's result, then what it wrote on the error output.
  verbs["stderr"] = [&](const Words &a) {
    StderrCapture err;
    std::string result = verbs.at(a.at(0))(Words(a.begin() + 1, a.end()));
    return result + (result.empty() ? "" : " ") + "stderr " + as_text(err.text());
  };
  EXPECT_TRUE(run_rows("messages/calls.txt", verbs));
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
  write_file(dir / "texts.msg", b.bytes());
  setenv("A_MESSAGE", (dir / "texts.msg").c_str(), 1);
  char error[300];
  ASSERT_EQ(1, Amsg_init(error)) << error;
  for (int step = 0; step < 4000; ++step) {
    int n = static_cast<int>(rng() % 44);
    int sub = static_cast<int>(rng() % 7);
    const char *dflt = (rng() % 2) ? "D" : nullptr;
    // Not found: the default, or the number and sub-message.
    std::string want = dflt ? dflt : "#" + std::to_string(n) + "," + std::to_string(sub);
    if (n == 0)
      want = "\"Message %s missing\"";
    else if (table.count(n) && sub < static_cast<int>(table[n].size()))
      want = table[n][sub].substr(0, 1023);
    else if (missing.count(n) && sub < missing[n])
      want = "\"Message #" + std::to_string(n) + " missing\"";
    ASSERT_EQ(want, Amsg_get(n, sub, dflt)) << "step " << step << ": " << n << "/" << sub;
  }
  Amsg_shutdown();
}

}  // namespace
}  // namespace kel
