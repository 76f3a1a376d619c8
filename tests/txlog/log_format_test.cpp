// The log's bytes: every record of a unit with its header, the start
// block, file ids and TM headers, the end marks; scrambled record data;
// a file with a log of its own; the lock file of LOG_DEVICE. Rows of
// txlog/log_calls.txt, with "log NAME" showing a log a line per record.
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>

#include "common/call_script.h"
#include "common/golden.h"
#include "txlog/txlog_fixture.h"

namespace kel::test {
namespace {

std::string be_bytes(uint32_t v, int width) {
  std::string s(static_cast<size_t>(width), '\0');
  store_be(s.data(), width, v);
  return s;
}
// This process's start block: its id, terminal, user and host.
std::string start_block() {
  std::string s = std::string(1, '\1') + be_bytes(static_cast<uint32_t>(getpid()), 4);
  s += std::string(isatty(0) ? ttyname(0) : "") + '\0';
  s += std::string(getpwuid(getuid())->pw_name) + '\0';
  struct utsname u;
  uname(&u);
  return s + u.nodename + '\0';
}
// Bytes other than letters, digits and dots as \xHH.
std::string escaped(const std::string &bytes) {
  std::string text;
  char hex[8];
  for (unsigned char c : bytes) {
    snprintf(hex, sizeof hex, isalnum(c) || c == '.' ? "%c" : "\\x%02X", c);
    text += hex;
  }
  return text;
}

// The log as text after a count of its records, a line per record: its
// type, then its data escaped, with the parts that change from run to run
// named: the start block, and the file id (this host's id and this
// process's id, then the file's number) that begins the records of types
// 5 and up. Every record's time lies between `since` and now.
std::string log_text(const std::string &path, time_t since) {
  const std::vector<LogRecord> records = parse_log(read_file(path));
  const std::string host = be_bytes(static_cast<uint32_t>(gethostid()), 4) +
                           be_bytes(static_cast<uint32_t>(getpid()) & 0xFFFF, 2);
  std::string text = std::to_string(records.size()) + " records";
  for (const LogRecord &x : records) {
    EXPECT_TRUE(x.time >= since && x.time <= time(nullptr)) << x.time;
    std::string data = escaped(x.data);
    if ((x.type & 0x3FFF) >= 5 && x.data.compare(0, 6, host) == 0)
      data = "<file id " + std::to_string(load_be16(x.data.data() + 6)) + ">" +
             escaped(x.data.substr(8));
    text += "\n" + escaped(be_bytes(x.type, 2)) + " " +
            replace_all(data, escaped(start_block()), "<start block>");
  }
  return text;
}

TEST_F(TxlogTest, LogRecordsToTheByte) {
  time_t since = time(nullptr);
  CallScript script;
  script.add("log", [&](const Call &c) { return log_text(c.text(0), since); });
  script.add("lockname", [](const Call &c) {
    char name[600];
    return as_word(Alog_make_lockname(name, c.ptr(0)));
  });
  script.add("log_shutdown", [](const Call &) { return CallScript::result(Alog_shutdown()); });
  EXPECT_TRUE(script.run("txlog/log_calls.txt"));
}

}  // namespace
}  // namespace kel::test
