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
#include "common/msg_file.h"
#include "fsapi/families.h"
#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"
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
// fsapi/transaction_calls.txt with a log that counts its calls. Starts
// and exits, counted, the last exit releasing the thread data and its
// key, the engine's buffers and the cache: rows of fsapi/start_calls.txt.
TEST_F(EntryTest, TransactionDepthTraceStartsAndExits) {
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
  set_transaction_log(nullptr);
  test::add_engine_verbs(script);
  // init [LEVEL]: v5_init, or v5_init_vers and the level it gave back.
  script.add("init", [](const test::Call &c) {
    int32_t level = 0;
    int32_t r = c.args.empty() ? v5_init() : v5_init_vers(static_cast<int32_t>(c.num(0)), &level);
    return test::CallScript::result(r) + (c.args.empty() ? "" : ", level " + std::to_string(level));
  });
  // forget: what lives until the process ends (the file table, the error
  // block) was made; the log's list of open files, the engine and the
  // thread data go as at a last exit, and the blocks are counted from
  // here on.
  int64_t before = 0;
  script.add("forget", [&before](const test::Call &) {
    Alog_shutdown();
    indexed::shutdown();
    release_thread_data();
    before = alloc_live_blocks();
    return std::string();
  });
  // started: the count, the level, whether the record buffer holds the
  // file's 5000 bytes, the cache, and whether blocks are held since
  // "forget".
  script.add("started", [&before](const test::Call &) {
    uint32_t record = indexed::record_buffer_size();
    return std::to_string(indexed_init_count()) + " starts, level " +
           std::to_string(indexed::interface_level()) +
           (record == 0     ? ", no record buffer, "
            : record < 5000 ? ", too small a record buffer, "
                            : ", a record buffer, ") +
           std::to_string(cache_buffer_count()) + " cache buffers, " +
           (alloc_live_blocks() == before ? "nothing held" : "blocks held");
  });
  EXPECT_TRUE(script.run("fsapi/start_calls.txt"));
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
