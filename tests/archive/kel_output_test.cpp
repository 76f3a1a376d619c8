// kel -o end to end: the archive stream compared byte for byte with the
// model, the type letters of the list and of the files' own bytes, names,
// options, usage texts and exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

// Every plain file of the fixture; b.bin is marked binary.
const char kList[] = "a.txt\nsub/b.bin b\nmagic\nmagic20\nthree\nempty\nlink\n";

class KelOutput : public KelTest {
 protected:
  KelOutput() {
    write_file(dir_ / "a.txt", "first line\nsecond line\n");
    chmod((dir_ / "a.txt").c_str(), 0640);
    mkdir((dir_ / "sub").c_str(), 0755);
    write_file(dir_ / "sub/b.bin", random_data(70000, 1));
    // Either member magic in the first bytes makes a binary member; three
    // bytes of it are too few.
    write_file(dir_ / "magic", std::string("\x10\x12\x14\x21payload", 11));
    write_file(dir_ / "magic20", std::string("\x10\x12\x14\x20rest", 8));
    write_file(dir_ / "three", std::string("\x10\x12\x14", 3));
    write_file(dir_ / "empty", "");
    EXPECT_EQ(0, symlink("a.txt", (dir_ / "link").c_str()));  // counts as a plain file
  }

  std::string member(const std::string &name, char type, const std::string &stored = "") {
    return model_file_member(dir_.path(), name, type, stored);
  }
  // The members of kList: `text` for the text files, `binary` for b.bin.
  std::string members(char text = 'T', char binary = 'B') {
    return member("a.txt", text) + member("sub/b.bin", binary) + member("magic", 'B') +
           member("magic20", 'B') + member("three", text) + member("empty", text) +
           member("link", text);
  }
};

std::string blocks(const std::string &archive, int block = 512) {
  return std::to_string(archive.size() / static_cast<size_t>(block)) + " blocks\n";
}

TEST_F(KelOutput, RecordSizesAndMediaBlocks) {
  struct Case {
    const char *option;
    int record, block;
  } cases[] = {{"-o", 512, 512},
               {"-ob", 5120, 512},
               {"-ok", 1024, 1024},
               {"-okb", 5120, 1024},
               {"-obk", 1024, 1024}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult r = kel({c.option}, kList);
    ASSERT_EQ(0, r.status) << r.err;
    std::string want = model_archive(members(), c.record, c.block);
    EXPECT_EQ(masked(want), masked(r.out));
    EXPECT_EQ(blocks(want, c.block), r.err);
  }
}

TEST_F(KelOutput, TypeLettersOfTheListAndOptions) {
  // A letter after a blank at the end of a line; -p makes every plain file
  // binary; -o1 writes an old-style archive, where magic bytes still win.
  struct Case {
    const char *option, *list;
    std::string members;
    int version;
  } cases[] = {{"-o", "a.txt b\nsub/b.bin x\nmagic\n",
                member("a.txt", 'B') + member("sub/b.bin", 'T') + member("magic", 'B'), 6},
               {"-OP", kList, members('B', 'B'), 6},
               {"-o1", kList, members('N', 'N'), 5}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult r = kel({c.option}, c.list);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(masked(model_archive(c.members, 512, 512, c.version)), masked(r.out));
  }
  // The last line keeps its letter without a final newline.
  RunResult r = kel({"-o"}, "a.txt b");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(masked(model_archive(member("a.txt", 'B'))), masked(r.out));
  // A media size that is not a number is refused, not taken as no limit.
  r = kel({"-os", "abc"}, "a.txt\n");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Media size must be 0 (no limit) or from 2 to 99999 blocks\n", r.err);
}

TEST_F(KelOutput, NamesAreConvertedUnlessAskedNotTo) {
  for (const char *name : {"a:b", "c\\d", "TRAILER!!!"}) write_file(dir_ / name, name);
  RunResult r = kel({"-o"}, "a:b\nc\\d\nTRAILER!!!\n");
  EXPECT_EQ(1, r.status);
  std::string want = model_archive(member("a:b", 'T', "a/b") + member("c\\d", 'T', "c/d"));
  EXPECT_EQ(masked(want), masked(r.out));
  // A member of the trailer's name would end the archive there.
  EXPECT_EQ("TRAILER!!!: the name that ends an archive, not archived\n" + blocks(want), r.err);
  r = kel({"-ou"}, "a:b\n");
  EXPECT_EQ(masked(model_archive(member("a:b", 'T'))), masked(r.out));
}

TEST_F(KelOutput, NamedArchiveListFileAndHeaderFile) {
  write_file(dir_ / "list", "a.txt\nmagic\n");
  write_file(dir_ / "hdr", "LABEL FOR THE OPERATOR\n");
  RunResult r = kel({"-ohfl", "hdr", "out.kel", "list", "ignored", "words"});
  ASSERT_EQ(0, r.status) << r.err;
  std::string archive = model_archive(member("a.txt", 'T') + member("magic", 'B'));
  EXPECT_EQ(masked("LABEL FOR THE OPERATOR\n" + archive, 23),
            masked(read_file(dir_ / "out.kel"), 23));
  EXPECT_EQ("", r.out);
  EXPECT_EQ(blocks(archive), r.err);  // the header file is not counted
}

TEST_F(KelOutput, ExitStatusCountsTheFilesNotArchived) {
  RunResult r = kel({"-ov"}, "a.txt\nnope1\nsub\nmagic\nnope2\n");
  EXPECT_EQ(3, r.status);
  std::string want = model_archive(member("a.txt", 'T') + member("magic", 'B'));
  EXPECT_EQ(masked(want), masked(r.out));
  EXPECT_EQ(
      "a.txt\nnope1\nnope1: No such file or directory\nsub\nmagic\nnope2\n"
      "nope2: No such file or directory\n" +
          blocks(want),
      r.err);
  // Long lists of missing files do not wrap the status round to success.
  std::string list;
  for (int i = 0; i < 300; ++i) list += "missing" + std::to_string(i) + "\n";
  EXPECT_EQ(255, kel({"-o"}, list).status);
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
  std::string want = model_archive(member(name, 'T', whole) + member(name, 'B', typed));
  EXPECT_EQ(masked(want), masked(r.out));
  EXPECT_EQ(whole + "...: list line too long\n" + blocks(want), r.err);
}

TEST_F(KelOutput, MissingWordsAndUnwritableArchivesEndTheRun) {
  // The usage and the other option errors: options_test. Here f has
  // created its file when s finds no word left.
  RunResult r = kel({"-ofs", "arch"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Media size not specified\n", r.err);
  EXPECT_TRUE(file_exists(dir_ / "arch"));

  write_file(dir_ / "hdr", std::string(3000, 'h'));
  SpawnOptions o = options({"-oh", "hdr"}, "a.txt\n");
  o.stdout_path = dir_ / "out";
  o.fsize_limit = 1000;
  r = spawn_kel(o);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("Can't write header\n", r.err);

  // An archive that refuses a write ends the run at once: no block total.
  r = kel({"-of", "/dev/full"}, "a.txt\n");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("output: No space left on device\n", r.err);
}

}  // namespace
}  // namespace kel::test
