// The error texts and reports, in one scripted run whose output is a
// golden file: each end of the primary table, a gap and codes beyond it,
// the secondary range (no text), broken files with their code, a missing
// file named instead of the name given (cut to 256 bytes), system errors
// with the table's own wording and its gaps, and texts taken from a
// message file where it has them, its broken-file text only when its
// conversions are the default's.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/golden.h"
#include "common/msg_file.h"
#include "common/test_util.h"
#include "kelfs/errors.h"
#include "messages/msg.h"

namespace kel {
namespace {

// Reports the code as `name`: what was written, then what was returned.
std::string report(int16_t code, const char *name = "cust.dat") {
  *fs_error_code() = code;
  test::StderrCapture err;
  const char *r = report_fs_error(name);
  return err.text() + "  returns " + (r ? r : "(null)") + "\n";
}

TEST(ErrorTexts, ReportsOfEveryKind) {
  std::string out;
  for (int16_t code : {0, 8, 18, 19, 99, 100, 150}) out += report(code);
  *fs_error_secondary() = 9;
  out += report(E_BROKEN);
  fs_set_missing_file_name("data/cust.vix");
  out += report(E_NO_FILE);
  fs_set_missing_file_name(std::string(400, 'n').c_str());
  EXPECT_EQ(std::string(256, 'n'), fs_missing_file_name());
  errno = ENOENT;
  out += report(E_SYSERR);
  {
    test::StderrCapture err;
    errno = EACCES;
    report_sys_error("x");
    out += err.text();
  }
  for (int e : {9, 33, 5, 0}) out += std::to_string(e) + ": " + sys_error_text(e) + "\n";
  errno = 28;
  out += std::string("errno 28: ") + sys_error_text(-1) + "\n";

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
  out += report(E_NOT_FOUND, "f");
  *fs_error_secondary() = 41;
  out += report(E_BROKEN, "f");
  errno = ENOENT;
  out += report(E_SYSERR, "f");
  out += report(E_DUPLICATE, "f");  // not in the file
  Amsg_shutdown();
  test::write_file(dir / "m.msg", test::MsgFileBuilder().add(889, {"%d: %s kaputt\n"}).bytes());
  ASSERT_EQ(1, Amsg_init(error));
  out += report(E_BROKEN, "f");
  Amsg_shutdown();
  unsetenv("A_MESSAGE");
  EXPECT_TRUE(test::matches_golden("fsapi/error_reports.txt", out));
}

}  // namespace
}  // namespace kel
