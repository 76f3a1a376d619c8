// Sequential files against a list model: every record format written,
// extended, rewritten in place and read back with every kind of buffer,
// the file's bytes checked against an independently built image; print
// advancing, the read filter and damaged input; pipes to and from shell
// commands, with no descriptor or child left behind.
#include <dirent.h>
#include <sys/wait.h>

#include <vector>

#include "relseq/pipes.h"
#include "relseq/relseq_fixture.h"

namespace kel::test {
namespace {

struct Format {
  int32_t type;
  uint32_t size;
  int records;
};

class SequentialTest : public RelSeqTest {
 protected:
  std::string random_record(const Format &f) {
    uint32_t top = f.type == AS_FIXED ? f.size : f.size + (f.type <= AS_LINE ? 10 : 0);
    uint32_t n =
        f.type == AS_FIXED ? f.size : std::uniform_int_distribution<uint32_t>(0, top)(rng_);
    std::string r(n, '\0');
    for (char &c : r) c = f.type <= AS_LINE ? char('a' + rng_() % 26) : char(rng_());
    return r;
  }
  // The bytes a record is written as, and what reading gives back.
  static std::string encoded(const Format &f, const std::string &r) {
    if (f.type == AS_FIXED) return r;
    if (f.type == AS_VARIABLE) {
      std::string prefix;
      for (int i = f.size > 65535 ? 3 : 1; i >= 0; --i) prefix += char(r.size() >> (8 * i));
      return prefix + r;
    }
    // An empty print line is only its advancing.
    return r + (f.type == AS_PRINT && !r.empty() ? "\r\n" : "\n");
  }
  static std::string read_as(const Format &f, const std::string &r) { return r.substr(0, f.size); }

  SequentialFile *open(int mode, const Format &f, uint32_t block, int flags = 0) {
    return As_open("seq", mode, f.size, f.type, block, -1, nullptr, flags);
  }
  std::vector<char> buffer_ = std::vector<char>(70100);

  void run(const Format &f, uint32_t block) {
    SCOPED_TRACE("type " + std::to_string(f.type) + " size " + std::to_string(f.size) + " block " +
                 std::to_string(block));
    ASSERT_EQ(Ar_make("seq", "", 0), 1);
    std::vector<std::string> model;
    std::string image;
    for (int mode : {KEL_OPEN_OUTPUT, KEL_OPEN_EXTEND}) {
      SequentialFile *s = open(mode, f, block, pick(2) ? AS_FLUSH_BY_RECORDS : 0);
      ASSERT_NE(s, nullptr);
      for (int i = 0; i < f.records / 2; ++i) {
        model.push_back(random_record(f));
        ASSERT_EQ(As_write(s, model.back().data(), uint32_t(model.back().size()), 1), 1);
        image += encoded(f, model.back());
      }
      ASSERT_EQ(As_close(s, 0), 1);
    }
    ASSERT_EQ(read_file("seq"), image);
    // Input-output: one record rewritten in place with another of its size.
    SequentialFile *s = open(KEL_OPEN_IO, f, block);
    ASSERT_NE(s, nullptr);
    size_t k = size_t(pick(int(model.size())));
    for (size_t i = 0; i <= k; ++i) ASSERT_GT(As_read(s, buffer_.data()), 0);
    std::string again = model[k];
    for (char &c : again) c = c == 'z' ? 'a' : char(c + 1);
    // An empty print line was written as its advancing alone: a rewrite,
    // which always ends in CR LF, cannot have its length.
    bool same_length = f.type == AS_FIXED ||
                       (model[k].size() <= f.size && (f.type != AS_PRINT || !model[k].empty()));
    if (same_length) {
      ASSERT_EQ(As_rewrite(s, again.data(), uint32_t(again.size())), 1);
      size_t at = 0;
      for (size_t i = 0; i < k; ++i) at += encoded(f, model[i]).size();
      image.replace(at, encoded(f, again).size(), encoded(f, again));
      model[k] = again;
    } else {
      EXPECT_TRUE(fails(As_rewrite(s, again.data(), f.size), E_REC_SIZE));
    }
    ASSERT_EQ(As_close(s, 0), 1);
    ASSERT_EQ(read_file("seq"), image);
    // Read back, past the end, and again after positioning.
    s = open(KEL_OPEN_INPUT, f, block);
    ASSERT_NE(s, nullptr);
    for (const std::string &r : model) {
      int n = As_read(s, buffer_.data());
      ASSERT_GT(n, 0);
      ASSERT_EQ(std::string(buffer_.data(), n - 1), read_as(f, r));
    }
    EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_NOT_FOUND));
    EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_NO_CURRENT));
    ASSERT_EQ(As_seek(s, 0, 0), 0);
    int n = As_read(s, buffer_.data());
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer_.data(), n - 1), read_as(f, model[0]));
    ASSERT_EQ(As_close(s, 0), 1);
  }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
};

TEST_F(SequentialTest, EveryFormatAndBufferRoundTripsThroughTheListModel) {
  for (int32_t setting : {0, 3000}) {
    cfg_set_long("A_SEQ_DEFAULT_BLOCK_SIZE", 0, setting);
    for (const Format &f :
         {Format{AS_FIXED, 16, 60}, Format{AS_VARIABLE, 50, 60}, Format{AS_VARIABLE, 70000, 6},
          Format{AS_LINE, 40, 60}, Format{AS_PRINT, 40, 60}}) {
      for (uint32_t block : {0u, 1u, 7u, 4096u}) ASSERT_NO_FATAL_FAILURE(run(f, block));
    }
  }
}

// The bytes written by one print write after "head" (written without
// advancing, so that a line is pending), for each advancing.
TEST_F(SequentialTest, PrintAdvancingFilterPaddingAndDamagedInput) {
  ASSERT_EQ(Ar_make("p", "", 0), 1);
  const std::pair<int, std::string> cases[] = {{3, "rec\r\n\n\n"},   {10000, "rec\r\f"},
                                               {-2, "\r\n\nrec\r"},  {0, "rec\r"},
                                               {-9999, "\r\frec\r"}, {AS_NO_ADVANCING, "rec"}};
  for (const auto &[advancing, bytes] : cases) {
    SequentialFile *s = As_open("p", KEL_OPEN_OUTPUT, 80, AS_PRINT, 0, -1, nullptr, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(As_write(s, "head", 4, AS_NO_ADVANCING), 1);
    ASSERT_EQ(As_write(s, "rec", 3, advancing), 1);
    ASSERT_EQ(As_close(s, 0), 1);
    EXPECT_EQ(read_file("p"), "head" + bytes) << advancing;
  }
  EXPECT_TRUE(
      fails(As_open("LocalPrint", KEL_OPEN_OUTPUT, 80, AS_PRINT, 0, -1, nullptr, 0), E_NO_FILE));
  EXPECT_TRUE(
      fails(As_open("missing", KEL_OPEN_EXTEND, 80, AS_LINE, 0, -1, nullptr, 0), E_NO_FILE));
  EXPECT_STREQ(fs_missing_file_name(), "missing");
  // The pad character fills the last block; reading gives it back as data.
  SequentialFile *s = As_open("p", KEL_OPEN_OUTPUT, 80, AS_LINE, 16, '#', nullptr, 0);
  ASSERT_EQ(As_write(s, "abc", 3, 1), 1);
  EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_MODE_CLASH));
  ASSERT_EQ(As_close(s, 0), 1);
  EXPECT_EQ(read_file("p"), "abc\n############");
  // Reading lines: carriage returns dropped by default, kept on request.
  write_file("p", "ab\r\ncd\n\f");
  for (int filter : {0, 2}) {
    cfg_set_tinyint("CARRIAGE_CONTROL_FILTER", 0, int8_t(filter));
    s = As_open("p", KEL_OPEN_INPUT, 80, AS_LINE, 0, -1, nullptr, 0);
    ASSERT_EQ(As_read(s, buffer_.data()), filter ? 4 : 3);
    EXPECT_EQ(std::string(buffer_.data(), 2), "ab");
    ASSERT_EQ(As_read(s, buffer_.data()), 3);
    EXPECT_EQ(As_read(s, buffer_.data()), 1);  // the form feed alone: an empty record
    EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_NOT_FOUND));
    ASSERT_EQ(As_close(s, 0), 1);
  }
  // Variable records: one longer than the record size is cut and the next
  // read starts after it; a cut length prefix or record is a broken file.
  const std::pair<std::string, std::vector<std::string>> damaged[] = {
      {std::string("\0\6abcdef\0\1z", 11), {"abcd", "z"}},
      {std::string("\0\2ab\0", 5), {"ab", "broken 1"}},
      {std::string("\0\5abc", 5), {"broken 2"}}};
  for (const auto &[bytes, reads] : damaged) {
    write_file("v", bytes);
    s = As_open("v", KEL_OPEN_INPUT, 4, AS_VARIABLE, 0, -1, nullptr, 0);
    ASSERT_NE(s, nullptr);
    for (const std::string &expected : reads) {
      int n = As_read(s, buffer_.data());
      if (expected.rfind("broken ", 0) == 0) {
        EXPECT_TRUE(fails(n, E_BROKEN, expected.back() - '0'));
      } else {
        ASSERT_EQ(std::string(buffer_.data(), n - 1), expected);
      }
    }
    ASSERT_EQ(As_close(s, 0), 1);
    EXPECT_EQ(read_file("v"), bytes);
  }
  // A full disk: the write that fills the block and the close both say so.
  ASSERT_EQ(Ar_make("full", "", 0), 1);
  s = As_open("full", KEL_OPEN_OUTPUT, 40, AS_LINE, 64, -1, nullptr, 0);
  {
    FileSizeLimit limit(100);
    int failed = 0;
    for (int i = 0; i < 8; ++i) failed += As_write(s, std::string(30, 'x').data(), 30, 1) == 0;
    EXPECT_GE(failed, 1);
    EXPECT_EQ(*fs_error_code(), E_DISK_FULL);
    EXPECT_TRUE(fails(As_close(s, 0), E_DISK_FULL));
  }
}

int open_descriptors() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

TEST_F(SequentialTest, PipesRoundTripAndLeaveNothingBehind) {
  int descriptors = open_descriptors();
  auto out = [](const char *command, int flags = 0) {
    return As_open(command, KEL_OPEN_OUTPUT, 80, AS_LINE, 0, -1, "w", flags);
  };
  SequentialFile *s = out("cat > cat.txt");
  ASSERT_NE(s, nullptr);
  for (const char *line : {"one", "two"}) ASSERT_EQ(As_write(s, line, 3, 1), 1);
  ASSERT_EQ(As_close(s, 0), 1);
  EXPECT_EQ(read_file("cat.txt"), "one\ntwo\n");
  // The close waits for the last pipe's child: sort's output is complete.
  s = out("sort > sorted.txt");
  for (const char *line : {"c", "a", "b"}) ASSERT_EQ(As_write(s, line, 1, 1), 1);
  ASSERT_EQ(As_close(s, 0), 1);
  EXPECT_EQ(read_file("sorted.txt"), "a\nb\nc\n");
  s = As_open("printf 'b\\na\\n' | sort", KEL_OPEN_INPUT, 80, AS_LINE, 0, -1, "r", 0);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(As_read(s, buffer_.data()), 2);
  EXPECT_EQ(buffer_[0], 'a');
  EXPECT_EQ(As_read(s, buffer_.data()), 2);
  EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_NOT_FOUND));
  ASSERT_EQ(As_close(s, 0), 1);
  // Commands that fail or do not exist: no data in, a broken pipe out
  // (an error, not a signal).
  s = As_open("exit 3", KEL_OPEN_INPUT, 80, AS_LINE, 0, -1, "r", 0);
  EXPECT_TRUE(fails(As_read(s, buffer_.data()), E_NOT_FOUND));
  ASSERT_EQ(As_close(s, 0), 1);
  for (const char *command : {"exit 3", "no-such-command-for-kel 2>/dev/null"}) {
    s = out(command);
    ASSERT_NE(s, nullptr);
    std::string big(80, 'x');
    int result = 1;
    for (int i = 0; i < 5000 && result == 1; ++i) result = As_write(s, big.data(), 80, 1);
    EXPECT_TRUE(fails(result, E_SYSERR)) << command;
    EXPECT_TRUE(fails(As_close(s, 0), E_SYSERR)) << command;  // the record never arrived
  }
  // A pipe closed with keep is taken over by the next open that asks.
  s = out("cat > kept.txt");
  ASSERT_EQ(As_write(s, "one", 3, 1), 1);
  char first[16], second[16];
  ASSERT_EQ(As_info(s, -12, first), 1);
  ASSERT_EQ(As_close(s, 1), 1);
  s = out("not run", AS_SHARED_PIPE);
  ASSERT_EQ(As_info(s, -12, second), 1);
  EXPECT_STREQ(first, second);
  ASSERT_EQ(As_write(s, "two", 3, 1), 1);
  ASSERT_EQ(As_close(s, 0), 1);
  EXPECT_EQ(read_file("kept.txt"), "one\ntwo\n");
  // Every allocation of a pipe open can fail, cleanly.
  EXPECT_GE(fail_each_allocation(
                [&] {
                  if (SequentialFile *p = out("cat > /dev/null")) As_close(p, 0);
                },
                [](int n) { EXPECT_EQ(*fs_error_code(), E_NO_MEMORY) << n; }),
            1);
  // Without WAIT_FOR_ALL_PIPES a close with another pipe open does not
  // wait; shutdown ends the pipe still open and waits for every child.
  cfg_set_tinyint("WAIT_FOR_ALL_PIPES", 0, 0);
  SequentialFile *a = out("cat > /dev/null");
  SequentialFile *b = out("cat > /dev/null");
  ASSERT_EQ(As_close(a, 0), 1);
  EXPECT_EQ(relseq::open_pipe_count(), 1);
  Ar_exit();
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(As_close(b, 0), 1);
  EXPECT_EQ(open_descriptors(), descriptors);
  ASSERT_EQ(Ar_init(), 1);
}

}  // namespace
}  // namespace kel::test
