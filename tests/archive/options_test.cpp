#include "archive/options.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "archive/transfer.h"
#include "common/spawn.h"
#include "common/test_util.h"

namespace kel::archive {
namespace {

struct Parsed {
  OptionResult result;
  int first_name = -1;
  std::string messages;
};

Parsed parse(std::vector<std::string> words) {
  reset_transfer();
  words.insert(words.begin(), "kel");
  std::vector<char *> argv;
  for (auto &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  test::StderrCapture err;
  Parsed p;
  p.result = parse_options(static_cast<int>(words.size()), argv.data(), &p.first_name);
  p.messages = err.text();
  return p;
}

const std::string kUsage =
    "usage: kel -o[bgkpruv] [-f outfile] [-h headerfile] [-l listfile] [-s blocks]\n"
    "       kel -i[cdgkmnstv2345] [-f infile] [-h bytes] file ...\n";

TEST(Options, RunLetterAndUsage) {
  EXPECT_EQ(OptionResult::kFailed, parse({}).result);
  EXPECT_EQ(kUsage, parse({}).messages);
  EXPECT_EQ(kUsage, parse({"x"}).messages);
  EXPECT_EQ(kUsage, parse({"-x"}).messages);
  // The run letter is taken as written; the other letters are folded.
  EXPECT_EQ(kUsage, parse({"-Ov"}).messages);
  // A word wholly in capitals is read in lower case.
  Parsed p = parse({"-OV"});
  EXPECT_EQ(OptionResult::kOutputRun, p.result);
  EXPECT_EQ(1, transfer().verbose);
  EXPECT_EQ(OptionResult::kInputRun, parse({"-ITV"}).result);
  EXPECT_EQ(OptionResult::kVersion, parse({"-V"}).result);
  EXPECT_EQ(kUsage, parse({"-Itv"}).messages);
  p = parse({"-oV"});
  EXPECT_EQ(OptionResult::kOutputRun, p.result);
  EXPECT_EQ(1, transfer().verbose);
  EXPECT_EQ(OptionResult::kVersion, parse({"-v"}).result);
  EXPECT_EQ(kUsage, parse({"-oq"}).messages);
  EXPECT_EQ(kUsage, parse({"-iz"}).messages);
  EXPECT_EQ(kUsage, parse({"-ir"}).messages);  // r is an output letter only
}

TEST(Options, LettersTakeWordsInTheirOrder) {
  test::TempDir dir(true);
  test::write_file("list", "");
  Parsed p = parse({"-ofl", "arch", "list", "ignored"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result) << p.messages;
  EXPECT_STREQ("arch", transfer().archive_path);
  EXPECT_TRUE(test::file_exists("arch"));
  EXPECT_EQ(4, p.first_name);

  p = parse({"-okfs", "out", "2000"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result) << p.messages;
  EXPECT_STREQ("out", transfer().archive_path);
  EXPECT_EQ(2000, transfer().media_size);
  EXPECT_EQ(1024, transfer().media_block);
  EXPECT_EQ(1, transfer().blocks_per_record);

  // A later letter overrides: 1024-byte blocks, 5120-byte records.
  p = parse({"-okb"});
  EXPECT_EQ(1024, transfer().media_block);
  EXPECT_EQ(5120, transfer().record_size);
  EXPECT_EQ(5, transfer().blocks_per_record);
  p = parse({"-obk"});
  EXPECT_EQ(1024, transfer().record_size);

  p = parse({"-O1GPRUV"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result);
  p = parse({"-o1GPRUV"});
  ASSERT_EQ(OptionResult::kOutputRun, p.result);
  const TransferState &t = transfer();
  EXPECT_EQ(5, t.format_version);
  EXPECT_EQ(1, t.bell);
  EXPECT_EQ(0, t.text_default);
  EXPECT_EQ(1, t.binary_forced);
  EXPECT_EQ(1, t.raw_indexed);
  EXPECT_EQ(0, t.convert_names);
  EXPECT_EQ(STDOUT_FILENO, t.archive_fd);

  p = parse({"-icdmnstuvwp", "a", "b"});
  ASSERT_EQ(OptionResult::kInputRun, p.result);
  EXPECT_EQ(2, p.first_name);
  EXPECT_EQ(1, t.flatten);
  EXPECT_EQ(1, t.make_dirs);
  EXPECT_EQ(1, t.set_times);
  EXPECT_EQ(1, t.keep_owner_off);
  EXPECT_EQ(1, t.search);
  EXPECT_EQ(1, t.table);
  EXPECT_EQ(0, t.convert_names);
  EXPECT_EQ(1, t.verbose);
  EXPECT_EQ(1, t.add_write);
  EXPECT_EQ(0, t.text_default);
  EXPECT_EQ(STDIN_FILENO, t.archive_fd);
  EXPECT_EQ(OptionResult::kInputRun, parse({"-i2345"}).result);

  p = parse({"-ih", "2b"});
  EXPECT_EQ(1024, transfer().header_skip);
  p = parse({"-ih", "100"});
  EXPECT_EQ(100, transfer().header_skip);
  p = parse({"-ihk", "7x"});
  EXPECT_EQ(7, transfer().header_skip);
  EXPECT_EQ(1024, transfer().media_block);
}

TEST(Options, MissingWordsAndUnopenablePaths) {
  test::TempDir dir(true);
  struct Case {
    std::vector<std::string> words;
    const char *message;
  } cases[] = {
      {{"-of"}, "Output file missing \n"},     {{"-ol"}, "Input file list missing\n"},
      {{"-os"}, "Media size not specified\n"}, {{"-oh"}, "Header file not specified\n"},
      {{"-if"}, "Input file missing \n"},      {{"-ih"}, "Header size missing\n"},
  };
  for (const auto &c : cases) {
    Parsed p = parse(c.words);
    EXPECT_EQ(OptionResult::kFailed, p.result);
    EXPECT_EQ(c.message, p.messages);
  }
  // f has already created its file when s finds no word.
  Parsed p = parse({"-ofs", "arch"});
  EXPECT_EQ("Media size not specified\n", p.messages);
  EXPECT_TRUE(test::file_exists("arch"));

  p = parse({"-if", "nothere"});
  EXPECT_EQ("nothere: No such file or directory\n", p.messages);
  p = parse({"-oh", "nothere"});
  EXPECT_EQ("nothere: No such file or directory\n", p.messages);
  p = parse({"-ol", "nothere"});
  EXPECT_EQ("nothere: No such file or directory\n", p.messages);
  p = parse({"-of", "no/such/dir/arch"});
  EXPECT_EQ("no/such/dir/arch: No such file or directory\n", p.messages);
}

TEST(Options, MediaSizeMustLeaveRoomForARecord) {
  test::TempDir dir(true);
  EXPECT_EQ(OptionResult::kOutputRun, parse({"-os", "2"}).result);
  EXPECT_EQ(OptionResult::kOutputRun, parse({"-os", "99999"}).result);
  EXPECT_EQ(OptionResult::kOutputRun, parse({"-os", "0"}).result);
  Parsed p = parse({"-os", "1"});
  EXPECT_EQ(OptionResult::kFailed, p.result);
  EXPECT_EQ("Media size must be 0 (no limit) or from 2 to 99999 blocks\n", p.messages);
  p = parse({"-obs", "10"});
  EXPECT_EQ("Media size must be 0 (no limit) or from 11 to 99999 blocks\n", p.messages);
  EXPECT_EQ(OptionResult::kFailed, parse({"-os", "100000"}).result);
  EXPECT_EQ(OptionResult::kFailed, parse({"-os", "-5"}).result);
}

}  // namespace
}  // namespace kel::archive
