// The writer in-process: members written into a real archive file and
// compared with the model, indexed files through a stand-in engine, and
// plain files that fail or shrink while they are copied.
#include "archive/writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/fake_engine.h"
#include "archive/indexed_io.h"
#include "archive/transfer.h"
#include "archive/volume.h"
#include "common/spawn.h"
#include "common/test_util.h"
#include "support/alloc.h"

namespace kel::archive {
namespace {

class WriterTest : public testing::Test {
 protected:
  WriterTest() : dir_(true) {
    volume_set_media_hooks(nullptr);
    indexed_set_ops(nullptr);
    writer_set_file_read(nullptr);
  }

  void begin(int format_version = 6) {
    reset_transfer();
    volume_release();
    TransferState &t = transfer();
    t.mode = kRunOutput;
    t.format_version = format_version;
    strcpy(t.archive_path, "arch");
    t.archive_fd = open("arch", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    volume_begin();
    write_volume_header();
  }

  // Ends the archive and returns it with the creation time masked.
  std::string end() {
    write_trailer();
    finish_archive_output();
    close(transfer().archive_fd);
    std::string a = test::read_file("arch");
    test::mask_volume_time(a, 0);
    return a;
  }

  std::string expect(const std::string &members, int version = 6) {
    std::string a = test::model_archive(members, 512, 512, version);
    test::mask_volume_time(a, 0);
    return a;
  }

  test::TempDir dir_;
};

// The member of a file of the working folder, with `data` behind its header.
std::string member_for(const char *path, const std::string &data, char type,
                       const char *name = nullptr, long long size = -1) {
  return test::model_header_of(".", path, name ? name : "",
                               size >= 0 ? size : static_cast<long long>(data.size()), type) +
         data;
}

TEST_F(WriterTest, PlainFilesAndTheirTypeLetters) {
  test::write_file("text.dat", "hello\n");
  test::write_file("magic20", std::string("\x10\x12\x14\x20rest", 8));
  test::write_file("magic21", std::string("\x10\x12\x14\x21", 4));
  test::write_file("three", std::string("\x10\x12\x14", 3));
  test::write_file("empty", "");
  mkdir("folder", 0755);
  symlink("text.dat", "link");
  begin();
  EXPECT_EQ(0, archive_file("text.dat"));
  EXPECT_EQ(0, archive_file("magic20"));
  EXPECT_EQ(0, archive_file("magic21"));
  EXPECT_EQ(0, archive_file("three"));
  EXPECT_EQ(0, archive_file("empty"));
  EXPECT_EQ(1, archive_file("folder"));  // skipped silently
  EXPECT_EQ(1, archive_file("missing"));
  EXPECT_EQ(0, archive_file("link"));  // a link to a regular file counts as one
  transfer().text_default = 0;
  EXPECT_EQ(0, archive_file("text.dat"));
  std::string want = member_for("text.dat", "hello\n", 'T') +
                     member_for("magic20", std::string("\x10\x12\x14\x20rest", 8), 'B') +
                     member_for("magic21", std::string("\x10\x12\x14\x21", 4), 'B') +
                     member_for("three", std::string("\x10\x12\x14", 3), 'T') +
                     member_for("empty", "", 'T') + member_for("link", "hello\n", 'T') +
                     member_for("text.dat", "hello\n", 'B');
  EXPECT_EQ(expect(want), end());
}

TEST_F(WriterTest, NamesAreConvertedUnlessAskedNotTo) {
  test::write_file("a:b", "x");
  test::write_file("c\\d", "y");
  test::write_file("TRAILER!!!", "z");
  begin();
  EXPECT_EQ(0, archive_file("a:b"));
  EXPECT_EQ(0, archive_file("c\\d"));
  transfer().convert_names = 0;
  EXPECT_EQ(0, archive_file("a:b"));
  // A member of the trailer's name would end the archive there.
  test::StderrCapture err;
  EXPECT_EQ(1, archive_file("TRAILER!!!"));
  EXPECT_EQ("TRAILER!!!: the name that ends an archive, not archived\n", err.text());
  EXPECT_EQ(expect(member_for("a:b", "x", 'T', "a/b") + member_for("c\\d", "y", 'T', "c/d") +
                   member_for("a:b", "x", 'T', "a:b")),
            end());
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
  for (bool error : {true, false}) {
    begin();
    g_reads_before_trouble = 2;  // the first block, then 1000 bytes
    g_fail_with_error = error;
    writer_set_file_read(troubled_read);
    test::StderrCapture err;
    EXPECT_EQ(1, archive_file("f"));
    writer_set_file_read(nullptr);
    EXPECT_EQ(0, archive_file("g"));
    // The member keeps its announced size: what was read, then zeros.
    std::string padded = data.substr(0, 1512) + std::string(5000 - 1512, '\0');
    EXPECT_EQ(expect(member_for("f", padded, 'T') + member_for("g", "after", 'T')), end());
    if (error) {
      EXPECT_EQ("f: Unknown error\nf: not archived completely, member filled with zeros\n",
                err.text());
    } else {
      EXPECT_EQ(
          "f: file changed size while being archived\n"
          "f: not archived completely, member filled with zeros\n",
          err.text());
    }
  }
  // A file that cannot be read at all is not archived and writes nothing.
  begin();
  g_reads_before_trouble = 0;
  g_fail_with_error = true;
  writer_set_file_read(troubled_read);
  EXPECT_EQ(1, archive_file("f"));
  writer_set_file_read(nullptr);
  EXPECT_EQ(expect(""), end());
}

test::FakeIndexedFile customer_file() {
  test::FakeIndexedFile f;
  f.record_parameters = "0000000010,0000000004,002";
  f.physical_parameters = "01,0000000,0000001,000,0";
  f.comment = "customers";
  for (int i = 0; i < 256; ++i) f.table += static_cast<char>(i >= 'a' && i <= 'z' ? i - 32 : i);
  f.keys = {"01,0,004,0000000000", "01,1,003,0000000004"};
  f.records = {"aaaa", "bbbb12", "cccc123456", std::string("dd\0d\n", 5)};
  return f;
}

test::ModelIndexed model_of(const test::FakeIndexedFile &f) {
  test::ModelIndexed m;
  m.record_parameters = f.record_parameters;
  m.physical_parameters = f.physical_parameters;
  m.comment = f.comment;
  m.table = f.table;
  m.keys = f.keys;
  m.records = f.records;
  return m;
}

TEST_F(WriterTest, IndexedFilesTravelAsTextsAndRecords) {
  test::install_fake_engine();
  test::write_file("cust", "on-disk bytes of an indexed file");
  test::write_file("empty", "on-disk bytes of an empty one");
  test::FakeIndexedFile cust = customer_file();
  test::FakeIndexedFile empty = cust;
  empty.records.clear();
  empty.table.clear();
  test::fake_engine().files["cust"] = cust;
  test::fake_engine().files["empty"] = empty;
  begin();
  test::StderrCapture err;
  EXPECT_EQ(0, archive_file("cust"));
  EXPECT_EQ(0, archive_file("empty"));
  transfer().raw_indexed = 1;
  EXPECT_EQ(0, archive_file("cust"));
  // Data size: (maximum length + 2) x records.
  std::string want = member_for("cust", test::model_v6_data(model_of(cust)), 'V', nullptr, 48) +
                     member_for("empty", test::model_v6_data(model_of(empty)), 'V', nullptr, 0) +
                     member_for("cust", "on-disk bytes of an indexed file", 'B');
  EXPECT_EQ(expect(want), end());
  EXPECT_EQ("", err.text());  // an empty file ends with "not found", no report
  EXPECT_EQ(3, test::fake_engine().closes);
}

TEST_F(WriterTest, OldStyleIndexedMembers) {
  test::install_fake_engine();
  test::write_file("cust", "x");
  test::FakeIndexedFile cust = customer_file();
  test::fake_engine().files["cust"] = cust;
  begin(5);
  EXPECT_EQ(0, archive_file("cust"));
  std::string data = test::model_old_data(
      "customers", "001,001,1,0010,02,004,0000,003,0004,Y,Y,N,N", cust.records, true);
  EXPECT_EQ(expect(member_for("cust", data, 'V', nullptr, 48), 5), end());

  // A key of two segments cannot be described in the old style.
  cust.keys[1] = "02,1,002,0000000004,001,0000000008";
  test::fake_engine().files["cust"] = cust;
  EXPECT_EXIT(
      {
        begin(5);
        archive_file("cust");
      },
      testing::ExitedWithCode(1), "^Cannot create old-style archive with split keys\n$");
}

TEST_F(WriterTest, IndexedFilesThatCannotBeCarried) {
  test::install_fake_engine();
  test::write_file("huge", "x");
  test::write_file("broken", "x");
  test::FakeIndexedFile huge = customer_file();
  huge.record_parameters = "0000040000,0000000004,002";
  test::FakeIndexedFile broken = customer_file();
  broken.fail_after = 2;
  // A translation table that cannot be read is not the same as none.
  test::FakeIndexedFile unreadable = customer_file();
  unreadable.broken_info = kInfoTranslationTable;
  test::fake_engine().files["huge"] = huge;
  test::fake_engine().files["broken"] = broken;
  test::fake_engine().files["unreadable"] = unreadable;
  test::write_file("unreadable", "x");
  begin();
  test::StderrCapture err;
  EXPECT_EQ(1, archive_file("huge"));
  EXPECT_EQ(1, archive_file("unreadable"));
  // Reading stops after two records: reported, archived as far as it went.
  EXPECT_EQ(0, archive_file("broken"));
  test::FakeIndexedFile two = broken;
  two.records.resize(2);
  EXPECT_EQ(expect(member_for("broken", test::model_v6_data(model_of(two)), 'V', nullptr, 48)),
            end());
  EXPECT_EQ(
      "huge: record or key layout does not fit the archive format\n"
      "unreadable: File broken (code 4)\n"
      "broken: File broken (code 9)\n",
      err.text());
}

TEST_F(WriterTest, AllocationFailuresLeaveNoMemberAndNoLeak) {
  test::install_fake_engine();
  test::write_file("cust", "x");
  test::FakeIndexedFile cust = customer_file();
  test::fake_engine().files["cust"] = cust;
  begin();
  *fs_error_code() = 0;  // the error block lives on once it is made
  int64_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE(n);
    int64_t live = alloc_live_blocks();
    test::StderrCapture err;
    alloc_fail_nth(n);
    int result = archive_file("cust");
    bool failed = alloc_failure_triggered();
    alloc_fail_nth(0);
    EXPECT_EQ(live, alloc_live_blocks());
    if (!failed) {
      EXPECT_EQ(0, result);
      break;
    }
    EXPECT_EQ(1, result);
    EXPECT_EQ("cust: Out of memory\n", err.text());
  }
  EXPECT_GE(n, 3);  // the key texts and the record buffer
  // Only the attempt that succeeded wrote a member.
  EXPECT_EQ(expect(member_for("cust", test::model_v6_data(model_of(cust)), 'V', nullptr, 48)),
            end());
}

}  // namespace
}  // namespace kel::archive
