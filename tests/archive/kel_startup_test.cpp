// kel's start-up as an operator meets it: the version run and the message
// file that the texts come from (A_MESSAGE), whole or damaged.
#include <gtest/gtest.h>

#include "common/msg_file.h"
#include "common/test_util.h"

namespace kel::test {
namespace {

const char *kVersionLines =
    "KEL file transfer utility version " KEL_VERSION_STRING
    "\n"
    "Plain and indexed COBOL data files to and from multi-volume archives\n";

TEST(KelStartup, VersionRunPrintsTwoLinesAndSucceeds) {
  TempDir dir;
  RunResult r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", dir / "none.msg"}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersionLines, r.out);
  EXPECT_EQ("", r.err);
}

TEST(KelStartup, TextsComeFromTheMessageFile) {
  TempDir dir;
  std::string path = dir / "kel.msg";
  write_file(path, MsgFileBuilder()
                       .add(890, {"kel %s\\n"})
                       .add(891, {"Sicherung von COBOL-Dateien"})
                       .add(892, {"Aufruf: kel -o ...\\n"})
                       .bytes());
  RunResult r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("kel " KEL_VERSION_STRING "\nSicherung von COBOL-Dateien\n", r.out);
  r = run_kel({"-x"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("Aufruf: kel -o ...\n")) << r.err;
  // A stored text whose conversions do not match the built-in one is not
  // trusted with the version string: the built-in text is used.
  write_file(path, MsgFileBuilder().add(890, {"kel %d %d\\n"}).bytes());
  r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersionLines, r.out);
}

TEST(KelStartup, DamagedMessageFilesAreReportedAndTheRunGoesOn) {
  TempDir dir;
  std::string path = dir / "kel.msg";
  write_file(path, "QL\x01");
  RunResult r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Corrupted message file '" + path + "'\n", r.err);
  EXPECT_EQ(kVersionLines, r.out);

  write_file(path, MsgFileBuilder().version(265).add(890, {"old %s\\n"}).bytes());
  r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("Incorrect version for message file '" + path + "'\n", r.err);
  EXPECT_EQ(kVersionLines, r.out);

  // A file that is not a message file at all: the built-in texts, silently.
  write_file(path, "just some text, not a message file");
  r = run_kel({"-v"}, "", dir.path(), {{"A_MESSAGE", path}});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  EXPECT_EQ(kVersionLines, r.out);
}

}  // namespace
}  // namespace kel::test
