// The operator dialogues of kel through a pseudo-terminal: the test reads
// each prompt, changes the "media" (renames files) and answers; the whole
// dialogue is a golden file, the volumes are compared with the model.
// Nothing sleeps; every step waits for the text it needs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "archive/archive_model.h"
#include "archive/kel_script.h"

namespace kel::test {
namespace {

const char kMount[] = "press return when ready: ", kAgain[] = "press return to try again: ",
           kPath[] = "Enter archive's filename to continue: ";

class KelDialogue : public KelScript {
 protected:
  std::function<void()> change(const std::string &from, const std::string &to) {
    return [this, from, to] { ASSERT_EQ(0, rename((dir_ / from).c_str(), (dir_ / to).c_str())); };
  }
  // Checks one volume's header (time masked) and returns its whole records.
  std::string records(const std::string &name, int number, int media_size) {
    std::string v = read_file(dir_ / name);
    EXPECT_EQ(masked(model_volume_header(6, number, media_size, 512, 512)),
              masked(v.substr(0, 512)))
        << name;
    return v.substr(512, (v.size() - 512) / 512 * 512);
  }
  std::string model_of(const std::string &name) {
    return model_records(model_file_member(dir_.path(), name, 'T') + model_trailer(), 512);
  }
};

TEST_F(KelDialogue, OutputVolumes) {
  // -s 100: the header and 99 records on each volume; -g rings the bell.
  // Return pressed before the full volume was moved away: it is not
  // written over, and the operator is asked for a path.
  write_file(dir_ / "big", random_data(60000, 1));
  EXPECT_EQ(0, dialogue("volumes of a fixed size", options({"-ofsg", "arch", "100"}, "big\n"),
                        {{kMount, ""}, {kPath, "arch", [&] {
                                          change("arch", "vol1")();
                                          write_file(dir_ / "arch", "");
                                        }}}));
  EXPECT_EQ(512u * 100, read_file(dir_ / "vol1").size());
  EXPECT_TRUE(model_of("big") == records("vol1", 1, 100) + records("arch", 2, 100));

  // A short write on standard output (a full disk) asks for a path; the
  // cut record's first bytes stay where the first volume ended.
  write_file(dir_ / "data", random_data(4000, 5));
  write_file(dir_ / "vol2", "");
  SpawnOptions o = options({"-o"}, "data\n");
  o.stdout_path = dir_ / "vol1";
  o.fsize_limit = 512 + 5 * 512 + 100;
  EXPECT_EQ(0, dialogue("a full disk under standard output", o,
                        {{kMount, ""}, {kPath, "no/such/vol2"}, {kPath, "vol2"}}));
  std::string vol1 = read_file(dir_ / "vol1");
  std::string payload = records("vol1", 1, 0) + records("vol2", 2, 0);
  EXPECT_TRUE(model_of("data") == payload);
  EXPECT_EQ(payload.substr(5 * 512, 100), vol1.substr(512 + 5 * 512));
  EXPECT_EQ(512u + 4 * 512, read_file(dir_ / "vol2").size());

  // Device volumes are ejected one by one, the last at the end of the run;
  // a volume header cut short by a full medium asks for another, and a
  // device named then is ejected when it is closed; a failing eject
  // command is reported.
  write_file(dir_ / "data", random_data(2000, 6));
  o = options({"-ofs", "/dev/null", "3"}, "data\n");
  o.env["KEL_EJECT"] = "echo ejected >> ejectlog";
  dialogue("ejected devices", o, {{kMount, ""}, {kMount, ""}});
  write_file(dir_ / "small", "some data");
  o.args = {"-o"};
  o.stdout_path = dir_ / "vol1";
  o.fsize_limit = 100;
  write_file(o.stdin_path, "small\n");
  dialogue("a short volume header", o, {{kAgain, ""}, {kPath, "/dev/null"}});
  script_ += "ejectlog:\n" + shown(read_file(dir_ / "ejectlog"), "  ");
  o = options({"-of", "/dev/null"}, "data\n");
  o.env["KEL_EJECT"] = "exit 3";
  dialogue("a failing eject command", o, {});
  EXPECT_TRUE(matches("dialogue_output.txt"));
}

TEST_F(KelDialogue, InputVolumes) {
  std::string data = random_data(60000, 3);
  std::string stream = model_records(model_plain("restored", data, 'B') + model_trailer(), 512);
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
  EXPECT_EQ(0, dialogue("the wrong volumes, then the right one", o,
                        {{kMount, "", change("vol3", "arch")},
                         {kAgain, "", change("foreign", "arch")},
                         {kAgain, "", change("blank", "arch")},
                         {kAgain, "", change("small", "arch")},
                         {kAgain, "", change("vol2", "arch")}}));
  EXPECT_EQ(data, read_file(dir_ / "out/restored"));
  script_ += shown(read_file(dir_ / "listing"), "out: ");

  // Standard input as the first volume, then a path, reopened for the next
  // volume; the second ends where a read comes back short (its cut record
  // is read again from the next volume).
  data = random_data(3000, 8);
  stream = model_records(model_plain("f", data) + model_trailer(), 512);
  write_file(dir_ / "vol1", model_volume_header(6, 1, 4, 512, 512) + stream.substr(0, 3 * 512));
  write_file(dir_ / "vol2", model_volume_header(6, 2, 0, 512, 512) + stream.substr(3 * 512, 1536) +
                                stream.substr(6 * 512, 77));
  write_file(dir_ / "vol3", model_volume_header(6, 3, 0, 512, 512) + stream.substr(6 * 512));
  o = options({"-in"});
  o.stdin_path = dir_ / "vol1";
  EXPECT_EQ(0, dialogue("standard input, then a path", o,
                        {{kMount, ""}, {kPath, "vol2"}, {kMount, "", change("vol3", "vol2")}}));
  EXPECT_EQ(data, read_file(dir_ / "f"));

  // The recovery search asks before each candidate: a volume that begins
  // in the middle of a member's data, with a false start of the magic.
  std::string members = std::string(300, 'q') + "10121417" + std::string(60, 'z') + "1012" +
                        model_plain("second", "2nd") + model_plain("third", "3rd") +
                        model_trailer();
  write_file(dir_ / "vol2", model_volume_header(6, 2, 0, 512, 512) + model_records(members, 512));
  o = options({"-istf", dir_ / "vol2"});
  o.stdout_path = dir_ / "listing";
  const char kStart[] = "Start recovery from here? ";
  EXPECT_EQ(0, dialogue("recovery, listed", o, {{kStart, "no"}, {kStart, "Yes"}}));
  script_ += shown(read_file(dir_ / "listing"), "out: ");
  EXPECT_EQ(0, dialogue("recovery, restored", options({"-isf", dir_ / "vol2"}), {{kStart, "y"}}));
  EXPECT_EQ("2nd", read_file(dir_ / "second"));
  EXPECT_EQ("3rd", read_file(dir_ / "third"));

  // Without a terminal, or without an answer, the run stops.
  write_file(dir_ / "data", random_data(2000, 7));
  o = options({"-ofs", "arch", "2"}, "data\n");
  run("no terminal at all", o);
  EXPECT_EQ(1, dialogue("no answer", o, {{kMount, "\x04"}}));
  EXPECT_TRUE(matches("dialogue_input.txt"));
}

}  // namespace
}  // namespace kel::test
