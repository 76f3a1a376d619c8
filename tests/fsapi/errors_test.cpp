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

TEST(ErrorTexts, PrimaryCodesUnknownCodesAndSecondaryRange) {
  // A text of each end of the table, a gap and codes beyond it, and the
  // secondary range, which has no text at all.
  struct {
    int16_t code;
    const char *out, *ret;
  } cases[] = {{0, "cust.dat: Internal error\n", "Internal error"},
               {18, "cust.dat: Lock table full\n", "Lock table full"},
               {19, "cust.dat: unknown error\n", "unknown error"},
               {99, "cust.dat: unknown error\n", "unknown error"},
               {100, "", "(null)"},
               {150, "", "(null)"}};
  for (const auto &c : cases) {
    EXPECT_EQ(std::make_pair(std::string(c.out), std::string(c.ret)), report(c.code)) << c.code;
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
  // The table's own wording where the C library's differs, and its gaps.
  EXPECT_STREQ("Bad file number", sys_error_text(9));
  EXPECT_STREQ("Math argument", sys_error_text(33));
  EXPECT_STREQ("Unknown error (Input/output error)", sys_error_text(5));
  EXPECT_STREQ("Unknown error (Success)", sys_error_text(0));
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
