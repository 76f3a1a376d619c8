// The operator dialogues of kel, driven through a pseudo-terminal: kel's
// error output is the terminal, the test reads each prompt from the master
// side, changes the "media" (renames files) and answers. Nothing sleeps;
// every step waits for the text it needs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

std::string volume_complete(int volume, int blocks) {
  return "Volume " + std::to_string(volume) + " complete, " + std::to_string(blocks) + " blocks\n";
}

std::string mount_prompt(int volume) {
  return "Please mount volume " + std::to_string(volume) + ", press return when ready: ";
}

std::string try_again(const std::string &why) {
  return why + "\nthen press return to try again: ";
}

const char kNoFilename[] = "Enter archive's filename to continue: ";

// Checks one volume's header (time masked) and returns its whole records.
std::string volume_records(const std::string &volume, int number, int media_size, int record) {
  EXPECT_EQ(masked(model_volume_header(6, number, media_size, record, 512)),
            masked(volume.substr(0, 512)))
      << "volume " << number;
  return volume.substr(
      512, (volume.size() - 512) / static_cast<size_t>(record) * static_cast<size_t>(record));
}

class KelDialogue : public KelTest {
 protected:
  // A fresh, empty medium at `path` (kel reopens it without creating it).
  void new_medium(const std::string &path) { write_file(dir_ / path, ""); }
  void change_medium(const std::string &from, const std::string &to) {
    ASSERT_EQ(0, rename((dir_ / from).c_str(), (dir_ / to).c_str()));
  }
  // The model's records of the plain file `name` alone in an archive.
  std::string records_of(const std::string &name, char type, size_t record) {
    return model_records(model_file_member(dir_.path(), name, type) + model_trailer(), record);
  }
};

TEST_F(KelDialogue, OutputVolumesOfAFixedSize) {
  // -s 100: the header and 99 records on each volume; -g rings the bell.
  // Volumes of other record sizes against the model: volume_test.
  write_file(dir_ / "big", random_data(60000, 1));
  // Return pressed before the full volume was moved away: it is not
  // written over, and the operator is asked again.
  PtySession s(options({"-ofsg", "arch", "100"}, "big\n"));
  ASSERT_TRUE(s.expect(volume_complete(1, 100) + mount_prompt(2) + "\a\a")) << s.transcript();
  s.send("");
  ASSERT_TRUE(s.expect("arch: holds volume 1 of this archive, not overwritten\n" +
                       std::string(kNoFilename)))
      << s.transcript();
  change_medium("arch", "vol1");
  new_medium("arch");
  s.send("arch");
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ("120 blocks\n", s.unread());
  std::string vol1 = read_file(dir_ / "vol1");
  EXPECT_EQ(512u * 100, vol1.size());
  std::string payload =
      volume_records(vol1, 1, 100, 512) + volume_records(read_file(dir_ / "arch"), 2, 100, 512);
  EXPECT_TRUE(records_of("big", 'T', 512) == payload);
}

TEST_F(KelDialogue, InputAsksAgainUntilTheRightVolumeIsMounted) {
  std::string data = random_data(60000, 3);
  std::string stream = model_records(
      model_plain(0100644, 0, 0, 1000000000, "restored", data, 'B') + model_trailer(), 512);
  write_file(dir_ / "arch", model_volume_header(6, 1, 100, 512, 512) + stream.substr(0, 99 * 512));
  write_file(dir_ / "vol2", model_volume_header(6, 2, 100, 512, 512) + stream.substr(99 * 512));
  write_file(dir_ / "vol3", model_volume_header(6, 3, 100, 512, 512));
  write_file(dir_ / "foreign", "KEL!" + std::string(4092, 'f'));  // the magic, no numbers
  write_file(dir_ / "blank", "");
  // A volume too small to hold one record cannot come from kel.
  write_file(dir_ / "small", model_volume_header(6, 2, 1, 512, 512));
  mkdir((dir_ / "out").c_str(), 0755);
  SpawnOptions o = options({"-ivnf", dir_ / "arch"}, "", "out");
  o.stdout_path = dir_ / "listing";
  PtySession s(o);
  ASSERT_TRUE(s.expect(volume_complete(1, 100) + mount_prompt(2))) << s.transcript();
  const char *not_kel = "Input not in KEL format\nPlease check your media";
  struct Step {
    const char *medium, *complaint;
  } steps[] = {{"vol3", "Wrong volume mounted\nPlease mount volume 2"},
               {"foreign", not_kel},
               {"blank", "Error reading volume header\nPlease insure that everything is okay"},
               {"small", not_kel}};
  for (const Step &step : steps) {
    change_medium(step.medium, "arch");
    s.send("");
    ASSERT_TRUE(s.expect(try_again(step.complaint))) << s.transcript();
  }
  change_medium("vol2", "arch");
  s.send("");
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ(data, read_file(dir_ / "out/restored"));
  EXPECT_EQ("restored\n", read_file(dir_ / "listing"));
  // The creation time of the first volume only.
  const std::string &t = s.transcript();
  size_t created = t.find("Archive created Thu Jan  1 00:00:00 1970\n");
  EXPECT_NE(std::string::npos, created);
  EXPECT_EQ(std::string::npos, t.find("Archive created", created + 1));
  EXPECT_EQ(std::to_string(1 + stream.size() / 512 + 1) + " blocks\n", s.unread());
}

TEST_F(KelDialogue, StandardInputAsTheFirstVolumeThenAPath) {
  std::string data = random_data(3000, 8);
  std::string stream =
      model_records(model_plain(0100644, 0, 0, 1000000000, "f", data, 'T') + model_trailer(), 512);
  // The first volume ends at its media size, the second where a read comes
  // back short (its cut record is read again from the next volume).
  write_file(dir_ / "vol1", model_volume_header(6, 1, 4, 512, 512) + stream.substr(0, 3 * 512));
  write_file(dir_ / "vol2", model_volume_header(6, 2, 0, 512, 512) + stream.substr(3 * 512, 1536) +
                                stream.substr(6 * 512, 77));
  write_file(dir_ / "vol3", model_volume_header(6, 3, 0, 512, 512) + stream.substr(6 * 512));
  SpawnOptions o = options({"-in"});
  o.stdin_path = dir_ / "vol1";
  PtySession s(o);
  s.answer(volume_complete(1, 4) + mount_prompt(2));
  s.answer(kNoFilename, "vol2");
  // Named once, the same path is reopened for the next volume.
  ASSERT_TRUE(s.expect(volume_complete(2, 4) + mount_prompt(3))) << s.transcript();
  change_medium("vol3", "vol2");
  s.send("");
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ(data, read_file(dir_ / "f"));
  EXPECT_EQ(std::string::npos, s.unread().find(kNoFilename));
}

TEST_F(KelDialogue, AShortWriteOnStandardOutputAsksForAPath) {
  write_file(dir_ / "data", random_data(4000, 5));
  new_medium("vol2");
  SpawnOptions o = options({"-o"}, "data\n");
  o.stdout_path = dir_ / "vol1";
  o.fsize_limit = 512 + 5 * 512 + 100;
  PtySession s(o);
  s.answer(volume_complete(1, 6) + mount_prompt(2));
  s.answer(kNoFilename, "no/such/vol2");
  s.answer(std::string("no/such/vol2: No such file or directory\n") + kNoFilename, "vol2");
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ("11 blocks\n", s.unread());
  EXPECT_EQ(std::string::npos, s.transcript().find('\a')) << "the bell rings with -g only";
  std::string vol1 = read_file(dir_ / "vol1"), vol2 = read_file(dir_ / "vol2");
  EXPECT_EQ(512u + 5 * 512 + 100, vol1.size());
  EXPECT_EQ(512u + 4 * 512, vol2.size());
  std::string payload = volume_records(vol1, 1, 0, 512) + volume_records(vol2, 2, 0, 512);
  EXPECT_TRUE(records_of("data", 'T', 512) == payload);
  // The cut record's first bytes stay where the first volume ended.
  EXPECT_EQ(payload.substr(5 * 512, 100), vol1.substr(512 + 5 * 512));
}

TEST_F(KelDialogue, EjectCommandsAndAShortVolumeHeader) {
  // Device volumes are ejected one by one, the last at the end of the run.
  write_file(dir_ / "data", random_data(2000, 6));
  SpawnOptions o = options({"-ofs", "/dev/null", "3"}, "data\n");
  o.env["KEL_EJECT"] = "echo ejected >> ejectlog";
  PtySession s(o);
  for (int v = 1; v <= 2; ++v) s.answer(volume_complete(v, 3) + mount_prompt(v + 1));
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ("ejected\nejected\nejected\n", read_file(dir_ / "ejectlog"));

  // A volume header cut short by a full medium asks for another; a device
  // named then is ejected when it is closed.
  write_file(dir_ / "ejectlog", "");
  write_file(dir_ / "small", "some data");
  o = options({"-o"}, "small\n");
  o.stdout_path = dir_ / "vol1";
  o.fsize_limit = 100;
  o.env["KEL_EJECT"] = "echo ejected >> ejectlog";
  PtySession t(o);
  t.answer(try_again("Can't write output file\nPlease insure that everything is okay"));
  t.answer(kNoFilename, "/dev/null");
  ASSERT_EQ(0, t.wait()) << t.transcript();
  EXPECT_EQ("2 blocks\n", t.unread());
  EXPECT_EQ("ejected\n", read_file(dir_ / "ejectlog"));

  // A failing eject command is reported with its text and its status.
  o = options({"-of", "/dev/null"}, "data\n");
  o.env["KEL_EJECT"] = "exit 3";
  PtySession u(o);
  ASSERT_EQ(0, u.wait());
  EXPECT_NE(std::string::npos, u.transcript().find("exit 3: command ended with status 3\n"))
      << u.transcript();
}

TEST_F(KelDialogue, WithoutATerminalOrAnAnswerTheRunStops) {
  write_file(dir_ / "data", random_data(2000, 7));
  SpawnOptions o = options({"-ofs", "arch", "2"}, "data\n");
  RunResult r = spawn_kel(o);  // its own session: no terminal at all
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(volume_complete(1, 2) + mount_prompt(2) +
                "console: Unknown error (No such device or address)\n"
                "kel needs an operator terminal here, and none could be opened\n",
            r.err);

  PtySession s(o);
  ASSERT_TRUE(s.expect(mount_prompt(2))) << s.transcript();
  s.send_eof();
  EXPECT_EQ(1, s.wait());
  EXPECT_EQ("No answer from the operator\n", s.unread());
}

TEST_F(KelDialogue, RecoverySearchAsksBeforeEachCandidate) {
  // A second volume that begins in the middle of a member's data, with a
  // false start of the member magic in it.
  std::string members = std::string(300, 'q') + "10121417" + std::string(60, 'z') + "1012" +
                        model_plain(0100644, 0, 0, 1000000000, "second", "2nd", 'T') +
                        model_plain(0100644, 0, 0, 1000000000, "third", "3rd", 'T') +
                        model_trailer();
  write_file(dir_ / "vol2", model_volume_header(6, 2, 0, 512, 512) + model_records(members, 512));
  SpawnOptions o = options({"-istf", dir_ / "vol2"});
  o.stdout_path = dir_ / "listing";
  PtySession s(o);
  ASSERT_TRUE(s.expect("Starting with volume 2\n")) << s.transcript();
  s.answer("Next archive appears to be 'second'\nStart recovery from here? ", "no");
  s.answer("Next archive appears to be 'third'\nStart recovery from here? ", "Yes");
  ASSERT_EQ(0, s.wait()) << s.transcript();
  EXPECT_EQ("Searching for next archive...\nSearching for next archive...\nthird\n",
            read_file(dir_ / "listing"));

  // Accepting the first candidate restores from there on.
  PtySession r(options({"-isf", dir_ / "vol2"}));
  r.answer("Start recovery from here? ", "y");
  ASSERT_EQ(0, r.wait()) << r.transcript();
  EXPECT_EQ("2nd", read_file(dir_ / "second"));
  EXPECT_EQ("3rd", read_file(dir_ / "third"));
}

}  // namespace
}  // namespace kel::test
