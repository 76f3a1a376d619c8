// The reader in-process with a stand-in engine: indexed members of the old
// formats restored through the make forms that the build's engine lacks,
// allocation failures (a fatal stop that removes the partly restored file)
// and makes that fail while an indexed member is restored, and the folders
// a restore may make. What a run does with real archives and the real
// engine is the end-to-end tests' part.
#include "archive/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/fake_engine.h"
#include "archive/run_state.h"
#include "common/test_util.h"
#include "support/alloc.h"

namespace kel::archive {
namespace {

class ReaderTest : public testing::Test {
 protected:
  ReaderTest() : dir_(true) {
    umask(0);
    test::install_fake_engine();
  }

  // Writes the archive, starts a run on it and reads its volume header.
  void open_archive(const std::string &members, int version = 6) {
    test::write_file("arch", test::model_archive(members, 512, 512, version));
    run_.emplace();
    TransferState &t = run_->transfer;
    t.mode = kRunInput;
    t.keep_owner_off = 1;
    strcpy(t.archive_path, "arch");
    t.archive_fd = open("arch", O_RDONLY);
    EXPECT_EQ(Status::kOk, volume_begin(run_->volume));
    EXPECT_EQ(Status::kOk, read_volume_header(run_->volume, false));
  }

  // Extracts every member up to the trailer or a fatal stop; `count` is
  // how many came before.
  Status extract_all(int *count) {
    *count = 0;
    for (bool trailer = false;; ++*count) {
      KEL_RETURN_IF_FATAL(extract_member(run_->reader, nullptr, 0, 0, &trailer));
      if (trailer) return Status::kOk;
    }
  }
  int extract_all() {
    int count;
    EXPECT_EQ(Status::kOk, extract_all(&count));
    return count;
  }

  test::TempDir dir_;
  std::optional<RunState> run_;
};

std::string plain(const std::string &name, const std::string &data) {
  return test::model_plain(0100644, 0, 0, 1000000000, name, data, 'T');
}

TEST_F(ReaderTest, OldStyleIndexedMembersAreMadeWithTheirOwnForms) {
  const std::string keys = "001,001,2,0006,02,004,0000,002,0004,Y,N,N,N";
  const std::vector<std::string> records = {"abcd12", "efgh34"};
  // Version 5: records behind a length, made with v2_make; version 4:
  // records of exactly the maximum length, made with v_make.
  struct Case {
    int version;
    std::string make;
  } cases[] = {{5, "v2_make(old|2,1|0006,02,004,0000,002,0004,Y,N,N,N,note)"},
               {4, "v_make(old|" + keys + "|note)"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.version);
    test::install_fake_engine();
    bool prefixed = c.version == 5;
    std::string after = "after" + std::to_string(c.version);
    open_archive(test::model_member(0100600, 0, 0, 1, "old", prefixed ? 16 : 12, 'V') +
                     test::model_old_data("note", keys, records, prefixed) + plain(after, "x"),
                 c.version);
    EXPECT_EQ(2, extract_all());
    EXPECT_EQ((std::vector<std::string>{"remove(old)", c.make, "open(old)", "close"}),
              test::fake_engine().calls);
    EXPECT_EQ(records, test::fake_engine().written);
    EXPECT_EQ("x", test::read_file(after));
  }
}

TEST_F(ReaderTest, AllocationFailuresStopTheRunAndRemoveThePartialFile) {
  // The key texts, then the record buffer once the file has been made:
  // that one is closed and removed on the way out.
  struct Case {
    std::string report;
    std::vector<std::string> calls;
  } cases[] = {{"cust: Out of memory\n", {}},
               {"cust: Out of memory\ncust: not restored completely, removed\n",
                {"remove(cust)", "make", "open(cust)", "close", "remove(cust)"}}};
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(++n);
    test::install_fake_engine();
    open_archive(test::model_v6_member("cust", test::sample_indexed()));
    *fs_error_code() = 0;  // the error block lives on once it is made
    const int64_t live = alloc_live_blocks();
    test::StderrCapture err;
    alloc_fail_nth(n);
    int count;
    EXPECT_EQ(Status::kFatal, extract_all(&count));
    EXPECT_EQ(c.report, err.text());
    EXPECT_EQ(live, alloc_live_blocks());
    std::vector<std::string> calls = test::fake_engine().calls;
    if (calls.size() > 1) calls[1] = calls[1].substr(0, 4);  // the make's texts do not matter
    EXPECT_EQ(c.calls, calls);
  }
}

TEST_F(ReaderTest, AFailedMakeMakesTheFoldersOnceThenGivesUp) {
  struct Case {
    int make_failures;
    std::string folder, message;
    size_t written;
  } cases[] = {{1, "dir1", "", 3}, {2, "dir2", "dir2/cust: No such file or directory\n", 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.folder);
    test::install_fake_engine();
    test::fake_engine().make_failures = c.make_failures;
    open_archive(test::model_v6_member(c.folder + "/cust", test::sample_indexed()) +
                 plain("after", "a"));
    run_->transfer.make_dirs = 1;
    test::StderrCapture err;
    EXPECT_EQ(2, extract_all());
    EXPECT_EQ(c.message, err.text());
    EXPECT_TRUE(test::file_exists(c.folder));
    EXPECT_EQ(c.written, test::fake_engine().written.size());
    EXPECT_EQ("a", test::read_file("after"));
  }
}

// Folders made with -d and refused without it: kel_input_test.
TEST(MakeParentDirs, BracketsEndFoldersAndFailuresAreReported) {
  test::TempDir dir(true);
  TransferState t;
  t.make_dirs = 1;
  EXPECT_EQ(0, make_parent_dirs(t, "/rooted"));
  EXPECT_EQ(1, make_parent_dirs(t, "p/q/r/file"));
  EXPECT_EQ(0, make_parent_dirs(t, "p/q/r/file"));  // nothing left to make
  // "]" ends a folder name as "/" does.
  EXPECT_EQ(1, make_parent_dirs(t, "s]t/u"));
  EXPECT_TRUE(test::file_exists("s"));
  EXPECT_TRUE(test::file_exists("s]t"));
  // A folder that cannot be made is reported.
  test::write_file("file", "");
  test::StderrCapture err;
  EXPECT_EQ(0, make_parent_dirs(t, "file/sub/name"));
  EXPECT_EQ("file/sub: Unknown error (Not a directory)\n", err.text());
}

}  // namespace
}  // namespace kel::archive
