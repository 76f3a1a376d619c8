// The reader in-process: archives built by hand from the format, indexed
// members of format versions 4, 5 and 6 consumed exactly whether they are
// restored, listed or passed over, and every corrupt field that must stop
// the run before it can overflow a buffer.
#include "archive/reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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

class ReaderTest : public testing::Test {
 protected:
  ReaderTest() : dir_(true) {
    umask(0);
    volume_set_media_hooks(nullptr);
    indexed_set_ops(nullptr);
  }

  // Writes the archive and reads its volume header; options may follow.
  void open_archive(const std::string &members, int version = 6) {
    test::write_file("arch", test::model_archive(members, 512, 512, version));
    reset_transfer();
    volume_release();
    TransferState &t = transfer();
    t.mode = kRunInput;
    t.keep_owner_off = 1;
    strcpy(t.archive_path, "arch");
    t.archive_fd = open("arch", O_RDONLY);
    volume_begin();
    read_volume_header(false);
  }

  // Extracts every member; returns how many came before the trailer.
  int extract_all(std::vector<std::string> names = {}) {
    std::vector<char *> argv;
    for (auto &n : names) argv.push_back(n.data());
    int n = 0;
    while (extract_member(argv.data(), 0, static_cast<int>(argv.size()))) ++n;
    return n;
  }

  test::TempDir dir_;
};

std::string plain(const std::string &name, const std::string &data, unsigned mode = 0100644) {
  return test::model_plain(mode, 0, 0, 1000000000, name, data, 'T');
}

test::ModelIndexed sample_indexed() {
  test::ModelIndexed x;
  x.record_parameters = "0000000010,0000000004,002";
  x.physical_parameters = "02,0000000,0000001,070,0";
  x.comment = "cust";
  x.keys = {"01,0,004,0000000000", "01,1,003,0000000004"};
  x.records = {"aaaa", "bbbb12", "cccc123456"};
  x.max_length = 10;
  return x;
}

std::string indexed(const std::string &name, const test::ModelIndexed &x) {
  long long size = (x.max_length + 2) * static_cast<long long>(x.records.size());
  return test::model_member(0100640, 0, 0, 1000000000, name, size, 'V') + test::model_v6_data(x);
}

TEST_F(ReaderTest, RestoresVersion6IndexedMembersThroughTheEngine) {
  test::install_fake_engine();
  test::ModelIndexed x = sample_indexed();
  for (int i = 0; i < 256; ++i) x.table += static_cast<char>(255 - i);
  open_archive(indexed("cust", x) + plain("after", "still in step"));
  test::write_file("cust", "old");  // an old plain file of that name goes
  EXPECT_EQ(2, extract_all());
  std::vector<std::string> want = {
      "remove(cust)",
      "make(cust|cust|02,0000000,0000001,070,0|0000000010,0000000004,002|"
      "01,0,004,0000000000,01,1,003,0000000004|" +
          x.table + ")",
      "open(cust)", "close"};
  EXPECT_EQ(want, test::fake_engine().calls);
  EXPECT_EQ(x.records, test::fake_engine().written);
  EXPECT_FALSE(test::file_exists("cust"));
  EXPECT_EQ("still in step", test::read_file("after"));
}

TEST_F(ReaderTest, RestoresOldStyleIndexedMembers) {
  test::install_fake_engine();
  const std::string keys = "001,001,2,0006,02,004,0000,002,0004,Y,N,N,N";
  std::vector<std::string> records = {"abcd12", "efgh34"};
  // Version 5: records with a length, made with v2_make.
  std::string v5 = test::model_member(0100600, 0, 0, 1, "old5", 16, 'V') +
                   test::model_old_data("note", keys, records, true);
  open_archive(v5 + plain("after5", "x"), 5);
  EXPECT_EQ(2, extract_all());
  std::vector<std::string> want = {"remove(old5)",
                                   "v2_make(old5|2,1|0006,02,004,0000,002,0004,Y,N,N,N,note)",
                                   "open(old5)", "close"};
  EXPECT_EQ(want, test::fake_engine().calls);
  EXPECT_EQ(records, test::fake_engine().written);
  EXPECT_EQ("x", test::read_file("after5"));

  // Version 4: records of exactly the maximum length, made with v_make.
  test::install_fake_engine();
  std::string v4 = test::model_member(0100600, 0, 0, 1, "old4", 12, 'V') +
                   test::model_old_data("note", keys, records, false);
  open_archive(v4 + plain("after4", "y"), 4);
  EXPECT_EQ(2, extract_all());
  want = {"remove(old4)", "v_make(old4|" + keys + "|note)", "open(old4)", "close"};
  EXPECT_EQ(want, test::fake_engine().calls);
  EXPECT_EQ(records, test::fake_engine().written);
  EXPECT_EQ("y", test::read_file("after4"));
}

TEST_F(ReaderTest, UnselectedIndexedMembersAreConsumedExactly) {
  // Records of length 0 and of the maximum length among them.
  test::ModelIndexed x = sample_indexed();
  x.records.push_back(std::string(10, '\0'));
  x.records.push_back("");
  test::install_fake_engine();
  open_archive(indexed("cust", x) + plain("after", "one") + indexed("cust2", x) +
               plain("last", "two"));
  EXPECT_EQ(4, extract_all({"last"}));
  EXPECT_TRUE(test::fake_engine().calls.empty());
  EXPECT_FALSE(test::file_exists("after"));
  EXPECT_EQ("two", test::read_file("last"));
}

TEST_F(ReaderTest, DuplicateRecordsAreSkippedOtherWriteFailuresStop) {
  test::install_fake_engine();
  test::fake_engine().fail_write_at = 1;
  test::fake_engine().fail_code = E_DUPLICATE;
  open_archive(indexed("cust", sample_indexed()) + plain("after", "z"));
  test::StderrCapture err;
  EXPECT_EQ(2, extract_all());
  EXPECT_EQ("cust: Duplicate key\n", err.text());
  EXPECT_EQ(3u, test::fake_engine().written.size());
  EXPECT_EQ("z", test::read_file("after"));

  EXPECT_EXIT(
      {
        test::install_fake_engine();
        test::fake_engine().fail_write_at = 1;
        test::fake_engine().fail_code = E_BROKEN;
        open_archive(indexed("cust", sample_indexed()));
        extract_all();
      },
      testing::ExitedWithCode(1),
      "^cust: File broken \\(code 0\\)\ncust: not restored completely, removed\n$");
}

TEST_F(ReaderTest, AllocationFailuresStopTheRunAndRemoveThePartialFile) {
  // The key texts, then the record buffer once the file has been made.
  const char *reports[] = {"^cust: Out of memory\n$",
                           "^cust: Out of memory\ncust: not restored completely, removed\n$"};
  for (int n = 1; n <= 2; ++n) {
    EXPECT_EXIT(
        {
          test::install_fake_engine();
          open_archive(indexed("cust", sample_indexed()));
          alloc_fail_nth(n);
          extract_all();
        },
        testing::ExitedWithCode(1), reports[n - 1]);
  }
}

TEST_F(ReaderTest, MakeFailureCreatesFoldersOnceThenGivesUp) {
  test::install_fake_engine();
  test::fake_engine().make_failures = 1;
  open_archive(indexed("dir/cust", sample_indexed()));
  transfer().make_dirs = 1;
  EXPECT_EQ(1, extract_all());
  struct stat st;
  EXPECT_EQ(0, stat("dir", &st));
  EXPECT_EQ(3u, test::fake_engine().written.size());

  test::install_fake_engine();
  test::fake_engine().make_failures = 2;
  open_archive(indexed("dir2/cust", sample_indexed()) + plain("after", "a"));
  transfer().make_dirs = 1;
  test::StderrCapture err;
  EXPECT_EQ(2, extract_all());
  EXPECT_EQ("dir2/cust: No such file or directory\n", err.text());
  EXPECT_TRUE(test::fake_engine().written.empty());
  EXPECT_EQ("a", test::read_file("after"));
}

// Corrupt fields, each replacing bytes of a valid indexed member.
TEST_F(ReaderTest, CorruptIndexedMembersStopBeforeAnyOverflow) {
  const std::string good = indexed("cust", sample_indexed());
  const size_t data = 48 + 4;  // where the member's data begins
  struct Case {
    const char *what;
    std::string member;
  } cases[] = {
      {"record longer than the maximum",
       [&] {
         std::string m = good;
         size_t first = m.size() - (2 + 4) - (2 + 6) - (2 + 10);
         m[first] = 0;
         m[first + 1] = 11;
         return m;
       }()},
      {"maximum beyond the record buffer",
       [&] {
         std::string m = good;
         m.replace(data + 2, 10, "0000032767");
         return m;
       }()},
      {"parameter length not a number",
       [&] {
         std::string m = good;
         m.replace(data, 2, "x5");
         return m;
       }()},
      {"translation table of another size",
       [&] {
         std::string m = good;
         size_t table = data + 2 + 25 + 2 + 24 + 2 + 4;
         m.replace(table, 3, "100");
         return m;
       }()},
      {"key text beyond its slot",
       [&] {
         std::string m = good;
         size_t key = data + 2 + 25 + 2 + 24 + 2 + 4 + 3 + 3;
         m.replace(key, 3, "245");
         return m;
       }()},
      {"record parameters without a number",
       [&] {
         std::string m = good;
         m.replace(data + 2, 10, "abcdefghij");
         return m;
       }()},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          test::install_fake_engine();
          open_archive(c.member + std::string(20000, 'p'));
          extract_all();
        },
        testing::ExitedWithCode(1), "Corrupt archive!\nTransfer aborted\n");
  }
  // Version 4 records of length 0 would never end.
  std::string zero = test::model_member(0100600, 0, 0, 1, "z", 5, 'V') +
                     test::model_old_data("", "001,001,1,0000,01,004,0000,N,N,N", {}, false);
  EXPECT_EXIT(
      {
        open_archive(zero, 4);
        extract_all();
      },
      testing::ExitedWithCode(1), "Corrupt archive!\nTransfer aborted\n");
}

TEST_F(ReaderTest, CorruptMemberHeaders) {
  struct Case {
    const char *what;
    std::string member;
  } cases[] = {
      {"bad magic", "10121418" + plain("a", "b").substr(8)},
      {"bad name length", plain("a", "b").replace(34, 3, "-01")},
      {"bad field behind a good name", plain("a", "b").replace(37, 10, "-000000001")},
      {"name with a zero byte", plain(std::string("a\0b", 3), "b")},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EXIT(
        {
          open_archive(c.member);
          extract_all();
        },
        testing::ExitedWithCode(1), "^Corrupt archive!\nTransfer aborted\n$");
  }
  // The trailer is recognised by its name whatever its other fields hold:
  // the run would stop as corrupt otherwise.
  std::string odd_trailer = test::model_trailer();
  odd_trailer.replace(8, 6, "zzzzzz");
  open_archive(plain("a", "b") + odd_trailer);
  EXPECT_EQ(1, extract_all());
}

TEST(MakeParentDirs, FoldersAreMadeOnlyWhenAsked) {
  test::TempDir dir(true);
  reset_transfer();
  {
    test::StderrCapture err;
    EXPECT_EQ(0, make_parent_dirs("x/y/z"));
    EXPECT_EQ("use '-d' to create directories\n", err.text());
  }
  EXPECT_FALSE(test::file_exists("x"));
  EXPECT_EQ(0, make_parent_dirs("plain"));
  EXPECT_EQ(0, make_parent_dirs("/rooted"));
  transfer().make_dirs = 1;
  EXPECT_EQ(1, make_parent_dirs("p/q/r/file"));
  EXPECT_TRUE(test::file_exists("p/q/r"));
  EXPECT_EQ(0, make_parent_dirs("p/q/r/file"));  // nothing left to make
  // "]" ends a folder name as "/" does.
  EXPECT_EQ(1, make_parent_dirs("s]t/u"));
  EXPECT_TRUE(test::file_exists("s"));
  EXPECT_TRUE(test::file_exists("s]t"));
  // A folder that cannot be made is reported.
  test::write_file("file", "");
  test::StderrCapture err;
  EXPECT_EQ(0, make_parent_dirs("file/sub/name"));
  EXPECT_EQ("file/sub: Unknown error\n", err.text());
}

}  // namespace
}  // namespace kel::archive
