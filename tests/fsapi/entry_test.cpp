#include "fsapi/entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/test_util.h"
#include "config/fs_config.h"
#include "fsapi/families.h"
#include "indexed/engine.h"
#include "kelfs/kelfs.h"
#include "support/alloc.h"

namespace kel::fsapi {
namespace {

std::string hex(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// An entry point built the way every real one is, to check the trace shape
// on every kind of argument.
const char *sample_open(const char *name, int32_t mode, const char *params) {
  return entry<const char *>(
      {"v5_open", "\"%s\", 0x%x, \"%s\"", "%p", nullptr}, nullptr,
      [&] { return name ? name : nullptr; }, Str{name}, mode, Str{params});
}

int sample_close(const void *handle, const char *file_name) {
  return entry(
      {"v5_close", "%p \"%s\"", "%d", nullptr}, 0, [] { return 1; },
      TraceHandle{handle, file_name});
}

TEST(EntryPoints, TraceLinesHaveTheExactShape) {
  fs_settings().trace = kTraceEntryPoints;
  test::StderrCapture err;
  const char *r = sample_open("cust", 0, "0,0,0");
  sample_open(nullptr, 0x601, nullptr);
  int dummy;
  sample_close(&dummy, "cust");
  sample_close(&dummy, nullptr);
  v5_begin();
  v5_exit();
  std::string expect =
      "V: v5_open(\"cust\", 0x0, \"0,0,0\")\n"
      "V: v5_open() returning " +
      hex(r) +
      "\n"
      "V: v5_open(\"<NULL>\", 0x601, \"<NULL>\")\n"
      "V: v5_open() returning " +
      hex(nullptr) +
      "\n"
      "V: v5_close(" +
      hex(&dummy) +
      " \"cust\")\n"
      "V: v5_close() returning 1\n"
      "V: v5_close(" +
      hex(&dummy) +
      " \"<NULL>\")\n"
      "V: v5_close() returning 1\n"
      "V: v5_begin()\n"
      "V: v5_begin() returning 1\n"
      "V: v5_exit()\n"
      "V: v5_exit() returning\n";
  EXPECT_EQ(expect, err.text());

  fs_settings().trace = kTraceLocks | kTraceTree;  // other bits: no entry lines
  test::StderrCapture quiet;
  sample_open("cust", 0, "0,0,0");
  EXPECT_EQ("", quiet.text());
}

TEST(EntryPoints, VersionAndAbilities) {
  char name[7], version[2], build[30];
  memset(name, 'x', sizeof name);
  int32_t m = 0;
  EXPECT_EQ(1, v5_version(name, version, build, 0, &m));
  EXPECT_STREQ("Dorvex", name);
  EXPECT_STREQ("5", version);
  EXPECT_STREQ(KEL_VERSION_STRING, build);
  uint8_t flags = 0x80;
  v5_abilities(&flags);
  EXPECT_EQ(0x83, flags);
}

struct FakeLog {
  static inline int begins, commits, end_commits;
  static inline bool commit_ok = true;
  static int begin(int32_t) { return ++begins, 1; }
  static int commit() { return ++commits, commit_ok ? 1 : 0; }
  static int end_commit() { return ++end_commits, 7; }
};

TEST(EntryPoints, TransactionDepthCallsTheLogOnlyAtTheOutermostLevel) {
  TransactionLog log{FakeLog::begin, FakeLog::commit, FakeLog::end_commit};
  set_transaction_log(&log);
  // A commit without a begin succeeds and leaves the depth at 0.
  EXPECT_EQ(1, v5_commit(0));
  EXPECT_EQ(0, thread_data()->transaction_depth);
  EXPECT_EQ(0, FakeLog::commits);

  EXPECT_EQ(1, v5_begin());
  EXPECT_EQ(1, v5_begin());
  EXPECT_EQ(1, FakeLog::begins) << "only the outermost begin reaches the log";
  EXPECT_EQ(1, v5_commit(0));
  EXPECT_EQ(1, thread_data()->transaction_depth) << "still open";
  EXPECT_EQ(0, FakeLog::commits);
  EXPECT_EQ(7, v5_commit(0)) << "the end-commit result is the result";
  EXPECT_EQ(1, FakeLog::commits);
  EXPECT_EQ(1, FakeLog::end_commits);

  FakeLog::commit_ok = false;
  v5_begin();
  EXPECT_EQ(0, v5_commit(0));
  EXPECT_EQ(1, FakeLog::end_commits) << "no end-commit after a failed commit";
  set_transaction_log(nullptr);
}

TEST(EntryPoints, InitAndExitAreReferenceCounted) {
  int64_t before = alloc_live_blocks();
  int32_t out = 0;
  EXPECT_EQ(1, v5_init_vers(2, &out));
  EXPECT_EQ(3, out);
  EXPECT_EQ(2, indexed::interface_level());
  EXPECT_EQ(1, v5_init());
  EXPECT_EQ(1, v5_init_vers(1, &out));  // already initialised: level kept
  EXPECT_EQ(2, indexed::interface_level());
  EXPECT_EQ(3, indexed_init_count());
  v5_begin();  // creates the thread data
  v5_exit();
  v5_exit();
  EXPECT_EQ(1, indexed_init_count());
  EXPECT_NE(nullptr, thread_data());
  v5_exit();
  EXPECT_EQ(0, indexed_init_count());
  v5_exit();  // below zero stays zero
  EXPECT_EQ(0, indexed_init_count());
  EXPECT_EQ(before, alloc_live_blocks()) << "thread data and key released at the last exit";
}

TEST(EntryPoints, KeyCreationFailureFailsTheCallWithoutRunningIt) {
  bool ran = false;
  alloc_fail_nth(1);
  int r = entry({"probe", "", "%d", nullptr}, -1, [&] { return ran = true, 1; });
  EXPECT_EQ(-1, r);
  EXPECT_FALSE(ran);
  EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
  r = entry({"probe", "", "%d", nullptr}, -1, [&] { return ran = true, 1; });
  EXPECT_EQ(1, r) << "the key is created on the next entry";
  EXPECT_TRUE(ran);
}

TEST(EntryPoints, HookRegistrationReturnsThePreviousHook) {
  auto hook_a = +[](void *) {};
  auto hook_b = +[](void *) {};
  EXPECT_EQ(nullptr, v5_register_progress(hook_a));
  EXPECT_EQ(hook_a, v5_register_progress(hook_b));
  EXPECT_EQ(hook_b, indexed::progress_hook());
  auto attrs = +[](const void *, const char *) {};
  v5_register_set_file_attrs(attrs);
  EXPECT_EQ(attrs, indexed::set_file_attrs_hook());
}

}  // namespace
}  // namespace kel::fsapi
