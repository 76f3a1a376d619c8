// Relative files against an array model: random writes, reads, rewrites,
// deletes, starts and walks on fixed and variable files of several sizes
// (both length-field widths, deleted values other than 0), the file's bytes
// checked against an independently built image after every stretch; damaged
// files; two processes on one file.
#include <optional>
#include <vector>

#include "common/worker.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "relseq/relseq_fixture.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

struct Shape {
  uint32_t maximum, minimum;
  int16_t deleted;
  int ops;
  int spread;  // record numbers drawn up to the slot count + spread
};

// The file as it must be: its bytes, built here from the format's rules,
// and the record each slot holds.
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
    while (count() < n - 1) {
      image_.append(slot_, '\0');
      records_.emplace_back();
      mark_empty(count());
    }
    if (n > count()) {
      image_.append(slot_, '\0');
      records_.emplace_back();
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

class RelativeTest : public RelSeqTest {
 protected:
  std::string random_record(const Shape &s) {
    uint32_t length = s.maximum;
    if (s.maximum != s.minimum)
      length = std::uniform_int_distribution<uint32_t>(0, s.maximum)(rng_);
    std::string r(length, '\0');
    for (char &c : r) c = char(rng_());
    // Now and then a fixed record that reads as deleted.
    if (s.maximum == s.minimum && rng_() % 20 == 0)
      r.replace(0, std::min(length, 256u), std::min(length, 256u), char(s.deleted));
    return r;
  }
  int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  std::vector<char> buffer_ = std::vector<char>(70000);
  std::string read_back(int result) { return std::string(buffer_.data(), result - 1); }

  // Start in a random mode, then walk on and back, as the model says.
  void start_and_walk(RelativeFile *f, const RelativeModel &m) {
    int mode = pick(5);
    int64_t n = pick(static_cast<int>(m.count()) + 3);
    int64_t expected = mode == 0   ? (m.exists(n) ? n : 0)
                       : mode <= 2 ? m.find(std::max<int64_t>(1, n + (mode == 2)), 1)
                                   : m.find(mode == 3 ? n - 1 : n, -1);
    int r = Ar_start(f, static_cast<int32_t>(n), mode);
    if (expected == 0) {
      EXPECT_TRUE(fails(r, E_NOT_FOUND)) << "start " << mode << " " << n;
      return;
    }
    ASSERT_EQ(r, 1) << "start " << mode << " " << n;
    int step = mode <= 2 ? 1 : -1;
    for (int i = 0; i < 4; ++i) {
      r = step > 0 ? Ar_next(f, buffer_.data()) : Ar_previous(f, buffer_.data());
      if (expected == 0) {
        ASSERT_TRUE(fails(r, E_NOT_FOUND));
        // Fallen off one end, the other direction starts from that end.
        step = -step;
        expected = step < 0 ? m.find(m.count(), -1) : m.find(1, 1);
        continue;
      }
      ASSERT_GT(r, 0) << "walk to " << expected;
      EXPECT_EQ(read_back(r), m.record(expected));
      EXPECT_EQ(*fs_last_record_number(), expected);
      expected = m.find(expected + step, step);
    }
  }

  void run(const Shape &s) {
    SCOPED_TRACE("maximum " + std::to_string(s.maximum) + " minimum " + std::to_string(s.minimum) +
                 " deleted " + std::to_string(s.deleted));
    cfg_set_short("REL_DELETED_VALUE", 0, s.deleted);
    ASSERT_EQ(Ar_make("rel", "", 0), 1);
    // An exclusive open knows the file's size; a shared one asks for it.
    int sharing = s.maximum % 2 ? KEL_OPEN_EXCLUSIVE : 0;
    RelativeFile *f = Ar_open("rel", KEL_OPEN_IO | sharing, s.maximum, s.minimum, 0);
    ASSERT_NE(f, nullptr);
    RelativeModel m(s);
    for (int i = 0; i < s.ops; ++i) {
      int64_t n = 1 + pick(static_cast<int>(m.count()) + s.spread);
      std::string r = random_record(s);
      int op = pick(6);
      if (op == 0) {
        bool after_last = pick(5) == 0;
        int result = Ar_write(f, r.data(), uint32_t(r.size()), after_last ? -1 : int32_t(n));
        if (after_last) n = m.count() + 1;
        if (n <= m.count() && m.exists(n)) {
          ASSERT_TRUE(fails(result, E_DUPLICATE)) << "write " << n;
          continue;
        }
        ASSERT_EQ(result, 1) << "write " << n;
        EXPECT_EQ(*fs_last_record_number(), n);
        m.write(n, r);
      } else if (op == 1) {
        int result = Ar_read(f, buffer_.data(), int32_t(n));
        if (!m.exists(n)) {
          ASSERT_TRUE(fails(result, E_NOT_FOUND)) << "read " << n;
          continue;
        }
        ASSERT_EQ(read_back(result), m.record(n)) << "read " << n;
      } else if (op <= 3) {
        // Rewrite or delete, by number or of the record just read.
        bool last_read = pick(2) == 0 && Ar_read(f, buffer_.data(), int32_t(n)) > 0;
        int32_t k = last_read ? 0 : int32_t(n);
        int result = op == 2 ? Ar_rewrite(f, r.data(), uint32_t(r.size()), k) : Ar_delete(f, k);
        if (!m.exists(n)) {
          ASSERT_TRUE(fails(result, E_NOT_FOUND)) << "change " << n;
          continue;
        }
        ASSERT_EQ(result, 1) << "change " << n;
        op == 2 ? m.rewrite(n, r) : m.remove(n);
      } else {
        ASSERT_NO_FATAL_FAILURE(start_and_walk(f, m));
      }
      if (i % 25 == 24) {
        ASSERT_EQ(read_file("rel"), m.image()) << "after operation " << i;
      }
    }
    ASSERT_EQ(Ar_close(f), 1);
    EXPECT_EQ(read_file("rel"), m.image());
  }
};

TEST_F(RelativeTest, RandomOperationsMatchTheArrayModelAndTheLayout) {
  for (const Shape &s :
       {Shape{10, 10, 0, 400, 8}, Shape{37, 37, '*', 300, 6}, Shape{300, 300, 0, 150, 4},
        Shape{100, 1, 0, 400, 8}, Shape{70000, 0, 0, 40, 3}}) {
    ASSERT_NO_FATAL_FAILURE(run(s));
  }
}

// A length field above the maximum gives a record cut to the maximum; a
// slot cut by the end of the file does not exist (and the open refuses such
// a file unless forced). Nothing is written.
TEST_F(RelativeTest, DamagedSlotsReadAsCutOrMissingAndStayUntouched) {
  std::string bytes = std::string("\x00\xff", 2) + std::string(100, 'L') +  // 255 > 100
                      std::string("\x00\x05hello", 7) + std::string(95, '\0') +
                      std::string("\x00\x30", 2) + std::string(20, 'c');  // cut slot 3
  write_file("damaged", bytes);
  EXPECT_TRUE(fails(Ar_open("damaged", KEL_OPEN_INPUT, 100, 1, 0), E_FILE_TYPE));
  cfg_set_tinyint("V_FORCE_OPEN", 0, 1);
  RelativeFile *f = Ar_open("damaged", KEL_OPEN_INPUT, 100, 1, 0);
  ASSERT_NE(f, nullptr);
  char record[128];
  ASSERT_EQ(Ar_read(f, record, 1), 101);
  EXPECT_EQ(std::string(record, 100), std::string(100, 'L'));
  EXPECT_TRUE(fails(Ar_read(f, record, 3), E_NOT_FOUND));
  ASSERT_EQ(Ar_start(f, 2, 1), 1);
  ASSERT_EQ(Ar_next(f, record), 6);
  EXPECT_TRUE(fails(Ar_next(f, record), E_NOT_FOUND));
  EXPECT_EQ(Ar_previous(f, record), 6);  // back from the end: record 2
  EXPECT_TRUE(fails(Ar_write(f, "x", 1, -1), E_MODE_CLASH));
  EXPECT_TRUE(fails(Ar_info(f, -3, record), E_UNSUPPORTED));
  EXPECT_TRUE(fails(Ar_info(f, -20, record), E_PARAM));
  ASSERT_EQ(Ar_close(f), 1);
  EXPECT_EQ(read_file("damaged"), bytes);
  // A fixed file whose last slot is cut.
  write_file("short", std::string(25, 'f'));
  f = Ar_open("short", KEL_OPEN_IO, 10, 10, 0);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(Ar_read(f, record, 2), 11);
  EXPECT_TRUE(fails(Ar_read(f, record, 3), E_NOT_FOUND));
  EXPECT_TRUE(fails(Ar_rewrite(f, std::string(10, 'g').data(), 10, 3), E_NOT_FOUND));
  ASSERT_EQ(Ar_close(f), 1);
  EXPECT_EQ(read_file("short"), std::string(25, 'f'));
  // Every allocation of an open can fail, cleanly.
  int failures = fail_each_allocation(
      [] {
        if (RelativeFile *g = Ar_open("short", KEL_OPEN_IO, 10, 10, 0)) Ar_close(g);
      },
      [](int n) { EXPECT_EQ(*fs_error_code(), E_NO_MEMORY) << "allocation " << n; });
  EXPECT_GE(failures, 1);
  EXPECT_EQ(record_lock_count(), 0);
}

// The other process: "open", "lock N" (a locking read), "unlock", "output"
// (an output open, refused while the file is in use).
std::string other(const std::string &request) {
  static RelativeFile *f = nullptr;
  auto result = [](bool ok) {
    return ok ? std::string("ok") : "error " + std::to_string(*fs_error_code());
  };
  char record[16];
  if (request == "open") return result((f = Ar_open("shared", KEL_OPEN_IO, 10, 10, 0)) != nullptr);
  if (request.rfind("lock ", 0) == 0)
    return result(Ar_read(f, record, std::stoi(request.substr(5))));
  if (request == "unlock") return result(Ar_unlock(f));
  if (request == "output") return result(Ar_open("shared", KEL_OPEN_OUTPUT, 10, 10, 0) != nullptr);
  return "unknown request";
}

TEST_F(RelativeTest, TwoProcessesLockRetryAndFillTheLockTable) {
  ASSERT_EQ(Ar_make("shared", "", 0), 1);
  RelativeFile *f = Ar_open("shared", KEL_OPEN_OUTPUT, 10, 10, 0);
  for (char c : std::string("abc")) ASSERT_EQ(Ar_write(f, std::string(10, c).data(), 10, -1), 1);
  ASSERT_EQ(Ar_close(f), 1);
  Worker w(other);
  ASSERT_EQ(w.call("open"), "ok");
  ASSERT_EQ(w.call("lock 2"), "ok");
  f = Ar_open("shared", KEL_OPEN_IO, 10, 10, 0);
  ASSERT_NE(f, nullptr);
  char record[16];
  EXPECT_TRUE(fails(Ar_read(f, record, 2), E_REC_LOCKED));
  EXPECT_EQ(*fs_lock_holder(), w.pid());
  EXPECT_TRUE(fails(Ar_next(f, record), E_REC_LOCKED));  // tries record 2 again
  ASSERT_EQ(w.call("unlock"), "ok");
  ASSERT_EQ(Ar_next(f, record), 11);
  EXPECT_EQ(std::string(record, 10), std::string(10, 'b'));
  EXPECT_EQ(w.call("lock 2"), "error 5");  // our read holds it now
  EXPECT_EQ(w.call("output"), "error 11");
  ASSERT_EQ(Ar_close(f), 1);
  // Locking many: every read keeps its lock, up to LOCKS_PER_FILE.
  cfg_set_short("LOCKS_PER_FILE", 0, 2);
  f = Ar_open("shared", KEL_OPEN_IO | KEL_OPEN_LOCK_MANY, 10, 10, 0);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(Ar_read(f, record, 1), 11);
  ASSERT_EQ(Ar_read(f, record, 3), 11);
  EXPECT_TRUE(fails(Ar_read(f, record, 2), E_LOCK_TABLE_FULL, 3));
  ASSERT_EQ(Ar_info(f, -6, record), 1);
  EXPECT_STREQ(record, "0002");
  EXPECT_EQ(w.call("lock 1"), "error 5");
  EXPECT_EQ(w.call("lock 2"), "ok");
  ASSERT_EQ(Ar_unlock(f), 1);
  EXPECT_EQ(w.call("lock 1"), "ok");
  ASSERT_EQ(Ar_close(f), 1);
  EXPECT_EQ(read_file("shared"),
            std::string(10, 'a') + std::string(10, 'b') + std::string(10, 'c'));
}

// The trace lines of the relative and sequential entry points.
TEST_F(RelativeTest, EntryPointsTraceTheirArgumentsAndResults) {
  ASSERT_EQ(Ar_make("t", "", 0), 1);
  set_trace_bits(kTraceEntryPoints);
  StderrCapture err;
  RelativeFile *f = Ar_open("t", KEL_OPEN_IO, 10, 8, 3);
  const char *record = "abc";
  int written = Ar_write(f, record, 3, 7);
  SequentialFile *s = As_open("t", KEL_OPEN_INPUT, 80, AS_LINE, 0, -1, nullptr, 0);
  int64_t at = As_seek(s, 5, 1);
  set_trace_bits(0);
  As_close(s, 0);
  Ar_close(f);
  char p[3][32];
  snprintf(p[0], sizeof p[0], "%p", static_cast<void *>(f));
  snprintf(p[1], sizeof p[1], "%p", static_cast<void *>(s));
  snprintf(p[2], sizeof p[2], "%p", static_cast<const void *>(record));
  EXPECT_EQ(written, 1);
  EXPECT_EQ(at, 5);
  EXPECT_EQ(err.text(), std::string("V: Ar_open(\"t\", 0x2, 10, 8, 3)\nV: Ar_open() returning ") +
                            p[0] + "\nV: Ar_write(" + p[0] + ", " + p[2] +
                            ", 3, 7)\nV: Ar_write() returning 1\n" +
                            "V: As_open(\"t\", 0x0, 80, -3, 0, -1, (nil) \"<NULL>\", 0x0)\n" +
                            "V: As_open() returning " + p[1] + "\nV: As_seek(" + p[1] +
                            ", 5, 1)\nV: As_seek() returning 5\n");
}

}  // namespace
}  // namespace kel::test
