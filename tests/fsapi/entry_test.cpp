#include "fsapi/entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "fsapi/families.h"
#include "indexed/engine.h"
#include "kelfs/kelfs.h"
#include "layer/layer.h"
#include "messages/diag.h"
#include "support/alloc.h"

namespace kel::fsapi {
namespace {

// The lines of the entry points with arguments and results are checked
// with them (v5_files_test, v5_records_test); here a call without
// arguments, one without a result, and trace bits that leave them out.
TEST(EntryPoints, TraceLinesWithoutArgumentsOrResult) {
  // A log that records nothing: the transaction left open here must not
  // reach the file system's own log.
  static const TransactionLog silent{[](int32_t) { return 1; }, [] { return 1; }, [] { return 1; },
                                     [] { return 1; }};
  set_transaction_log(&silent);
  set_trace_bits(kTraceEntryPoints);
  test::StderrCapture err;
  v5_begin();
  v5_exit();
  EXPECT_EQ("V: v5_begin()\nV: v5_begin() returning 1\nV: v5_exit()\nV: v5_exit() returning\n",
            err.text());
  set_trace_bits(kTraceLocks | kTraceTree);
  test::StderrCapture quiet;
  v5_begin();
  EXPECT_EQ("", quiet.text());
  set_trace_bits(0);
  release_thread_data();  // the open transaction goes with it
  set_transaction_log(nullptr);
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
  TransactionLog log{FakeLog::begin, FakeLog::commit, FakeLog::end_commit, nullptr};
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
  define_fs_table();  // the configuration's storage stays: the exits do not own it
  release_thread_data();
  *fs_error_code() = 0;  // the error block exists: the log's shutdown keeps the codes
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
  layer_files_release();  // the layer files' table, grown when the log made its TM file
  EXPECT_EQ(before, alloc_live_blocks()) << "thread data and key released at the last exit";
}

TEST(EntryPoints, KeyCreationFailureFailsTheCallWithoutRunningIt) {
  bool ran = false;
  define_fs_table();
  alloc_fail_nth(1);
  int r = entry({"probe", "", "%d", nullptr}, -1, [&] { return ran = true, 1; });
  EXPECT_EQ(-1, r);
  EXPECT_FALSE(ran);
  EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
  r = entry({"probe", "", "%d", nullptr}, -1, [&] { return ran = true, 1; });
  EXPECT_EQ(1, r) << "the key is created on the next entry";
  EXPECT_TRUE(ran);
}

// Whatever the caller did first, every entry point sees the defined
// table: COMPRESS_FACTOR has its default of 70, not 0.
TEST(EntryPoints, TheConfigurationIsDefinedOnFirstUse) {
  v5_deinit_cfg();
  ASSERT_EQ(0, cfg_get_type("COMPRESS_FACTOR", 0));
  uint8_t flags = 0;
  v5_abilities(&flags);
  EXPECT_EQ(70, cfg_get_tinyint("COMPRESS_FACTOR", 0));
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
