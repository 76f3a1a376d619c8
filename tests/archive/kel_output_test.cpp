// kel -o end to end: the archive stream compared byte for byte with the
// model, the list's type letters, the options, usage texts and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"
#include "common/test_util.h"

namespace kel::test {
namespace {

std::string masked(std::string archive, size_t at = 0) {
  mask_volume_time(archive, at);
  return archive;
}

class KelOutput : public testing::Test {
 protected:
  KelOutput() {
    mkdir(dir_.path().c_str(), 0755);
    write_file(dir_ / "a.txt", "first line\nsecond line\n");
    mkdir((dir_ / "sub").c_str(), 0755);
    write_file(dir_ / "sub/b.bin", random_data(70000, 1));
    write_file(dir_ / "magic", std::string("\x10\x12\x14\x21payload", 11));
    chmod((dir_ / "a.txt").c_str(), 0640);
  }

  RunResult kel(std::vector<std::string> args, const std::string &input) {
    SpawnOptions o;
    o.args = std::move(args);
    o.input = input;
    o.cwd = dir_.path();
    return spawn_kel(o);
  }

  std::string members(char text_letter = 'T', char binary_letter = 'B') {
    return model_file_member(dir_.path(), "a.txt", text_letter) +
           model_file_member(dir_.path(), "sub/b.bin", binary_letter) +
           model_file_member(dir_.path(), "magic", 'B');
  }

  TempDir dir_;
};

TEST_F(KelOutput, ArchivesToStandardOutputToTheByte) {
  RunResult r = kel({"-o"}, "a.txt\nsub/b.bin b\nmagic\n");
  ASSERT_EQ(0, r.status) << r.err;
  std::string want = model_archive(members());
  EXPECT_EQ(masked(want), masked(r.out));
  EXPECT_EQ(std::to_string(want.size() / 512) + " blocks\n", r.err);
}

TEST_F(KelOutput, RecordSizesAndMediaBlocks) {
  struct Case {
    const char *option;
    int record, block;
  } cases[] = {{"-ob", 5120, 512}, {"-ok", 1024, 1024}, {"-okb", 5120, 1024}, {"-obk", 1024, 1024}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult r = kel({c.option}, "a.txt\nsub/b.bin b\nmagic\n");
    ASSERT_EQ(0, r.status) << r.err;
    std::string want = model_archive(members(), c.record, c.block);
    EXPECT_EQ(masked(want), masked(r.out));
    EXPECT_EQ(0u, (r.out.size() - static_cast<size_t>(c.block)) % static_cast<size_t>(c.record));
    EXPECT_EQ(std::to_string(want.size() / static_cast<size_t>(c.block)) + " blocks\n", r.err);
  }
}

TEST_F(KelOutput, TypeLettersOfTheListAndOptions) {
  // A blank and a letter at the end of a line; -op makes every plain file
  // binary; -o1 writes an old-style archive.
  RunResult r = kel({"-o"}, "a.txt b\nsub/b.bin x\nmagic\n");
  EXPECT_EQ(masked(model_archive(members('B', 'T'))), masked(r.out));
  r = kel({"-OP"}, "a.txt\nsub/b.bin\nmagic\n");
  EXPECT_EQ(masked(model_archive(members('B', 'B'))), masked(r.out));
  r = kel({"-o1"}, "a.txt\nsub/b.bin b\nmagic\n");
  EXPECT_EQ(masked(model_archive(members('N', 'N'), 512, 512, 5)), masked(r.out));
  // Without a final newline the letter is not recognised.
  r = kel({"-o"}, "a.txt b");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("a.txt b: No such file or directory\n2 blocks\n", r.err);
}

TEST_F(KelOutput, NamedArchiveListFileAndHeaderFile) {
  write_file(dir_ / "list", "a.txt\nmagic\n");
  write_file(dir_ / "hdr", "LABEL FOR THE OPERATOR\n");
  RunResult r = kel({"-ohfl", "hdr", "out.kel", "list", "ignored", "words"}, "");
  ASSERT_EQ(0, r.status) << r.err;
  std::string archive = model_archive(model_file_member(dir_.path(), "a.txt", 'T') +
                                      model_file_member(dir_.path(), "magic", 'B'));
  std::string want = "LABEL FOR THE OPERATOR\n" + archive;
  EXPECT_EQ(masked(want, 23), masked(read_file(dir_ / "out.kel"), 23));
  EXPECT_EQ("", r.out);
  // The header file is not counted.
  EXPECT_EQ(std::to_string(archive.size() / 512) + " blocks\n", r.err);
}

TEST_F(KelOutput, ExitStatusCountsTheFilesNotArchived) {
  RunResult r = kel({"-ov"}, "a.txt\nnope1\nsub\nmagic\nnope2\n");
  EXPECT_EQ(3, r.status);
  std::string want = model_archive(model_file_member(dir_.path(), "a.txt", 'T') +
                                   model_file_member(dir_.path(), "magic", 'B'));
  EXPECT_EQ(masked(want), masked(r.out));
  EXPECT_EQ(
      "a.txt\nnope1\nnope1: No such file or directory\nsub\nmagic\nnope2\n"
      "nope2: No such file or directory\n" +
          std::to_string(want.size() / 512) + " blocks\n",
      r.err);
  // Long lists of missing files do not wrap the status round to success.
  std::string list;
  for (int i = 0; i < 300; ++i) list += "missing" + std::to_string(i) + "\n";
  r = kel({"-o"}, list);
  EXPECT_EQ(255, r.status);
}

TEST_F(KelOutput, ListLinesOfTheLongestLengthAndLonger) {
  std::string name(100, 'n');
  write_file(dir_ / name, "x");
  // "./" followed by slashes keeps the path valid while it grows.
  auto path_of = [&](size_t length) {
    std::string path = "./";
    while (path.size() < length - name.size()) path += "/";
    return path + name;
  };
  // 149 characters: a name alone, or a name with its type letter.
  std::string whole = path_of(149), typed = path_of(147);
  RunResult r = kel({"-o"}, whole + "\n" + typed + " b\n" + whole + "xx\n");
  EXPECT_EQ(1, r.status) << r.err;
  std::string want = model_archive(model_file_member(dir_.path(), name, 'T', whole) +
                                   model_file_member(dir_.path(), name, 'B', typed));
  EXPECT_EQ(masked(want), masked(r.out));
  EXPECT_EQ(whole + "...: list line too long\n" + std::to_string(want.size() / 512) + " blocks\n",
            r.err);
}

TEST_F(KelOutput, UsageAndMissingWordsEndTheRun) {
  const std::string usage =
      "usage: kel -o[bgkpruv] [-f outfile] [-h headerfile] [-l listfile] [-s blocks]\n"
      "       kel -i[cdgkmnstv2345] [-f infile] [-h bytes] file ...\n";
  for (auto args : std::vector<std::vector<std::string>>{{}, {"-Ov"}}) {
    RunResult r = kel(args, "");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(usage, r.err);
    EXPECT_EQ("", r.out);
  }
  // f has created its file when s finds no word left.
  RunResult r = kel({"-ofs", "arch"}, "");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Media size not specified\n", r.err);
  EXPECT_TRUE(file_exists(dir_ / "arch"));
}

TEST_F(KelOutput, UnwritableHeaderFileStopsTheRun) {
  write_file(dir_ / "hdr", std::string(3000, 'h'));
  SpawnOptions o;
  o.args = {"-oh", "hdr"};
  o.input = "a.txt\n";
  o.cwd = dir_.path();
  o.stdout_path = dir_ / "out";
  o.fsize_limit = 1000;
  RunResult r = spawn_kel(o);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Can't write header\n", r.err);
}

}  // namespace
}  // namespace kel::test
