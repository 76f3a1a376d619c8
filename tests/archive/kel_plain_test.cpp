// kel's restores of plain files interrupted by a signal. (Archives
// compared byte for byte with the model are rows of archive/output.txt;
// the modes, owners and times of restored files rows of archive/input.txt;
// the demo restores a tree and compares it with its source.)
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

class KelPlain : public KelTest {
 protected:
  KelPlain() { mkdir((dir_ / "out").c_str(), 0755); }
  std::string out(const std::string &name) { return dir_ / ("out/" + name); }
};

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
