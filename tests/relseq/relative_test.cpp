// Relative files against an array model on the random driver: writes,
// reads, rewrites, deletes, starts and walks on fixed and variable files
// of several sizes (both length-field widths, deleted values other than
// 0), the file's bytes checked against an independently built image after
// every stretch; damaged files and two processes on one file (rows of a
// golden file); the trace.
#include <optional>
#include <vector>

#include "common/call_script.h"
#include "common/golden.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "relseq/relseq_fixture.h"

namespace kel::test {
namespace {

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
    for (uint32_t i = 0; i < width_; ++i) image_[at + i] = char(r.size() >> (8 * (width_ - 1 - i)));
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

using RelativeTest = RelSeqTest;

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
// filling the lock table: rows of a golden file.
TEST_F(RelativeTest, FixedCallSequences) {
  CallScript script;
  EXPECT_TRUE(script.run("relseq/relative_calls.txt"));
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

// The trace lines of the relative and sequential entry points.
TEST_F(RelativeTest, EntryPointsTraceTheirArgumentsAndResults) {
  ASSERT_EQ(Ar_make("t", "", 0), 1);
  set_trace_bits(kTraceEntryPoints);
  StderrCapture err;
  RelativeFile *f = Ar_open("t", KEL_OPEN_IO, 10, 8, 3);
  const char *record = "abc";
  EXPECT_EQ(Ar_write(f, record, 3, 7), 1);
  SequentialFile *s = As_open("t", KEL_OPEN_INPUT, 80, AS_LINE, 0, -1, nullptr, 0);
  EXPECT_EQ(As_seek(s, 5, 1), 5);
  set_trace_bits(0);
  As_close(s, 0);
  Ar_close(f);
  std::string text = replace_all(err.text(), pointer_text(f), "<relative file>");
  text = replace_all(text, pointer_text(s), "<sequential file>");
  EXPECT_TRUE(matches_golden("relseq/entry_trace.txt",
                             replace_all(text, pointer_text(record), "<record>")));
}

}  // namespace
}  // namespace kel::test
