// The writer in-process: plain files that fail or shrink while they are
// copied, and indexed files through a stand-in engine that cannot be
// carried whole: layouts beyond the format, files that break while they
// are read, allocation failures. What a run writes for sound files is the
// end-to-end tests' part.
#include "archive/writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "archive/archive_model.h"
#include "archive/fake_engine.h"
#include "archive/run_state.h"
#include "common/test_util.h"
#include "support/alloc.h"

namespace kel::archive {
namespace {

class WriterTest : public testing::Test {
 protected:
  WriterTest() : dir_(true) {
    test::install_fake_engine();
    TransferState &t = run_.transfer;
    t.mode = kRunOutput;
    strcpy(t.archive_path, "arch");
    t.archive_fd = open("arch", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(Status::kOk, volume_begin(run_.volume));
    EXPECT_EQ(Status::kOk, write_volume_header(run_.volume));
  }

  // The file's result; the run must go on.
  int archive(const char *path) {
    int result = -1;
    EXPECT_EQ(Status::kOk, archive_file(run_.writer, path, &result)) << path;
    return result;
  }

  // Ends the archive; it must be the model's archive of `members`.
  void expect_archive(const std::string &members) {
    ASSERT_EQ(Status::kOk, write_trailer(run_.writer));
    ASSERT_EQ(Status::kOk, finish_archive_output(run_.volume));
    close(run_.transfer.archive_fd);
    EXPECT_EQ(test::masked(test::model_archive(members)), test::masked(test::read_file("arch")));
  }

  test::TempDir dir_;
  RunState run_;
};

// The member of a file of the working folder, with `data` behind its header.
std::string member_for(const char *path, const std::string &data, char type, long long size = -1) {
  return test::model_header_of(".", path, "",
                               size >= 0 ? size : static_cast<long long>(data.size()), type) +
         data;
}

// Plain files read through a function that fails or ends early.
int g_reads_before_trouble = 0;
bool g_fail_with_error = false;
long troubled_read(int fd, void *buffer, unsigned long count) {
  if (g_reads_before_trouble-- > 0) return ::read(fd, buffer, count < 1000 ? count : 1000);
  if (g_fail_with_error) {
    errno = EIO;
    return -1;
  }
  return 0;
}

TEST_F(WriterTest, ReadErrorsAndShrinkingFilesKeepTheStreamParseable) {
  std::string data(5000, 'd');
  test::write_file("f", data);
  test::write_file("g", "after");
  test::StderrCapture err;
  // A file that cannot be read at all is not archived and writes nothing.
  g_fail_with_error = true;
  const FileRead plain_read = run_.writer.file_read;
  run_.writer.file_read = troubled_read;
  EXPECT_EQ(1, archive("f"));
  // Otherwise the member keeps its announced size: the first block and
  // 1000 bytes as read, then zeros.
  std::string padded = data.substr(0, 1512) + std::string(5000 - 1512, '\0');
  for (bool error : {true, false}) {
    g_reads_before_trouble = 2;
    g_fail_with_error = error;
    EXPECT_EQ(1, archive("f"));
  }
  run_.writer.file_read = plain_read;
  EXPECT_EQ(0, archive("g"));
  expect_archive(member_for("f", padded, 'T') + member_for("f", padded, 'T') +
                 member_for("g", "after", 'T'));
  EXPECT_EQ(
      "f: Unknown error (Input/output error)\n"
      "f: Unknown error (Input/output error)\nf: not archived completely, member filled with "
      "zeros\n"
      "f: file changed size while being archived\n"
      "f: not archived completely, member filled with zeros\n",
      err.text());
}

TEST_F(WriterTest, IndexedFilesThatCannotBeCarried) {
  test::FakeIndexedFile huge{test::sample_indexed()}, broken{test::sample_indexed()},
      unreadable{test::sample_indexed()};
  huge.record_parameters = "0000040000,0000000008,002";
  broken.fail_after = 2;
  // A translation table that cannot be read is not the same as none.
  unreadable.broken_info = kInfoTranslationTable;
  for (const auto &[name, file] : {std::pair{"huge", huge}, std::pair{"broken", broken},
                                   std::pair{"unreadable", unreadable}}) {
    test::fake_engine().files[name] = file;
    test::write_file(name, "x");
  }
  test::StderrCapture err;
  EXPECT_EQ(1, archive("huge"));
  EXPECT_EQ(1, archive("unreadable"));
  // Reading stops after two records: reported, archived as far as it went.
  EXPECT_EQ(0, archive("broken"));
  test::ModelIndexed two = broken;
  two.records.resize(2);
  expect_archive(member_for("broken", test::model_v6_data(two), 'V', 36));
  EXPECT_EQ(
      "huge: record or key layout does not fit the archive format\n"
      "unreadable: File broken (code 4)\n"
      "broken: File broken (code 9)\n",
      err.text());
}

TEST_F(WriterTest, AllocationFailuresLeaveNoMemberAndNoLeak) {
  test::fake_engine().files["cust"] = {test::sample_indexed()};
  test::write_file("cust", "x");
  *fs_error_code() = 0;  // the error block lives on once it is made
  int64_t live = alloc_live_blocks();
  test::StderrCapture err;
  int result = 0;
  int failures = test::fail_each_allocation([&] { result = archive("cust"); },
                                            [&](int n) {
                                              EXPECT_EQ(1, result) << n;
                                              EXPECT_EQ(live, alloc_live_blocks()) << n;
                                            });
  EXPECT_EQ(0, result);
  EXPECT_GE(failures, 2);  // the key texts and the record buffer
  std::string report;
  for (int i = 0; i < failures; ++i) report += "cust: Out of memory\n";
  EXPECT_EQ(report, err.text());
  // Only the attempt that succeeded wrote a member.
  expect_archive(member_for("cust", test::model_v6_data(test::sample_indexed()), 'V', 36));
}

}  // namespace
}  // namespace kel::archive
