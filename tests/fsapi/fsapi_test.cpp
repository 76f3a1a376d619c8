// The entry points of the indexed family: version and abilities, the
// transaction depth and the trace lines of every shape of arguments and
// results (rows of a golden file), reference-counted start and exit with
// the engine's shutdown at the last exit, the configuration defined on
// first use, the file-attributes hook. (Allocations failing in make and
// open: the indexed file tests; in writes and deletes, and the bulk
// addition's hooks: the access model's random runs.) The error texts and
// reports of the file system.
#include "fsapi/entry.h"

#include "cache/cache.h"
#include "common/call_script.h"
#include "common/msg_file.h"
#include "fsapi/families.h"
#include "indexed/engine_fixture.h"
#include "indexed/storage/shared_buffers.h"
#include "messages/diag.h"
#include "messages/msg.h"

namespace kel::fsapi {
namespace {

// The engine tests' set-up; at the end the file system as a program
// leaves it: no thread data, no log, the engine shut down, the start-up
// count at 0.
class EntryTest : public test::EngineTest {
 protected:
  void TearDown() override {
    set_trace_bits(0);
    set_transaction_log(nullptr);
    while (indexed_init_count() > 0) v5_exit();
    release_thread_data();
    EngineTest::TearDown();
  }
};

TEST_F(EntryTest, VersionAbilitiesAndHooks) {
  char name[7], version[2], build[30];
  memset(name, 'x', sizeof name);
  int32_t m = 0;
  EXPECT_EQ(1, v5_version(name, version, build, 0, &m));
  EXPECT_EQ(std::tuple(std::string("Dorvex"), std::string("5"), std::string(KEL_VERSION_STRING)),
            std::tuple(std::string(name), std::string(version), std::string(build)));
  uint8_t flags = 0x80;
  v5_abilities(&flags);
  EXPECT_EQ(0x83, flags);
  auto attrs = +[](const void *, const char *) {};
  v5_register_set_file_attrs(attrs);
  EXPECT_EQ(attrs, indexed::set_file_attrs_hook());
  v5_register_set_file_attrs(nullptr);
  // Whatever the caller did first, every entry point sees the defined
  // table: COMPRESS_FACTOR has its default of 70, not 0.
  v5_deinit_cfg();
  ASSERT_EQ(0, cfg_get_type("COMPRESS_FACTOR", 0));
  v5_abilities(&flags);
  EXPECT_EQ(70, cfg_get_tinyint("COMPRESS_FACTOR", 0));
}

struct FakeLog {
  static inline int begins, commits, end_commits;
  static inline bool commit_ok = true;
  static int begin(int32_t) { return ++begins, 1; }
  static int commit() { return ++commits, commit_ok ? 1 : 0; }
  static int end_commit() { return ++end_commits, 7; }
};

// The log is called at the outermost begin and commit only, an end-commit
// only after a commit that succeeded; every entry point's trace: rows of
// fsapi/transaction_calls.txt with a log that counts its calls.
TEST_F(EntryTest, TransactionDepthAndTraceOfTheEntryPoints) {
  FakeLog::begins = FakeLog::commits = FakeLog::end_commits = 0, FakeLog::commit_ok = true;
  TransactionLog log{FakeLog::begin, FakeLog::commit, FakeLog::end_commit, nullptr};
  set_transaction_log(&log);
  test::CallScript script;
  script.add("depth",
             [](const test::Call &) { return std::to_string(thread_data()->transaction_depth); });
  script.add("log_calls", [](const test::Call &) {
    return std::to_string(FakeLog::begins) + " begins " + std::to_string(FakeLog::commits) +
           " commits " + std::to_string(FakeLog::end_commits) + " end-commits";
  });
  script.add("failing_commits", [](const test::Call &) {
    FakeLog::commit_ok = false;
    return std::string();
  });
  EXPECT_TRUE(script.run("fsapi/transaction_calls.txt"));
}

// Starts and exits are counted; the last exit releases the thread data
// and its key, the engine's buffers and the cache, which the next open
// takes again (V_BUFFERS -1: the built-in 64).
TEST_F(EntryTest, InitAndExitAreReferenceCounted) {
  // A first round creates what lives until the process ends (the file
  // table, the error block) and is no part of what an exit releases.
  ASSERT_EQ(1, v5_make("e.dat", nullptr, nullptr, "5000,0,1", "1,0,8,0", nullptr));
  v5_close(v5_open("e.dat", 2, ""));
  Alog_shutdown();  // the log's list of open files goes at the last exit too
  indexed::shutdown();
  release_thread_data();
  int64_t before = alloc_live_blocks();
  int32_t out = 0;
  EXPECT_EQ(1, v5_init_vers(2, &out));
  EXPECT_EQ(3, out);
  EXPECT_EQ(2, indexed::interface_level());
  EXPECT_EQ(1, v5_init());
  EXPECT_EQ(1, v5_init_vers(1, &out));  // already started: the level is kept
  EXPECT_EQ(2, indexed::interface_level());
  EXPECT_EQ(3, indexed_init_count());
  indexed::set_interface_level(3);
  DorvexFile *f = v5_open("e.dat", 2, "");
  ASSERT_NE(nullptr, f);
  ASSERT_EQ(1, v5_close(f));
  EXPECT_GE(indexed::record_buffer_size(), 5000u);
  EXPECT_GT(cache_buffer_count(), 0);
  v5_exit();
  v5_exit();
  EXPECT_EQ(1, indexed_init_count());
  EXPECT_NE(nullptr, thread_data());
  EXPECT_GE(indexed::record_buffer_size(), 5000u) << "one start is left";
  v5_exit();
  EXPECT_EQ(std::tuple(0, 0u, 0),
            std::tuple(indexed_init_count(), indexed::record_buffer_size(), cache_buffer_count()));
  v5_exit();  // below zero stays zero
  EXPECT_EQ(0, indexed_init_count());
  EXPECT_EQ(before, alloc_live_blocks()) << "thread data and key released at the last exit";
  f = v5_open("e.dat", 0, "");
  EXPECT_EQ(64, cache_buffer_count());
  v5_close(f);
}

// The error texts and reports: rows of fsapi/error_reports.txt.
// "report CODE SECONDARY ERRNO NAME" shows what report_fs_error wrote for
// the codes and errno left so, then what it returned; "message N TEXT"
// puts a text in the message file that "init" opens.
TEST(ErrorTexts, ReportsOfEveryKind) {
  test::TempDir dir(true);
  test::MsgFileBuilder texts;
  auto n = [](const test::Words &a, size_t i) { return static_cast<int>(test::number(a.at(i))); };
  const test::Verbs verbs = {
      {"report",
       [&](const test::Words &a) {
         *fs_error_code() = static_cast<int16_t>(n(a, 0));
         *fs_error_secondary() = n(a, 1);
         errno = n(a, 2);
         test::StderrCapture err;
         const char *r = report_fs_error(a.at(3).c_str());
         return test::as_word(err.text()) + " returns " + test::as_word(r);
       }},
      {"missing_name",
       [](const test::Words &a) {
         fs_set_missing_file_name(a.at(0).c_str());
         return test::as_record(fs_missing_file_name());
       }},
      {"sys_report",
       [&](const test::Words &a) {
         test::StderrCapture err;
         errno = n(a, 0);
         report_sys_error(a.at(1).c_str());
         return test::as_word(err.text());
       }},
      // E [ERRNO]: the text of E, of errno for -1.
      {"sys_text",
       [&](const test::Words &a) {
         errno = a.size() > 1 ? n(a, 1) : 0;
         return test::as_word(sys_error_text(n(a, 0)));
       }},
      {"message", test::act([&](const test::Words &a) { texts.add(n(a, 0), {a.at(1)}); })},
      {"init",
       [&](const test::Words &) {
         test::write_file("m.msg", std::exchange(texts, test::MsgFileBuilder()).bytes());
         setenv("A_MESSAGE", "m.msg", 1);
         char error[300];
         return std::to_string(Amsg_init(error));
       }},
      {"shutdown", test::act([] {
         Amsg_shutdown();
         unsetenv("A_MESSAGE");
       })},
  };
  EXPECT_TRUE(test::run_rows("fsapi/error_reports.txt", verbs));
}

}  // namespace
}  // namespace kel::fsapi
