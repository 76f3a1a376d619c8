// The log's bytes: every record of a unit with its header, the start
// block, file ids and TM headers, the end marks; scrambled record data;
// a file with a log of its own.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>

#include "common/golden.h"
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
  // Bytes other than letters, digits and dots as \xHH.
  static std::string escaped(const std::string &bytes) {
    std::string text;
    char hex[8];
    for (unsigned char c : bytes) {
      snprintf(hex, sizeof hex, isalnum(c) || c == '.' ? "%c" : "\\x%02X", c);
      text += hex;
    }
    return text;
  }
  // The log as text, a line per record: its type, then its data escaped,
  // the parts that change from run to run named (the start block: this
  // process's id, terminal, user and host; the file id `id`). Every
  // record's time is now.
  static std::string log_text(const std::string &path, const std::string &id, time_t since) {
    std::string text;
    for (const LogRecord &x : parse_log(read_file(path))) {
      EXPECT_TRUE(x.time >= since && x.time <= time(nullptr)) << x.time;
      text += escaped(be_bytes(x.type, 2)) + " " +
              replace_all(replace_all(escaped(x.data), escaped(start_block()), "<start block>"),
                          escaped(id), "<file id>") +
              "\n";
    }
    return text;
  }
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
  // A rollback of a transaction without changes: type 4, then the unit of
  // its file-level records.
  ASSERT_EQ(v5_begin(), 1);
  ASSERT_EQ(v5_rollback(0), 1);
  EXPECT_TRUE(matches_golden("txlog/unit.txt", log_text("shared.log", file_id(n), before)));
}

TEST_F(LogFormat, ScrambledDataAndAFileWithItsOwnLog) {
  time_t since = time(nullptr);
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
  // The relative file's id, whatever number the file has, is named in
  // the text.
  std::string id = parse_log(read_file("own.log")).at(2).data.substr(0, 8);
  EXPECT_TRUE(matches_golden("txlog/own_log.txt", log_text("shared.log", id, since) + "--\n" +
                                                      log_text("own.log", id, since)));

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
