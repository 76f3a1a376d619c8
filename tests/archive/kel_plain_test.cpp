// kel and plain files end to end: archives compared byte for byte with the
// model (record sizes, media blocks, type letters), and restores
// interrupted by a signal. (The modes, owners and times of restored files
// are rows of archive/input.txt; the demo restores a tree and compares it
// with its source.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "archive/archive_model.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

// Every plain file of the fixture; b.bin is marked binary.
const char kList[] = "a.txt\nsub/b.bin b\nmagic\nmagic20\nthree\nempty\nlink\n";

class KelPlain : public KelTest {
 protected:
  KelPlain() {
    write_file(dir_ / "a.txt", "first line\nsecond line\n");
    chmod((dir_ / "a.txt").c_str(), 0640);
    mkdir((dir_ / "sub").c_str(), 0755);
    mkdir((dir_ / "out").c_str(), 0755);
    write_file(dir_ / "sub/b.bin", random_data(70000, 1));
    // Either member magic in the first bytes makes a binary member; three
    // bytes of it are too few.
    write_file(dir_ / "magic", std::string("\x10\x12\x14\x21payload", 11));
    write_file(dir_ / "magic20", std::string("\x10\x12\x14\x20rest", 8));
    write_file(dir_ / "three", std::string("\x10\x12\x14", 3));
    write_file(dir_ / "empty", "");
    EXPECT_EQ(0, symlink("a.txt", (dir_ / "link").c_str()));  // counts as a plain file
  }
  std::string member(const std::string &name, char type) {
    return model_file_member(dir_.path(), name, type);
  }
  // The members of kList: `text` for the text files, `binary` for b.bin.
  std::string members(char text = 'T', char binary = 'B') {
    return member("a.txt", text) + member("sub/b.bin", binary) + member("magic", 'B') +
           member("magic20", 'B') + member("three", text) + member("empty", text) +
           member("link", text);
  }
  std::string out(const std::string &name) { return dir_ / ("out/" + name); }
};

TEST_F(KelPlain, ArchivesToTheByte) {
  // Record sizes and media blocks (a later letter overrides); a type
  // letter after a blank at the end of a list line; -p makes every plain
  // file binary; -o1 writes an old-style archive, where magic bytes still
  // win; the last line keeps its letter without a final newline.
  struct {
    const char *option, *list;
    std::string members;
    int record = 512, block = 512, version = 6;
  } cases[] = {{"-o", kList, members()},
               {"-ob", kList, members(), 5120},
               {"-ok", kList, members(), 1024, 1024},
               {"-okb", kList, members(), 5120, 1024},
               {"-obk", kList, members(), 1024, 1024},
               {"-o", "a.txt b\nsub/b.bin x\nmagic\n",
                member("a.txt", 'B') + member("sub/b.bin", 'T') + member("magic", 'B')},
               {"-OP", kList, members('B', 'B')},
               {"-o1", kList, members('N', 'N'), 512, 512, 5},
               {"-o", "a.txt b", member("a.txt", 'B')}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.list);
    RunResult r = kel({c.option}, c.list);
    ASSERT_EQ(0, r.status) << r.err;
    std::string want = model_archive(c.members, c.record, c.block, c.version);
    EXPECT_EQ(masked(want), masked(r.out));
    EXPECT_EQ(std::to_string(want.size() / static_cast<size_t>(c.block)) + " blocks\n", r.err);
  }
}

TEST_F(KelPlain, InterruptedRestoresLeaveNothingThatLooksRestored) {
  // kel -i reads from a pipe that stops in the middle of a member; then a
  // signal: the member is removed and named, the files before it stay.
  ModelIndexed x = sample_indexed();
  for (int i = 0; i < 500; ++i) x.records.push_back(std::to_string(1000 + i) + "1234");
  const std::string big = model_plain("big", random_data(300000, 9), 'T', 0100644, 0, 0, 1);
  struct {
    int signo;
    std::string member, name;
    size_t sent;  // bytes of the member's data in the pipe (whole records reach kel)
  } cases[] = {{SIGTERM, big, "big", 100000},
               {SIGINT, model_v6_member("idx", x), "idx", 2000},
               {SIGHUP, big, "big", 1000}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.signo);
    const std::string stream =
        model_archive(model_plain("first", "complete", 'T', 0100644, 0, 0, 1) + c.member);
    const size_t cut = stream.find(c.name) + c.name.size() + c.sent;
    ASSERT_EQ(0, mkfifo((dir_ / "pipe").c_str(), 0600));
    SpawnOptions o = options({"-i"}, "", "out");
    o.stdin_path = dir_ / "pipe";
    PtySession s(o);
    int fd = open((dir_ / "pipe").c_str(), O_WRONLY);
    ASSERT_EQ(static_cast<ssize_t>(cut), write(fd, stream.data(), cut));
    // The member's file (or its temporary file) is there: kel waits for
    // the rest of the member.
    for (int i = 0; i < 3000 && folder_entries(out("")).size() < 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(0, kill(s.pid(), c.signo));
    EXPECT_EQ(1, s.wait());
    close(fd);
    EXPECT_EQ("Interrupted by signal " + std::to_string(c.signo) + "\nTransfer aborted\n" + c.name +
                  ": not restored completely, removed\n",
              s.transcript());
    EXPECT_EQ(std::vector<std::string>{"first"}, folder_entries(out("")));
    unlink((dir_ / "pipe").c_str());
    for (const std::string &left : folder_entries(out(""))) unlink(out(left).c_str());
  }
}

}  // namespace
}  // namespace kel::test
