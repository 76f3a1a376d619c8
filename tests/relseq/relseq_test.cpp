// Relative and sequential files, each in a fixture that defines the file
// system's configuration in a fresh working folder and starts and shuts
// down the handlers.
//
// Relative files against an array model on the random driver: writes,
// reads, rewrites, deletes, starts and walks on fixed and variable files
// of several sizes (both length-field widths, deleted values other than
// 0), the file's bytes checked against an independently built image after
// every stretch; damaged files, two processes on one file and the trace
// (rows of a golden file).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/call_script.h"
#include "common/fails.h"
#include "common/faults.h"
#include "common/random_driver.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "osfile/files.h"
#include "relseq/pipes.h"
#include "support/be.h"

namespace kel::test {
namespace {

class RelSeqTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
    ASSERT_EQ(Ar_init(), 1);
  }
  void TearDown() override { Ar_exit(); }

  TempDir dir_{true};
};

using RelativeTest = RelSeqTest;

struct Shape {
  uint32_t maximum, minimum;
  int16_t deleted;
  int ops;
  int spread;  // record numbers drawn up to the slot count + spread
};

// The file as it must be: its bytes, built here from the format's rules
// (a slot is the length field of 0, 2 or 4 bytes, then the maximum; an
// empty slot has the field all ones and its first 256 bytes at most set
// to the deleted value), and the record each slot holds.
class RelativeModel {
 public:
  explicit RelativeModel(const Shape &s) : s_(s) {
    width_ = s.maximum == s.minimum ? 0 : (s.maximum < 65536 ? 2 : 4);
    slot_ = s.maximum + width_;
    deleted_count_ = s.maximum < 256 ? s.maximum : 256;
  }
  int64_t count() const { return static_cast<int64_t>(records_.size()); }
  bool exists(int64_t n) const { return n >= 1 && n <= count() && records_[n - 1].has_value(); }
  const std::string &record(int64_t n) const { return *records_[n - 1]; }
  const std::string &image() const { return image_; }

  void write(int64_t n, const std::string &r) {
    while (count() < n) {
      image_.append(slot_, '\0');
      records_.emplace_back();
      if (count() < n) mark_empty(count());
    }
    put(n, r, true);
  }
  void rewrite(int64_t n, const std::string &r) { put(n, r, false); }
  void remove(int64_t n) {
    mark_empty(n);
    records_[n - 1].reset();
  }
  // The first record from n on (step 1) or down (step -1); 0 when none.
  int64_t find(int64_t n, int step) const {
    if (step < 0 && n > count()) n = count();
    for (; n >= 1 && n <= count(); n += step)
      if (exists(n)) return n;
    return 0;
  }

 private:
  void put(int64_t n, const std::string &r, bool whole) {
    size_t at = static_cast<size_t>(n - 1) * slot_;
    if (width_ > 0) store_be(image_.data() + at, static_cast<int>(width_), r.size());
    image_.replace(at + width_, r.size(), r);
    if (whole && width_ > 0)
      image_.replace(at + width_ + r.size(), s_.maximum - r.size(), s_.maximum - r.size(), '\0');
    bool empty = width_ == 0 && r.find_first_not_of(char(s_.deleted)) >= deleted_count_;
    records_[n - 1] = empty ? std::nullopt : std::optional(r);
  }
  void mark_empty(int64_t n) {
    size_t at = static_cast<size_t>(n - 1) * slot_;
    image_.replace(at, width_, width_, '\xff');
    image_.replace(at + width_, deleted_count_, deleted_count_, char(s_.deleted));
  }
  Shape s_;
  uint32_t width_, slot_, deleted_count_;
  std::string image_;
  std::vector<std::optional<std::string>> records_;
};

// The adapter: the file and its model, the operation mix, the bytes as
// the check.
class RelativeRun {
 public:
  RelativeRun(const Shape &s, uint32_t seed) : s_(s), run_(seed, s.ops), m_(s) {}

  void go() {
    cfg_set_short("REL_DELETED_VALUE", 0, s_.deleted);
    ASSERT_EQ(Ar_make("rel", "", 0), 1);
    // An exclusive open knows the file's size; a shared one asks for it.
    int sharing = s_.maximum % 2 ? KEL_OPEN_EXCLUSIVE : 0;
    ASSERT_NE(f_ = Ar_open("rel", KEL_OPEN_IO | sharing, s_.maximum, s_.minimum, 0), nullptr);
    run_.run(
        {{"write", 1, [&] { write(); }},
         {"read", 1, [&] { read(); }},
         {"rewrite", 1, [&] { change(true); }},
         {"delete", 1, [&] { change(false); }},
         {"start and walk", 2, [&] { start_and_walk(); }}},
        run_.operations(), [&] { ASSERT_EQ(read_file("rel"), m_.image()); }, 25);
    ASSERT_EQ(Ar_close(f_), 1);
    EXPECT_EQ(read_file("rel"), m_.image());
  }

 private:
  int pick(int n) { return static_cast<int>(run_.below(static_cast<size_t>(n))); }
  int64_t some_number() {
    int64_t n = 1 + pick(static_cast<int>(m_.count()) + s_.spread);
    run_.note(std::to_string(n));
    return n;
  }
  std::string random_record() {
    uint32_t length = s_.maximum == s_.minimum ? s_.maximum : pick(int(s_.maximum) + 1);
    std::string r(length, '\0');
    for (char &c : r) c = char(run_.rng()());
    // Now and then a fixed record that reads as deleted.
    if (s_.maximum == s_.minimum && run_.chance(5))
      r.replace(0, std::min(length, 256u), std::min(length, 256u), char(s_.deleted));
    return r;
  }
  std::string got(int result) { return std::string(buffer_.data(), result - 1); }

  void write() {
    int64_t n = some_number();
    std::string r = random_record();
    bool after_last = run_.chance(20);
    int result = Ar_write(f_, r.data(), uint32_t(r.size()), after_last ? -1 : int32_t(n));
    if (after_last) n = m_.count() + 1;
    if (m_.exists(n)) {
      EXPECT_TRUE(fails(result, E_DUPLICATE));
      return;
    }
    ASSERT_EQ(result, 1);
    EXPECT_EQ(*fs_last_record_number(), n);
    m_.write(n, r);
  }
  void read() {
    int64_t n = some_number();
    int result = Ar_read(f_, buffer_.data(), int32_t(n));
    if (!m_.exists(n))
      EXPECT_TRUE(fails(result, E_NOT_FOUND));
    else
      EXPECT_EQ(got(result), m_.record(n));
  }
  // Rewrite or delete, by number or of the record just read.
  void change(bool rewrite) {
    int64_t n = some_number();
    std::string r = random_record();
    bool last_read = run_.chance(50) && Ar_read(f_, buffer_.data(), int32_t(n)) > 0;
    int32_t k = last_read ? 0 : int32_t(n);
    int result = rewrite ? Ar_rewrite(f_, r.data(), uint32_t(r.size()), k) : Ar_delete(f_, k);
    if (!m_.exists(n)) {
      EXPECT_TRUE(fails(result, E_NOT_FOUND));
      return;
    }
    ASSERT_EQ(result, 1);
    rewrite ? m_.rewrite(n, r) : m_.remove(n);
  }
  // Start in a random mode, then walk on and back, as the model says.
  void start_and_walk() {
    int mode = pick(5);
    int64_t n = pick(static_cast<int>(m_.count()) + 3);
    run_.note("mode " + std::to_string(mode) + " at " + std::to_string(n));
    int64_t expected = mode == 0   ? (m_.exists(n) ? n : 0)
                       : mode <= 2 ? m_.find(std::max<int64_t>(1, n + (mode == 2)), 1)
                                   : m_.find(mode == 3 ? n - 1 : n, -1);
    int r = Ar_start(f_, static_cast<int32_t>(n), mode);
    if (expected == 0) {
      EXPECT_TRUE(fails(r, E_NOT_FOUND));
      return;
    }
    ASSERT_EQ(r, 1);
    int step = mode <= 2 ? 1 : -1;
    for (int i = 0; i < 4; ++i) {
      r = step > 0 ? Ar_next(f_, buffer_.data()) : Ar_previous(f_, buffer_.data());
      if (expected == 0) {
        ASSERT_TRUE(fails(r, E_NOT_FOUND));
        // Fallen off one end, the other direction starts from that end.
        step = -step;
        expected = step < 0 ? m_.find(m_.count(), -1) : m_.find(1, 1);
        continue;
      }
      ASSERT_GT(r, 0) << "walk to " << expected;
      EXPECT_EQ(got(r), m_.record(expected));
      EXPECT_EQ(*fs_last_record_number(), expected);
      expected = m_.find(expected + step, step);
    }
  }

  Shape s_;
  RandomRun run_;
  RelativeModel m_;
  RelativeFile *f_ = nullptr;
  std::vector<char> buffer_ = std::vector<char>(70000);
};

TEST_F(RelativeTest, RandomOperationsMatchTheArrayModelAndTheLayout) {
  uint32_t seed = 20261207;
  for (const Shape &s :
       {Shape{10, 10, 0, 400, 8}, Shape{37, 37, '*', 300, 6}, Shape{300, 300, 0, 150, 4},
        Shape{100, 1, 0, 400, 8}, Shape{70000, 0, 0, 60, 4}}) {
    SCOPED_TRACE("maximum " + std::to_string(s.maximum) + " minimum " + std::to_string(s.minimum));
    ASSERT_NO_FATAL_FAILURE(RelativeRun(s, seed++).go());
  }
}

// Damaged slots read as cut or missing, two processes locking and
// filling the lock table; sequential files' print advancing, padding, the
// read filter, damaged input, a full disk, pipes to and from sort, a pipe
// kept at its close and taken over: rows of golden files.
TEST_F(RelSeqTest, FixedCallSequences) {
  for (const char *rows : {"relseq/relative_calls.txt", "relseq/sequential_calls.txt"}) {
    CallScript script;
    // As_info H CODE: the outcome; for -12, whether the ten digits name
    // a pipe, and the one the -12 before named (a pipe taken over).
    std::string before;
    script.add("As_info", [&script, &before](const Call &c) {
      char text[16] = {};
      int r = As_info(script.file<SequentialFile>(c.text(0)), static_cast<int32_t>(c.num(1)), text);
      struct stat st;
      bool pipe = strlen(text) == 10 && fstat(atoi(text), &st) == 0 && S_ISFIFO(st.st_mode);
      std::string out = CallScript::result(r) + (pipe ? ", a pipe" : "");
      if (pipe) out += std::exchange(before, text) == text ? ", the one before" : "";
      return out;
    });
    EXPECT_TRUE(script.run(rows));
  }
  // Every allocation of a forced open of a cut file can fail, cleanly.
  cfg_set_tinyint("V_FORCE_OPEN", 0, 1);
  write_file("short", std::string(25, 'f'));
  FailEachAllocation open{.op = [] {
    RelativeFile *g = Ar_open("short", KEL_OPEN_IO, 10, 10, 0);
    return g != nullptr && Ar_close(g) == 1;
  }};
  EXPECT_GE(open.run(), 1);
  EXPECT_EQ(record_lock_count(), 0);
}

// Sequential files against a list model on the random driver: every
// record format written, extended, read and rewritten in place with every
// kind of buffer, the file's bytes checked against an independently built
// image at the end of each phase (print advancing, the read filter,
// damaged input and a full disk: rows of a golden file, above); pipes to
// and from shell commands, with no descriptor or child left behind.

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
      std::string prefix(f_.size > 65535 ? 4 : 2, '\0');
      store_be(prefix.data(), static_cast<int>(prefix.size()), r.size());
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

TEST_F(SequentialTest, PipesRoundTripAndLeaveNothingBehind) {
  const size_t descriptors = folder_entries("/proc/self/fd").size();
  auto out = [](const char *command) {
    return As_open(command, KEL_OPEN_OUTPUT, 80, AS_LINE, 0, -1, "w", 0);
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
