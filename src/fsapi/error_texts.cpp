// Error texts: the file-system codes and the system error numbers, each
// with its message number and built-in default text, and the reports that
// turn the current codes into one line on the error output.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "indexed/broken_codes.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "messages/msg.h"

namespace {

struct ErrorText {
  int number;  // code or errno value
  int32_t message;
  const char *text;
};

// Primary codes 0-18. E_SYSERR takes the system error text instead.
constexpr ErrorText kFsTexts[] = {
    {E_INTERNAL, 866, "Internal error"},
    {E_SYSERR, 0, nullptr},
    {E_PARAM, 867, "Invalid function parameter"},
    {E_TOO_MANY_FILES, 868, "Too many files opened"},
    {E_MODE_CLASH, 869, "I/O clashes with open mode"},
    {E_REC_LOCKED, 870, "Record locked"},
    {E_BROKEN, 871, "Broken file"},
    {E_DUPLICATE, 872, "Duplicate key"},
    {E_NOT_FOUND, 873, "Record not found"},
    {E_NO_CURRENT, 874, "Current record undefined"},
    {E_DISK_FULL, 191, "Disk full"},
    {E_FILE_LOCKED, 875, "File locked"},
    {E_REC_SIZE, 876, "Record size changed"},
    {E_FILE_TYPE, 877, "Incorrect file type"},
    {E_NO_MEMORY, 878, "Out of memory"},
    {E_NO_FILE, 879, "No such file"},
    {E_PERMISSION, 620, "Permission denied"},
    {E_UNSUPPORTED, 880, "Unsupported operation"},
    {E_LOCK_TABLE_FULL, 881, "Lock table full"},
};

constexpr ErrorText kSysTexts[] = {
    {ENOENT, 618, "No such file or directory"},
    {E2BIG, 611, "Argument list too long"},
    {ENOEXEC, 619, "Exec format error"},
    {EBADF, 1102, "Bad file number"},
    {ENOMEM, 612, "Not enough memory"},
    {EACCES, 620, "Permission denied"},
    {EEXIST, 615, "File exists"},
    {EXDEV, 623, "Cross-device link"},
    {EINVAL, 616, "Invalid argument"},
    {EMFILE, 617, "Too many open files"},
    {ENOSPC, 621, "No space left on device"},
    {EDOM, 614, "Math argument"},
    {ERANGE, 622, "Result too large"},
    {EDEADLK, 613, "Resource deadlock would occur"},
};

constexpr int32_t kUnknownSysMessage = 624;
constexpr const char *kUnknownSysText = "Unknown error";
constexpr int32_t kBrokenMessage = 889;
constexpr const char *kBrokenText = "%s: File broken (code %d)\n";
// An indexed file whose segment is missing (kBrokenMissingSegment): its
// report names the segment, as a missing file's report does. A file left
// open for update by a process that ended (kBrokenStaleWriter): the
// broken-file line is followed by one that tells the operator what to run.
// The check clears the condition when it finds the file sound; the rebuild
// command is named as one that may not be installed, so that the line
// holds for every build.
constexpr int32_t kStaleWriterMessage = 1210;
constexpr const char *kStaleWriterText =
    "%s: left open for update by a process that ended; run \"dorvex-tool check %s\", "
    "which clears this when the file is sound; otherwise restore the file from its "
    "backup, or run \"dorvex-tool rebuild %s\" where that command is installed\n";

}  // namespace

namespace {

// An errno value without a text of the system's own keeps message 624, so
// that a translated message file still serves, and gains the operating
// system's own description in parentheses: "Unknown error (Not a
// directory)". The text lives until the next call.
struct UnknownSysText {
  char text[256];
};
UnknownSysText g_unknown_sys;

}  // namespace

extern "C" const char *sys_error_text(int errno_value) {
  if (errno_value < 0) errno_value = errno;
  for (const ErrorText &t : kSysTexts) {
    if (t.number == errno_value) return Amsg_get(t.message, 0, t.text);
  }
  const char *text = Amsg_get(kUnknownSysMessage, 0, kUnknownSysText);
  snprintf(g_unknown_sys.text, sizeof g_unknown_sys.text, "%s (%s)", text, strerror(errno_value));
  return g_unknown_sys.text;
}

extern "C" void report_sys_error(const char *name) {
  const char *text = sys_error_text(-1);
  eprintf("%s: %s\n", name ? name : "", text);
}

extern "C" const char *fs_error_text(int code) {
  if (code == E_SYSERR) return sys_error_text(-1);
  if (code == E_DUPLICATE_ALTERNATE) return "Success: another record has the same alternate key";
  if (code < 0 || code >= static_cast<int>(sizeof kFsTexts / sizeof kFsTexts[0]))
    return "Unknown error code";
  const ErrorText &t = kFsTexts[code];
  return Amsg_get(t.message, 0, t.text);
}

extern "C" const char *report_fs_error(const char *name) {
  int code = *fs_error_code();
  if (code == E_SYSERR) {
    report_sys_error(name);
    return nullptr;
  }
  if (code > 99 || code < 0) return nullptr;
  if (code == E_BROKEN) {
    if (*fs_error_secondary() == kel::indexed::kBrokenMissingSegment &&
        fs_missing_file_name()[0] != '\0')
      name = fs_missing_file_name();
    eprintf(kel::msg_printf_text(kBrokenMessage, kBrokenText), name ? name : "",
            static_cast<int>(*fs_error_secondary()));
    if (*fs_error_secondary() == kel::indexed::kBrokenStaleWriter) {
      const char *n = name ? name : "";
      eprintf(kel::msg_printf_text(kStaleWriterMessage, kStaleWriterText), n, n, n);
    }
    return nullptr;
  }
  if (code == E_NO_FILE) name = fs_missing_file_name();
  const char *text = "unknown error";
  if (code < static_cast<int>(sizeof kFsTexts / sizeof kFsTexts[0])) text = fs_error_text(code);
  eprintf("%s: %s\n", name ? name : "", text);
  return text;
}
