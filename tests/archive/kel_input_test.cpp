// kel -i end to end: restore, listing, selection, name conversion, modes,
// owners and times, swapped media, skipped header bytes, and every way an
// input run ends early: unsupported and damaged archives, indexed members
// that cannot be read or restored, an archive cut short, a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

class KelInput : public KelTest {
 protected:
  KelInput() {
    mkdir((dir_ / "in").c_str(), 0755);
    mkdir((dir_ / "out").c_str(), 0755);
  }
  std::string out(const std::string &name) { return dir_ / ("out/" + name); }
};

struct stat stat_of(const std::string &path) {
  struct stat st = {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

std::string member(const std::string &name, const std::string &data, unsigned mode = 0100644,
                   int uid = 0, int gid = 0, long long mtime = 1000000000) {
  return model_plain(mode, uid, gid, mtime, name, data, 'T');
}

TEST_F(KelInput, RoundTripThroughKel) {
  write_file(dir_ / "in/a.txt", "alpha\n");
  mkdir((dir_ / "in/d").c_str(), 0755);
  write_file(dir_ / "in/d/big", random_data(200000, 4));
  write_file(dir_ / "in/d/empty", "");
  chmod((dir_ / "in/a.txt").c_str(), 0600);
  RunResult made = kel({"-ob"}, "a.txt\nd/big b\nd/empty\n", "in");
  ASSERT_EQ(0, made.status) << made.err;

  RunResult r = kel({"-idm"}, made.out, "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
  EXPECT_EQ(std::to_string(made.out.size() / 512) + " blocks\n", r.err);
  for (const char *name : {"a.txt", "d/big", "d/empty"}) {
    std::string from = dir_ / ("in/" + std::string(name));
    EXPECT_EQ(read_file(from), read_file(out(name))) << name;
    struct stat a = stat_of(from), b = stat_of(out(name));
    EXPECT_EQ(a.st_mode, b.st_mode) << name;
    EXPECT_EQ(a.st_mtime, b.st_mtime) << name;
  }
  // The archive may equally be named with -f, and -iv names what it restores.
  write_file(dir_ / "copy.kel", made.out);
  r = kel({"-ivf", dir_ / "copy.kel"}, "", "out");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("a.txt\nd/big\nd/empty\n", r.out);
}

TEST_F(KelInput, ListingFormats) {
  struct passwd *pw = getpwuid(0);
  ASSERT_NE(nullptr, pw);
  char root[16];
  snprintf(root, sizeof root, "%-8s", pw->pw_name);
  // An indexed member is passed over record by record, those of length 0
  // and of the maximum length among them. The trailer is known by its name
  // whatever its other fields hold.
  std::string trailer = model_trailer().replace(8, 6, "zzzzzz");
  std::string archive =
      model_volume_header(6, 1, 0, 512, 512) +
      model_records(member("a/one", "12345", 0100640) +
                        member("two", std::string(1234567, 'x'), 0104755, 54321, 7, 1700000000) +
                        model_v6_member("idx", sample_indexed({"aaaa1234", "", "cccc123456"})) +
                        member("after", "a") + trailer,
                    512);
  RunResult r = kel({"-it"}, archive, "out");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("a/one\ntwo\nidx\nafter\n", r.out);
  r = kel({"-itv"}, archive, "out");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("100640 " + std::string(root) + "         5 Sep  9 01:46:40 2001 a/one\n" +
                "104755 54321      1234567 Nov 14 22:13:20 2023 two\n" + "100640 " + root +
                "        36 Sep  9 01:46:40 2001 idx\n" + "100644 " + root +
                "         1 Sep  9 01:46:40 2001 after\n",
            r.out);
  EXPECT_NE(std::string::npos, r.err.find("Archive created Thu Jan  1 00:00:00 1970\n"));
  EXPECT_TRUE(folder_entries(dir_ / "out").empty()) << "a listing restores nothing";
}

TEST_F(KelInput, ModesOwnersAndTimes) {
  // Set-id bits from an archive are never restored, for plain and indexed
  // files alike; -w adds write permission, -m sets the time, -n keeps the
  // restoring user as the owner.
  std::string archive = model_archive(member("setuid", "s", 0104755, 54321, 54321) +
                                      member("readonly", "r", 0100444, 54321, 54321) +
                                      model_v6_member("idx", sample_indexed(), 0106444, 54321));
  struct Case {
    const char *option;
    unsigned setuid, readonly, idx;
    bool times, owners;
  } cases[] = {{"-i", 0755, 0444, 0444, false, true}, {"-iwnm", 0777, 0666, 0666, true, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.option);
    RunResult r = kel({c.option}, archive, "out");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0100000 | c.setuid, stat_of(out("setuid")).st_mode);
    EXPECT_EQ(0100000 | c.readonly, stat_of(out("readonly")).st_mode);
    EXPECT_EQ(0100000 | c.idx, stat_of(out("idx")).st_mode);
    for (const char *name : {"setuid", "readonly", "idx"}) {
      struct stat st = stat_of(out(name));
      EXPECT_EQ(c.times, st.st_mtime == 1000000000) << name;
      if (!c.owners || geteuid() == 0) {
        EXPECT_EQ(c.owners ? 54321u : geteuid(), st.st_uid) << name;
        EXPECT_EQ(c.owners ? 54321u : getegid(), st.st_gid) << name;
      }
    }
  }
}

TEST_F(KelInput, FoldersNamesAndSelection) {
  std::string archive =
      model_archive(member("a/b/c", "abc") + member("next", "n") + member("[x.y]z", "bracket") +
                    member("C:\\dos\\f", "dos") + member("/usr/data/f", "abs"));
  // Without -d the missing folder is reported and the run goes on.
  RunResult r = kel({"-i", "a/b/c", "next"}, archive, "out");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("use '-d' to create directories\na/b/c: No such file or directory\n",
            r.err.substr(0, r.err.rfind('\n', r.err.size() - 2) + 1));
  EXPECT_EQ("n", read_file(out("next")));
  EXPECT_FALSE(file_exists(out("[x.y]z")));  // not selected

  r = kel({"-id", "a/b/c", "x/y/z", "C:\\dos\\f"}, archive, "out");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("abc", read_file(out("a/b/c")));
  EXPECT_EQ("bracket", read_file(out("x/y/z")));  // selected by its output name
  EXPECT_EQ("dos", read_file(out("C//dos/f")));   // and by its stored name

  // -iu keeps the stored names; -ic puts everything into the current folder.
  kel({"-iu", "[x.y]z"}, archive, "out");
  EXPECT_EQ("bracket", read_file(out("[x.y]z")));
  r = kel({"-ic", "f"}, archive, "out");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("abs", read_file(out("f")));  // the last member named f wins
  kel({"-ic", "/usr/data/f"}, archive, "out");
  EXPECT_EQ("abs", read_file(out("f")));
  // Words after the options that name no member are named, not ignored.
  r = kel({"-it", "-f", "next", "a.kel"}, archive, "out");
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("next\n", r.out);
  EXPECT_EQ("-f: not found in archive\na.kel: not found in archive\n" +
                std::to_string(archive.size() / 512) + " blocks\n",
            r.err);
}

TEST_F(KelInput, SwappedMediaAndSkippedHeaderBytes) {
  std::string members = member("one", random_data(3000, 9)) + member("two", "2");
  std::string archive = model_archive(members);
  RunResult r = kel({"-i"}, swap_pairs_of(archive), "out");
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(random_data(3000, 9), read_file(out("one")));
  EXPECT_EQ("2", read_file(out("two")));

  // Without -h the bytes ahead make a foreign volume, and no operator is
  // there to mount another.
  r = kel({"-it", "-h", "100"}, std::string(100, 'L') + archive, "out");
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Input not in KEL format\n"));
  // The oldest headers end before the media block field: 512 bytes.
  std::string oldest = "KEL!0401000000051200";
  oldest.resize(512, '\0');
  struct Case {
    std::vector<std::string> args;
    std::string archive;
  } cases[] = {{{"-ith", "100"}, std::string(100, 'L') + archive},
               {{"-it"}, oldest + model_records(members + model_trailer(), 512)}};
  for (const Case &c : cases) {
    r = kel(c.args, c.archive, "out");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("one\ntwo\n", r.out);
  }
}

TEST_F(KelInput, ArchivesThatStopTheRun) {
  const std::string a = member("a", "b"), after = member("after", "a");
  const std::string idx = model_v6_member("idx", sample_indexed());
  // Bytes of a valid member replaced; the indexed member's data begins
  // after its 48 + 3 header bytes with the counted texts: record
  // parameters (2 + 25), physical parameters (2 + 24), comment (2 + 4),
  // the table's length (3), the key count (3), the first key's length.
  auto patched = [](std::string m, size_t at, const std::string &bytes) {
    return m.replace(at, bytes.size(), bytes);
  };
  const size_t data = 48 + 3;
  ModelIndexed huge = sample_indexed(), nonumber = sample_indexed();
  huge.record_parameters = "0000032767,0000000008,002";  // beyond the record buffer
  nonumber.record_parameters = "abcdefghij,0000000008,002";
  const std::string records =
      model_archive(member("first", "complete") + member("second", random_data(20000, 3)) + after);
  const std::string corrupt = "Corrupt archive!\nTransfer aborted\n";
  const std::string ended = "Archive ended before its trailer\nTransfer aborted\n";
  const std::string removed = "idx: not restored completely, removed\n";
  struct Case {
    const char *what;
    std::string archive;
    std::string message;
    std::vector<std::string> left = {};  // in the folder afterwards
    const char *option = "-i";
    long long fsize_limit = -1;
  } cases[] = {
      {"version 3", model_archive(a, 512, 512, 3), "Unsupported (obsolete) kel archive\n"},
      {"version 7", model_archive(a, 512, 512, 7), "Unsupported kel archive version 7\n"},
      {"1024-byte blocks", model_archive(a, 1024, 1024), "Must specify 'k' option\n"},
      {"512-byte blocks", model_archive(a), "Must not specify 'k' option\n", {}, "-ik"},
      {"bad magic", model_archive("1012141x" + a.substr(8) + after), corrupt},
      {"bad name length", model_archive(patched(a, 34, "-01") + after), corrupt},
      {"bad field behind a good name", model_archive(patched(a, 37, "-000000001") + after),
       corrupt},
      {"name with a zero byte", model_archive(member(std::string("a\0b", 3), "b") + after),
       corrupt},
      {"parameter length not a number", model_archive(patched(idx, data, "x5") + after), corrupt},
      {"maximum beyond the record buffer", model_archive(model_v6_member("idx", huge) + after),
       corrupt},
      {"record parameters without a number",
       model_archive(model_v6_member("idx", nonumber) + after), corrupt},
      {"translation table of another size", model_archive(patched(idx, data + 59, "100") + after),
       corrupt},
      {"key text beyond its slot", model_archive(patched(idx, data + 65, "245") + after), corrupt},
      {"version 4 records of length 0 would never end",
       model_archive(model_member(0100600, 0, 0, 1, "z", 5, 'V') +
                         model_old_data("", "001,001,1,0000,01,004,0000,N,N,N", {}, false),
                     512, 512, 4),
       corrupt},
      {"record longer than the maximum",
       model_archive(model_v6_member("idx", sample_indexed({"aaaa1234", "cccc1234567"})) + after),
       corrupt + removed},
      // Shorter than the minimum: the engine refuses it with another code
      // than a duplicate.
      {"record refused",
       model_archive(model_v6_member("idx", sample_indexed({"aaaa1234", "short77"})) + after),
       "idx: Invalid function parameter\n" + removed},
      {"cut inside a record",
       records.substr(0, 512 * 20 + 100),
       ended + "second: not restored completely, removed\n",
       {"first"}},
      {"cut after the volume header", records.substr(0, 512), ended},
      {"cut inside the volume header", records.substr(0, 100), ended},
      {"full disk",
       model_archive(member("small", "fits") + member("large", random_data(100000, 5)) + after),
       "disk full\nlarge: not restored completely, removed\n",
       {"small"},
       "-i",
       30000}};
  int i = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string folder = "out/" + std::to_string(i++);
    mkdir((dir_ / folder).c_str(), 0755);
    RunResult r = kel({c.option}, c.archive, folder, c.fsize_limit);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(c.message, r.err);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(c.left, folder_entries(dir_ / folder));
  }
}

TEST_F(KelInput, InterruptedRestoresLeaveNothingThatLooksRestored) {
  // kel -i reads from a pipe that stops in the middle of a member; then a
  // signal: the member is removed and named, the files before it stay.
  ModelIndexed x = sample_indexed();
  for (int i = 0; i < 500; ++i) x.records.push_back(std::to_string(1000 + i) + "1234");
  struct Case {
    int signo;
    std::string member, name;
    size_t sent;  // bytes of the member's data in the pipe (whole records reach kel)
  } cases[] = {{SIGTERM, member("big", random_data(300000, 9)), "big", 100000},
               {SIGINT, model_v6_member("idx", x), "idx", 2000},
               {SIGHUP, member("big", random_data(300000, 9)), "big", 1000}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.signo);
    const std::string stream = model_archive(member("first", "complete") + c.member);
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
    unlink(out("first").c_str());
  }
}

}  // namespace
}  // namespace kel::test
