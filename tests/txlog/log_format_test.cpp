// The log's bytes: every record of a unit with its header, the start
// block, file ids and TM headers, the end marks; scrambled record data;
// a file with a log of its own.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>

#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

class LogFormat : public TxlogTest {
 protected:
  static std::string be_bytes(uint32_t v, int width) {
    std::string s(static_cast<size_t>(width), '\0');
    store_be(s.data(), width, v);
    return s;
  }
  static std::string start_block() {
    std::string s = std::string(1, '\1') + be_bytes(static_cast<uint32_t>(getpid()), 4);
    s += std::string(isatty(0) ? ttyname(0) : "") + '\0';
    s += std::string(getpwuid(getuid())->pw_name) + '\0';
    struct utsname u;
    uname(&u);
    return s + u.nodename + '\0';
  }
  static std::string file_id(int32_t number) {
    return be_bytes(static_cast<uint32_t>(gethostid()), 4) +
           be_bytes(static_cast<uint32_t>(getpid()) & 0xFFFF, 2) +
           be_bytes(static_cast<uint32_t>(number), 2);
  }
  static std::string tm_header(int32_t number, uint32_t record, uint32_t length) {
    return file_id(number) + be_bytes(record, 4) + be_bytes(length, 2);
  }
  static const inline std::string kEnd = "\xBE\xAD";
};

TEST_F(LogFormat, AUnitHoldsEveryRecordInItsLogForm) {
  make_files();
  time_t before = time(nullptr);
  ASSERT_EQ(v5_begin(), 1);
  DorvexFile *a = v5_open("a", kLogged | KEL_OPEN_IO, "");
  ASSERT_NE(a, nullptr);
  std::string one = "K0000001A001" + std::string(28, 'x');
  std::string two = "K0000001A002" + std::string(28, 'y');
  ASSERT_EQ(v5_write(a, one.data(), kRecordSize), 1);
  ASSERT_EQ(v5_rewrite(a, two.data(), kRecordSize), 1);
  ASSERT_EQ(v5_delete(a, two.data()), 1);
  ASSERT_EQ(v5_close(a), 1);  // deferred: the file has changes
  ASSERT_EQ(v5_commit(0), 1);
  DorvexFile *again = v5_open("a", KEL_OPEN_INPUT, "");  // the number the close let go of
  int32_t n = indexed::file_number(again);
  v5_close(again);
  std::vector<std::pair<uint16_t, std::string>> expected = {
      {1, start_block() + kEnd},
      {2, start_block()},
      {8, file_id(n) + be_bytes(0x4002, 4) + "a" + '\0'},
      {7, tm_header(n, 0, 40) + one},
      {6, tm_header(n, 0, 40) + two},
      {5, tm_header(n, 0, 8) + "K0000001"},
      {0x400A, file_id(n)},
      {3, kEnd}};
  std::vector<std::pair<uint16_t, std::string>> got;
  for (const LogRecord &x : parse_log(read_file("shared.log"))) {
    got.emplace_back(x.type, x.data);
    EXPECT_TRUE(x.time >= before && x.time <= time(nullptr)) << x.time;
  }
  EXPECT_EQ(got, expected);

  // A rollback of a transaction without changes: type 4, then the unit of
  // its file-level records.
  ASSERT_EQ(v5_begin(), 1);
  ASSERT_EQ(v5_rollback(0), 1);
  std::vector<LogRecord> log = parse_log(read_file("shared.log"));
  ASSERT_EQ(log.size(), expected.size() + 4);
  EXPECT_EQ(log[expected.size() + 1].type, 4);
  EXPECT_EQ(log[expected.size() + 1].data, start_block() + kEnd);
  EXPECT_EQ(log.back().type, 3);
}

TEST_F(LogFormat, ScrambledDataAndAFileWithItsOwnLog) {
  cfg_set_short("LOG_ENCRYPTION", 0, 1);
  setenv("ABC_LOG", "own.log", 1);
  ASSERT_EQ(Ar_make("abc.dat", "", 0), 1);
  RelativeFile *r = Ar_open("abc.dat", kLogged | KEL_OPEN_IO, 3, 3, 0);
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(v5_begin(), 1);
  ASSERT_EQ(Ar_write(r, "\0\0\0", 3, 1), 1);
  ASSERT_EQ(v5_commit(0), 1);
  ASSERT_EQ(Ar_close(r), 1);
  unsetenv("ABC_LOG");
  std::vector<LogRecord> own = parse_log(read_file("own.log"));
  std::vector<uint16_t> own_types, shared_types;
  for (const LogRecord &x : own) own_types.push_back(x.type);
  for (const LogRecord &x : parse_log(read_file("shared.log"))) shared_types.push_back(x.type);
  EXPECT_EQ(shared_types, (std::vector<uint16_t>{1, 2, 3}));
  ASSERT_EQ(own_types, (std::vector<uint16_t>{1, 2, 0x8008, 0x8007, 3}));
  EXPECT_EQ(own[3].data.substr(8), be_bytes(1, 4) + be_bytes(3, 2) + "\x03\x0a\x11");
  EXPECT_EQ(own[2].data.substr(8), be_bytes(0x4002, 4) + be_bytes(3, 2) + be_bytes(3, 2) +
                                       be_bytes(0, 4) + "abc.dat" + '\0');

  // LOG_DEVICE: the lock file carries the commit-in-progress flag, 0
  // between commits; a flag left at 1 stops every later begin.
  cfg_set_short("LOG_DEVICE", 0, 1);
  setenv("LOCK_DIR", dir_.path().c_str(), 1);
  char name[600];
  EXPECT_EQ(std::string(Alog_make_lockname(name, "logs/shared.log")), dir_ / "lock.shared.log");
  ASSERT_EQ(v5_begin(), 1);
  ASSERT_EQ(v5_commit(0), 1);
  EXPECT_EQ(read_file(dir_ / "lock.shared.log"), std::string(1, '\0'));
  write_file(dir_ / "lock.shared.log", "\1");
  EXPECT_EQ(v5_begin(), 0);
  EXPECT_EQ(*Alog_error_code(), 12);
  v5_rollback(0);
  unsetenv("LOCK_DIR");
}

}  // namespace
}  // namespace kel::test
