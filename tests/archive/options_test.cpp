#include "archive/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/transfer.h"
#include "common/test_util.h"
#include "config/config.h"
#include "kelfs/kelfs.h"

namespace kel::archive {
namespace {

struct Parsed {
  OptionResult result;
  int first_name = -1;
  std::string messages;
};

// Parses into `t` from its initial values.
Parsed parse(TransferState &t, std::vector<std::string> words) {
  t = TransferState{};
  words.insert(words.begin(), "kel");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  test::StderrCapture err;
  Parsed p;
  p.result = parse_options(t, static_cast<int>(words.size()), argv.data(), &p.first_name);
  p.messages = err.text();
  return p;
}

const std::string kUsage =
    "usage: kel -o[bgkpruv] [-f outfile] [-h headerfile] [-l listfile] [-s blocks]\n"
    "       kel -i[cdgkmnstv2345] [-f infile] [-h bytes] file ...\n";

TEST(Options, RunLetterAndUsage) {
  // The run letter is taken as written and the other letters are folded,
  // but a word wholly in capitals is read in lower case.
  using R = OptionResult;
  struct Case {
    std::vector<std::string> words;
    OptionResult result;
  } cases[] = {{{}, R::kFailed},         {{"x"}, R::kFailed},      {{"-x"}, R::kFailed},
               {{"-Ov"}, R::kFailed},    {{"-Itv"}, R::kFailed},   {{"-oq"}, R::kFailed},
               {{"-ir"}, R::kFailed},    {{"-o2"}, R::kFailed},    {{"-OV"}, R::kOutputRun},
               {{"-oV"}, R::kOutputRun}, {{"-ITV"}, R::kInputRun}, {{"-v"}, R::kVersion},
               {{"-V"}, R::kVersion}};
  TransferState t;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words.empty() ? "(none)" : c.words[0]);
    Parsed p = parse(t, c.words);
    EXPECT_EQ(c.result, p.result);
    EXPECT_EQ(c.result == R::kFailed ? kUsage : "", p.messages);
    if (c.result == R::kOutputRun) {
      EXPECT_EQ(1, t.verbose);
    }
  }
}

// What each letter switches on is seen in the end-to-end runs; here: the
// words that letters take, in the order of the letters, and the numbers.
TEST(Options, LettersTakeWordsInTheirOrder) {
  test::TempDir dir(true);
  v5_init_cfg();
  test::write_file("list", "");
  TransferState t;
  Parsed p = parse(t, {"-ofl", "arch", "list", "ignored"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result) << p.messages;
  EXPECT_STREQ("arch", t.archive_path);
  EXPECT_TRUE(test::file_exists("arch"));
  EXPECT_EQ(4, p.first_name);
  p = parse(t, {"-okfs", "out", "2000", "a"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result) << p.messages;
  EXPECT_STREQ("out", t.archive_path);
  EXPECT_EQ(2000, t.media_size);
  EXPECT_EQ(1024, t.media_block);
  EXPECT_EQ(4, p.first_name);
  // A later letter overrides: 1024-byte blocks, 5120-byte records.
  parse(t, {"-okb"});
  EXPECT_EQ(5, t.blocks_per_record);
  parse(t, {"-obk"});
  EXPECT_EQ(1024, t.record_size);
  // Header bytes to skip: a number of bytes, or of 512-byte blocks with b;
  // the number ends at its last digit.
  for (auto [word, bytes] : {std::pair{"2b", 1024}, {"100", 100}, {"7x", 7}}) {
    parse(t, {"-ih", word});
    EXPECT_EQ(bytes, t.header_skip) << word;
  }
  // The last digit is the version of the indexed files a restore makes.
  parse(t, {"-i25"});
  EXPECT_EQ(5, cfg_get_short("V_VERSION", 0));
  EXPECT_EQ(STDIN_FILENO, t.archive_fd);
}

TEST(Options, MissingWordsUnopenablePathsAndMediaSizes) {
  test::TempDir dir(true);
  struct Case {
    std::vector<std::string> words;
    std::string message;
  } cases[] = {
      {{"-of"}, "Output file missing \n"},
      {{"-ol"}, "Input file list missing\n"},
      {{"-os"}, "Media size not specified\n"},
      {{"-oh"}, "Header file not specified\n"},
      {{"-if"}, "Input file missing \n"},
      {{"-ih"}, "Header size missing\n"},
      {{"-if", "nothere"}, "nothere: No such file or directory\n"},
      {{"-oh", "nothere"}, "nothere: No such file or directory\n"},
      {{"-ol", "nothere"}, "nothere: No such file or directory\n"},
      {{"-of", "no/such/dir/arch"}, "no/such/dir/arch: No such file or directory\n"},
      // The media size must leave room for the header and one record and
      // fit the 5-digit field of the volume header.
      {{"-os", "1"}, "Media size must be 0 (no limit) or from 2 to 99999 blocks\n"},
      {{"-obs", "10"}, "Media size must be 0 (no limit) or from 11 to 99999 blocks\n"},
      {{"-os", "100000"}, "Media size must be 0 (no limit) or from 2 to 99999 blocks\n"},
      {{"-os", "-5"}, "Media size must be 0 (no limit) or from 2 to 99999 blocks\n"},
  };
  TransferState t;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words[0]);
    Parsed p = parse(t, c.words);
    EXPECT_EQ(OptionResult::kFailed, p.result);
    EXPECT_EQ(c.message, p.messages);
  }
  for (const char *size : {"0", "2", "99999"}) {
    EXPECT_EQ(OptionResult::kOutputRun, parse(t, {"-os", size}).result) << size;
  }
}

}  // namespace
}  // namespace kel::archive
