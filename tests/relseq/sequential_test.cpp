// Sequential files against a list model on the random driver: every
// record format written, extended, read and rewritten in place with every
// kind of buffer, the file's bytes checked against an independently built
// image at the end of each phase; print advancing, the read filter and
// damaged input; pipes to and from shell commands, with no descriptor or
// child left behind.
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

// The adapter: the open file and the list of its records, a phase per
// open mode, and a check at the end of each phase.
class SequentialRun {
 public:
  SequentialRun(const Format &f, uint32_t block, uint32_t seed)
      : f_(f), block_(block), run_(seed, f.records) {}

  void go() {
    ASSERT_EQ(Ar_make("seq", "", 0), 1);
    const int n = run_.operations();
    phase(KEL_OPEN_OUTPUT, {{"write", 1, [&] { write(); }}}, n / 2);
    phase(KEL_OPEN_EXTEND, {{"write", 1, [&] { write(); }}}, n / 2);
    phase(KEL_OPEN_IO, {{"read", 3, [&] { read(); }}, {"rewrite", 1, [&] { rewrite(); }}}, n / 2);
    phase(KEL_OPEN_INPUT, {{"read", 4, [&] { read(); }}, {"rewind", 1, [&] { rewind(); }}}, n);
  }

 private:
  void phase(int mode, const std::vector<RandomRun::Op> &mix, int count) {
    if (::testing::Test::HasFatalFailure()) return;
    int flags = mode != KEL_OPEN_INPUT && run_.chance(50) ? AS_FLUSH_BY_RECORDS : 0;
    s_ = As_open("seq", mode, f_.size, f_.type, block_, -1, nullptr, flags);
    ASSERT_NE(s_, nullptr);
    next_ = 0;
    read_ = -1;
    at_end_ = false;
    // The check: what is left read and past the end twice, the bytes.
    run_.run(
        mix, count,
        [&] {
          if (mode == KEL_OPEN_IO || mode == KEL_OPEN_INPUT)
            for (size_t left = model_.size() - next_ + 2; left > 0; --left) read();
          ASSERT_EQ(As_close(s_, 0), 1);
          ASSERT_EQ(read_file("seq"), image_);
        },
        count);
  }
  std::string random_record() {
    // Lines longer than the record size are cut when read.
    uint32_t top = f_.size + (f_.type <= AS_LINE ? 10 : 0);
    size_t n = f_.type == AS_FIXED ? f_.size : run_.below(top + 1);
    std::string r(n, '\0');
    for (char &c : r) c = f_.type <= AS_LINE ? char('a' + run_.below(26)) : char(run_.rng()());
    return r;
  }
  // The bytes a record is written as.
  std::string encoded(const std::string &r) const {
    if (f_.type == AS_FIXED) return r;
    if (f_.type == AS_VARIABLE) {
      std::string prefix;
      for (int i = f_.size > 65535 ? 3 : 1; i >= 0; --i) prefix += char(r.size() >> (8 * i));
      return prefix + r;
    }
    // An empty print line is only its advancing.
    return r + (f_.type == AS_PRINT && !r.empty() ? "\r\n" : "\n");
  }
  void write() {
    model_.push_back(random_record());
    ASSERT_EQ(As_write(s_, model_.back().data(), uint32_t(model_.back().size()), 1), 1);
    image_ += encoded(model_.back());
  }
  // The next record; past the end once "not found", then "no current".
  void read() {
    int n = As_read(s_, buffer_.data());
    read_ = -1;
    if (next_ == model_.size()) {
      EXPECT_TRUE(fails(n, at_end_ ? E_NO_CURRENT : E_NOT_FOUND));
      at_end_ = true;
      return;
    }
    ASSERT_GT(n, 0);
    ASSERT_EQ(std::string(buffer_.data(), n - 1), model_[next_].substr(0, f_.size));
    read_ = static_cast<int>(next_++);
  }
  // The record just read, in place, with another of its length. An empty
  // print line was written as its advancing alone: a rewrite, which always
  // ends in CR LF, cannot have its length; nor can a line cut when read.
  void rewrite() {
    if (read_ < 0) return;
    std::string &r = model_[static_cast<size_t>(read_)];
    run_.note("record " + std::to_string(read_));
    std::string again = r;
    for (char &c : again) c = c == 'z' ? 'a' : char(c + 1);
    if (f_.type != AS_FIXED && (r.size() > f_.size || (f_.type == AS_PRINT && r.empty()))) {
      EXPECT_TRUE(fails(As_rewrite(s_, again.data(), f_.size), E_REC_SIZE));
      return;
    }
    ASSERT_EQ(As_rewrite(s_, again.data(), uint32_t(again.size())), 1);
    size_t at = 0;
    for (int i = 0; i < read_; ++i) at += encoded(model_[static_cast<size_t>(i)]).size();
    image_.replace(at, encoded(again).size(), encoded(again));
    r = again;
    read_ = -1;
  }
  void rewind() {
    ASSERT_EQ(As_seek(s_, 0, 0), 0);
    next_ = 0;
    at_end_ = false;
  }

  Format f_;
  uint32_t block_;
  RandomRun run_;
  SequentialFile *s_ = nullptr;
  std::vector<std::string> model_;
  std::string image_;
  size_t next_ = 0;
  int read_ = -1;
  bool at_end_ = false;
  std::vector<char> buffer_ = std::vector<char>(70100);
};

using SequentialTest = RelSeqTest;

TEST_F(SequentialTest, EveryFormatAndBufferRoundTripsThroughTheListModel) {
  uint32_t seed = 20261207;
  for (int32_t setting : {0, 3000}) {
    cfg_set_long("A_SEQ_DEFAULT_BLOCK_SIZE", 0, setting);
    for (const Format &f :
         {Format{AS_FIXED, 16, 60}, Format{AS_VARIABLE, 50, 60}, Format{AS_VARIABLE, 70000, 6},
          Format{AS_LINE, 40, 60}, Format{AS_PRINT, 40, 60}}) {
      for (uint32_t block : {0u, 1u, 7u, 4096u}) {
        SCOPED_TRACE("type " + std::to_string(f.type) + " size " + std::to_string(f.size) +
                     " block " + std::to_string(block) + " default " + std::to_string(setting));
        ASSERT_NO_FATAL_FAILURE(SequentialRun(f, block, seed++).go());
      }
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

TEST_F(SequentialTest, PipesRoundTripAndLeaveNothingBehind) {
  const size_t descriptors = folder_entries("/proc/self/fd").size();
  auto out = [](const char *command, int flags = 0) {
    return As_open(command, KEL_OPEN_OUTPUT, 80, AS_LINE, 0, -1, "w", flags);
  };
  // The close waits for the last pipe's child: sort's output is complete.
  SequentialFile *s = out("sort > sorted.txt");
  ASSERT_NE(s, nullptr);
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
  // Commands that fail or do not exist: a broken pipe (an error, not a
  // signal).
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
  FailEachAllocation pipe{.op = [&] {
    SequentialFile *p = out("cat > /dev/null");
    return p != nullptr && As_close(p, 0) == 1;
  }};
  EXPECT_GE(pipe.run(), 1);
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
  EXPECT_EQ(folder_entries("/proc/self/fd").size(), descriptors);
  ASSERT_EQ(Ar_init(), 1);
}

}  // namespace
}  // namespace kel::test
