#include "archive/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/texts.h"
#include "archive/transfer.h"
#include "archive/volume_header.h"
#include "config/config.h"
#include "kelfs/errors.h"

namespace kel::archive {

namespace {

// The next unused word for a letter that needs one, else its message.
const char *take_word(int argc, char **argv, int *next, const Text &missing) {
  if (*next >= argc) {
    say(missing);
    return nullptr;
  }
  return argv[(*next)++];
}

void set_archive_path(TransferState &t, const char *path) {
  snprintf(t.archive_path, sizeof t.archive_path, "%s", path);
}

// Opens the archive named by -f; a second -f replaces the first.
bool open_archive_path(TransferState &t, const char *path, int flags) {
  set_archive_path(t, path);
  int fd = open(path, flags | O_CLOEXEC, 0666);
  if (fd < 0) {
    report_sys_error(path);
    return false;
  }
  if (t.archive_fd > STDERR_FILENO) close(t.archive_fd);
  t.archive_fd = fd;
  return true;
}

// -ih: decimal digits, times 512 when a "b" follows them.
int32_t header_skip_of(const char *text) {
  int64_t value = 0;
  const char *p = text;
  while (isdigit(static_cast<unsigned char>(*p)) && value <= INT32_MAX)
    value = value * 10 + (*p++ - '0');
  if (*p == 'b') value *= 512;
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

// -os: a decimal number and nothing else. A word such as "abc" would read
// as 0, no limit, and fill a medium the operator meant to limit: it is
// kept as -1, which media_size_fits refuses.
int32_t media_size_of(const char *word) {
  char *end;
  errno = 0;
  long value = strtol(word, &end, 10);
  if (end == word || *end != '\0' || errno != 0 || value < 0 || value > INT32_MAX) return -1;
  return static_cast<int32_t>(value);
}

// The letters of each run; any other letter is a usage error.
constexpr const char *kOutputLetters = "1bfghklprsuv";
constexpr const char *kInputLetters = "2345cdfghkmnpstuvw";

// Applies one letter of the option word. f, h, p and s mean different
// things in the two runs.
bool apply_letter(TransferState &t, bool output, char letter, int argc, char **argv, int *next) {
  if (strchr(output ? kOutputLetters : kInputLetters, letter) == nullptr) {
    print_usage();
    return false;
  }
  const char *word;
  switch (letter) {
    case 'f':
      word = take_word(argc, argv, next, output ? kMsgOutputMissing : kMsgInputMissing);
      return word && open_archive_path(t, word, output ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY);
    case 'h':
      if (!output) {
        if ((word = take_word(argc, argv, next, kMsgHeaderSizeMissing)) == nullptr) return false;
        t.header_skip = header_skip_of(word);
        return true;
      }
      if ((word = take_word(argc, argv, next, kMsgHeaderFileMissing)) == nullptr) return false;
      if (t.header_fd >= 0) close(t.header_fd);
      t.header_fd = open(word, O_RDONLY | O_CLOEXEC);
      if (t.header_fd < 0) report_sys_error(word);
      return t.header_fd >= 0;
    case 'l':
      if ((word = take_word(argc, argv, next, kMsgListMissing)) == nullptr) return false;
      t.list_path = word;
      if (freopen(word, "r", stdin) != nullptr) return true;
      report_sys_error(word);
      return false;
    case 's':
      if (!output) {
        t.search = 1;
        return true;
      }
      if ((word = take_word(argc, argv, next, kMsgMediaSizeMissing)) == nullptr) return false;
      t.media_size = media_size_of(word);
      return true;
    case '1':
      t.format_version = kFormatOldStyle;
      break;
    case '2':
    case '3':
    case '4':
    case '5':
      cfg_set_short("V_VERSION", 0, static_cast<int16_t>(letter - '0'));
      break;
    case 'b':
      t.record_size = kRecordBig;
      break;
    case 'c':
      t.flatten = 1;
      break;
    case 'd':
      t.make_dirs = 1;
      break;
    case 'g':
      t.bell = 1;
      break;
    case 'k':
      t.media_block = kMediaBlockLarge;
      t.record_size = kMediaBlockLarge;
      break;
    case 'm':
      t.set_times = 1;
      break;
    case 'n':
      t.keep_owner_off = 1;
      break;
    case 'p':
      // On input only remembered: reading does not depend on it.
      t.text_default = 0;
      if (output) t.binary_forced = 1;
      break;
    case 'r':
      t.raw_indexed = 1;
      break;
    case 't':
      t.table = 1;
      break;
    case 'u':
      t.convert_names = 0;
      break;
    case 'v':
      t.verbose = 1;
      break;
    case 'w':
      t.add_write = 1;
      break;
  }
  return true;
}

// The media size goes into a 5-digit field of every volume header and must
// leave room for the header and one record.
bool media_size_fits(const TransferState &t) {
  if (t.media_size == 0) return true;
  int32_t least = 1 + t.blocks_per_record;
  if (t.media_size >= least && t.media_size <= kMaxMediaSize) return true;
  eprintf(printf_text_of(kMsgBadMediaSize), least);
  return false;
}

}  // namespace

void print_usage() {
  say(kMsgUsageOutput);
  say(kMsgUsageInput);
}

OptionResult parse_options(TransferState &t, int argc, char **argv, int *first_name) {
  if (argc < 2 || argv[1][0] != '-') {
    print_usage();
    return OptionResult::kFailed;
  }
  // The run letter is taken as written, so that -Ov is not an output run;
  // but a word written wholly in capitals, as a terminal in upper-case mode
  // sends it, is read in lower case: -OV is -ov.
  bool all_capitals = true;
  for (const char *p = argv[1] + 1; *p; ++p) {
    if (islower(static_cast<unsigned char>(*p))) all_capitals = false;
  }
  const char run = all_capitals ? static_cast<char>(tolower(static_cast<unsigned char>(argv[1][1])))
                                : argv[1][1];
  if (run == 'v') return OptionResult::kVersion;
  if (run != 'o' && run != 'i') {
    print_usage();
    return OptionResult::kFailed;
  }
  t.mode = run == 'o' ? kRunOutput : kRunInput;
  t.archive_fd = run == 'o' ? STDOUT_FILENO : STDIN_FILENO;
  int next = 2;
  for (const char *p = argv[1] + 2; *p; ++p) {
    char letter = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    if (!apply_letter(t, run == 'o', letter, argc, argv, &next)) return OptionResult::kFailed;
  }
  t.blocks_per_record = t.record_size / t.media_block;
  if (run == 'o' && !media_size_fits(t)) return OptionResult::kFailed;
  *first_name = next;
  return run == 'o' ? OptionResult::kOutputRun : OptionResult::kInputRun;
}

}  // namespace kel::archive
