// kel's start-up as an operator meets it: the version run and the message
// file that the texts come from (A_MESSAGE), whole, damaged or absent.
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/msg_file.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

using KelStartup = KelTest;

TEST_F(KelStartup, TextsComeFromTheMessageFileWhenItCanBeTrusted) {
  const std::string version_lines =
      "KEL file transfer utility version " KEL_VERSION_STRING
      "\nPlain and indexed COBOL data files to and from multi-volume archives\n";
  const std::string german = MsgFileBuilder()
                                 .add(890, {"kel %s\\n"})
                                 .add(891, {"Sicherung von COBOL-Dateien"})
                                 .add(892, {"Aufruf: kel -o ...\\n"})
                                 .bytes();
  const std::string path = dir_ / "kel.msg";
  struct Case {
    const char *what;
    std::string file;  // none when empty
    const char *option;
    int status;
    std::string out, err;
  } cases[] = {
      {"no message file", "", "-v", 0, version_lines, ""},
      {"translated", german, "-v", 0, "kel " KEL_VERSION_STRING "\nSicherung von COBOL-Dateien\n",
       ""},
      {"translated usage", german, "-x", 1, "", "Aufruf: kel -o ...\n"},
      // A stored text whose conversions do not match the built-in one is
      // not trusted with the version string.
      {"other conversions", MsgFileBuilder().add(890, {"kel %d %d\\n"}).bytes(), "-v", 0,
       version_lines, ""},
      {"damaged", "QL\x01", "-v", 0, version_lines, "Corrupted message file '" + path + "'\n"},
      {"old version", MsgFileBuilder().version(265).add(890, {"old %s\\n"}).bytes(), "-v", 0,
       version_lines, "Incorrect version for message file '" + path + "'\n"},
      // Not a message file at all: the built-in texts, silently.
      {"foreign", "just some text, not a message file", "-v", 0, version_lines, ""}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    unlink(path.c_str());
    if (!c.file.empty()) write_file(path, c.file);
    SpawnOptions o = options({c.option});
    o.env["A_MESSAGE"] = path;
    RunResult r = spawn_kel(o);
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.out, r.out);
    EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
    if (c.status == 0) {
      EXPECT_EQ(c.err, r.err);
    }
  }
}

}  // namespace
}  // namespace kel::test
