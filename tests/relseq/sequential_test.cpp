// Sequential files against a list model on the random driver: every
// record format written, extended, read and rewritten in place with every
// kind of buffer, the file's bytes checked against an independently built
// image at the end of each phase; print advancing, the read filter,
// damaged input and a full disk as rows of a golden file; pipes to and
// from shell commands, with no descriptor or child left behind.
#include <sys/wait.h>

#include <vector>

#include "common/call_script.h"
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

// Print advancing, padding, the read filter, damaged input, a full disk,
// pipes to and from sort: rows of a golden file.
TEST_F(SequentialTest, FixedCallSequences) {
  CallScript script;
  EXPECT_TRUE(script.run("relseq/sequential_calls.txt"));
}

TEST_F(SequentialTest, PipesRoundTripAndLeaveNothingBehind) {
  const size_t descriptors = folder_entries("/proc/self/fd").size();
  auto out = [](const char *command, int flags = 0) {
    return As_open(command, KEL_OPEN_OUTPUT, 80, AS_LINE, 0, -1, "w", flags);
  };
  // Commands that fail or do not exist: a broken pipe (an error, not a
  // signal).
  for (const char *command : {"exit 3", "no-such-command-for-kel 2>/dev/null"}) {
    SequentialFile *s = out(command);
    ASSERT_NE(s, nullptr);
    std::string big(80, 'x');
    int result = 1;
    for (int i = 0; i < 5000 && result == 1; ++i) result = As_write(s, big.data(), 80, 1);
    EXPECT_TRUE(fails(result, E_SYSERR)) << command;
    EXPECT_TRUE(fails(As_close(s, 0), E_SYSERR)) << command;  // the record never arrived
  }
  // A pipe closed with keep is taken over by the next open that asks.
  SequentialFile *s = out("cat > kept.txt");
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
