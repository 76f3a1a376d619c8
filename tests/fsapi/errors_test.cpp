#include "kelfs/errors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/msg_file.h"
#include "common/test_util.h"
#include "messages/msg.h"

namespace kel {
namespace {

// Reports the code as `name` and returns what was written and returned.
std::pair<std::string, std::string> report(int16_t code, const char *name = "cust.dat") {
  *fs_error_code() = code;
  test::StderrCapture err;
  const char *r = report_fs_error(name);
  return {err.text(), r ? r : "(null)"};
}

TEST(ErrorTexts, EveryPrimaryCode) {
  const char *texts[] = {"Internal error",
                         nullptr,
                         "Invalid function parameter",
                         "Too many files opened",
                         "I/O clashes with open mode",
                         "Record locked",
                         nullptr,
                         "Duplicate key",
                         "Record not found",
                         "Current record undefined",
                         "Disk full",
                         "File locked",
                         "Record size changed",
                         "Incorrect file type",
                         "Out of memory",
                         nullptr,
                         "Permission denied",
                         "Unsupported operation",
                         "Lock table full"};
  for (int16_t code = 0; code <= 18; ++code) {
    if (texts[code] == nullptr) continue;
    auto [out, ret] = report(code);
    EXPECT_EQ(std::string("cust.dat: ") + texts[code] + "\n", out) << code;
    EXPECT_EQ(texts[code], ret) << code;
  }
  for (int16_t code : {19, 21, 22, 25, 99}) {
    auto [out, ret] = report(code);
    EXPECT_EQ("cust.dat: unknown error\n", out) << code;
    EXPECT_EQ("unknown error", ret);
  }
  for (int16_t code : {100, 101, 150}) {
    auto [out, ret] = report(code);
    EXPECT_EQ("", out) << code;
    EXPECT_EQ("(null)", ret);
  }
}

TEST(ErrorTexts, BrokenMissingAndSystemErrors) {
  *fs_error_secondary() = 9;
  auto [broken, broken_ret] = report(E_BROKEN);
  EXPECT_EQ("cust.dat: File broken (code 9)\n", broken);
  EXPECT_EQ("(null)", broken_ret);

  fs_set_missing_file_name("data/cust.vix");
  auto [missing, missing_ret] = report(E_NO_FILE);
  EXPECT_EQ("data/cust.vix: No such file\n", missing) << "the missing file, not the name given";
  EXPECT_EQ("No such file", missing_ret);
  fs_set_missing_file_name(std::string(400, 'n').c_str());
  EXPECT_EQ(std::string(256, 'n'), fs_missing_file_name());

  errno = ENOENT;
  auto [sys, sys_ret] = report(E_SYSERR);
  EXPECT_EQ("cust.dat: No such file or directory\n", sys);
  EXPECT_EQ("(null)", sys_ret);
  test::StderrCapture err;
  errno = EACCES;
  report_sys_error("x");
  EXPECT_EQ("x: Permission denied\n", err.text());
}

TEST(ErrorTexts, SystemErrorTexts) {
  struct {
    int e;
    const char *text;
  } table[] = {{2, "No such file or directory"},
               {7, "Argument list too long"},
               {8, "Exec format error"},
               {9, "Bad file number"},
               {12, "Not enough memory"},
               {13, "Permission denied"},
               {17, "File exists"},
               {18, "Cross-device link"},
               {22, "Invalid argument"},
               {24, "Too many open files"},
               {28, "No space left on device"},
               {33, "Math argument"},
               {34, "Result too large"},
               {35, "Resource deadlock would occur"},
               {5, "Unknown error"},
               {0, "Unknown error"}};
  for (auto &t : table) EXPECT_STREQ(t.text, sys_error_text(t.e)) << t.e;
  errno = 28;
  EXPECT_STREQ("No space left on device", sys_error_text(-1));
}

TEST(ErrorTexts, TextsFromTheMessageFile) {
  test::TempDir dir;
  test::write_file(dir / "m.msg", test::MsgFileBuilder()
                                      .add(871, {"Kaputte Datei"})
                                      .add(873, {"Satz nicht gefunden"})
                                      .add(889, {"%s: Datei kaputt (Code %d)\n"})
                                      .add(618, {"Datei fehlt"})
                                      .bytes());
  setenv("A_MESSAGE", (dir / "m.msg").c_str(), 1);
  char error[300];
  ASSERT_EQ(1, Amsg_init(error));
  EXPECT_EQ("f: Satz nicht gefunden\n", report(E_NOT_FOUND, "f").first);
  *fs_error_secondary() = 41;
  EXPECT_EQ("f: Datei kaputt (Code 41)\n", report(E_BROKEN, "f").first);
  errno = ENOENT;
  EXPECT_EQ("f: Datei fehlt\n", report(E_SYSERR, "f").first);
  EXPECT_EQ("f: Duplicate key\n", report(E_DUPLICATE, "f").first) << "not in the file";
  Amsg_shutdown();

  // A broken-file text whose conversions differ is not used.
  test::write_file(dir / "m.msg", test::MsgFileBuilder().add(889, {"%d: %s kaputt\n"}).bytes());
  ASSERT_EQ(1, Amsg_init(error));
  EXPECT_EQ("f: File broken (code 41)\n", report(E_BROKEN, "f").first);
  Amsg_shutdown();
}

}  // namespace
}  // namespace kel
