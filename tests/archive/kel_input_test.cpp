// kel -i end to end: restore, listing, selection, name conversion, modes,
// owners and times, swapped media, skipped header bytes, and the ways an
// input run ends early.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"
#include "common/test_util.h"

namespace kel::test {
namespace {

class KelInput : public testing::Test {
 protected:
  KelInput() {
    mkdir((dir_ / "in").c_str(), 0755);
    mkdir((dir_ / "out").c_str(), 0755);
  }

  RunResult kel(std::vector<std::string> args, const std::string &archive,
                const std::string &cwd = "out", long long fsize_limit = -1) {
    write_file(dir_ / "archive", archive);
    SpawnOptions o;
    o.args = std::move(args);
    o.stdin_path = dir_ / "archive";
    o.cwd = dir_ / cwd;
    o.umask_value = 0;
    o.fsize_limit = fsize_limit;
    o.env["TZ"] = "UTC";
    return spawn_kel(o);
  }

  std::string out(const std::string &name) { return dir_ / ("out/" + name); }

  TempDir dir_;
};

// The error output without its final "N blocks" line.
std::string all_but_last_line(const std::string &text) {
  size_t end = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

struct stat stat_of(const std::string &path) {
  struct stat st = {};
  EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
  return st;
}

std::string member(const std::string &name, const std::string &data, unsigned mode = 0100644,
                   int uid = 0, int gid = 0, long long mtime = 1000000000, char type = 'T') {
  return model_plain(mode, uid, gid, mtime, name, data, type);
}

TEST_F(KelInput, RoundTripThroughKel) {
  write_file(dir_ / "in/a.txt", "alpha\n");
  mkdir((dir_ / "in/d").c_str(), 0755);
  write_file(dir_ / "in/d/big", random_data(200000, 4));
  write_file(dir_ / "in/d/empty", "");
  chmod((dir_ / "in/a.txt").c_str(), 0600);
  SpawnOptions o;
  o.args = {"-ob"};
  o.input = "a.txt\nd/big b\nd/empty\n";
  o.cwd = dir_ / "in";
  RunResult made = spawn_kel(o);
  ASSERT_EQ(0, made.status) << made.err;

  RunResult r = kel({"-idm"}, made.out);
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
  r = kel({"-ivf", dir_ / "copy.kel"}, "");
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("a.txt\nd/big\nd/empty\n", r.out);
}

TEST_F(KelInput, ListingFormats) {
  struct passwd *pw = getpwuid(0);
  ASSERT_NE(nullptr, pw);
  std::string root = pw->pw_name;
  std::string archive =
      model_archive(member("a/one", "12345", 0100640, 0, 0, 1000000000) +
                    member("two", std::string(1234567, 'x'), 0104755, 54321, 7, 1700000000) +
                    model_member(0100600, 0, 0, 0, "idx", 24, 'V') + model_v6_data([] {
                      ModelIndexed x;
                      x.record_parameters = "0000000010,0000000010,001";
                      x.physical_parameters = "01,0000000,0000001,000,0";
                      x.keys = {"01,0,004,0000000000"};
                      x.records = {"0123456789", "abcdefghij"};
                      return x;
                    }()));
  RunResult r = kel({"-it"}, archive);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("a/one\ntwo\nidx\n", r.out);
  r = kel({"-itv"}, archive);
  EXPECT_EQ(0, r.status) << r.err;
  char root_col[16];
  snprintf(root_col, sizeof root_col, "%-8s", root.c_str());
  EXPECT_EQ("100640 " + std::string(root_col) + "         5 Sep  9 01:46:40 2001 a/one\n" +
                "104755 54321      1234567 Nov 14 22:13:20 2023 two\n" + "100600 " +
                std::string(root_col) + "        24 Jan  1 00:00:00 1970 idx\n",
            r.out);
  EXPECT_NE(std::string::npos, r.err.find("Archive created Thu Jan  1 00:00:00 1970\n"));
  // Nothing was restored by a listing.
  EXPECT_FALSE(file_exists(out("two")));
}

TEST_F(KelInput, ModesOwnersAndTimes) {
  std::string archive = model_archive(member("setuid", "s", 0104755, 54321, 54322) +
                                      member("readonly", "r", 0100444, 54321, 54322));
  RunResult r = kel({"-i"}, archive);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0755u, stat_of(out("setuid")).st_mode & 07777);  // masked to 0777
  EXPECT_EQ(0444u, stat_of(out("readonly")).st_mode & 07777);
  EXPECT_NE(1000000000, stat_of(out("setuid")).st_mtime);  // no -m
  if (geteuid() == 0) {
    EXPECT_EQ(54321u, stat_of(out("setuid")).st_uid);
    EXPECT_EQ(54322u, stat_of(out("setuid")).st_gid);
  }
  r = kel({"-iwnm"}, archive);
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0666u, stat_of(out("readonly")).st_mode & 07777);
  EXPECT_EQ(1000000000, stat_of(out("readonly")).st_mtime);
  EXPECT_EQ(geteuid(), stat_of(out("readonly")).st_uid);
}

TEST_F(KelInput, FoldersNamesAndSelection) {
  std::string archive =
      model_archive(member("a/b/c", "abc") + member("next", "n") + member("[x.y]z", "bracket") +
                    member("C:\\dos\\f", "dos") + member("/usr/data/f", "abs"));
  // Without -d the missing folder is reported and the run goes on.
  RunResult r = kel({"-i", "a/b/c", "next"}, archive);
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("use '-d' to create directories\na/b/c: No such file or directory\n",
            all_but_last_line(r.err));
  EXPECT_EQ("n", read_file(out("next")));
  EXPECT_FALSE(file_exists(out("[x.y]z")));  // not selected

  r = kel({"-id", "a/b/c", "x/y/z", "C:\\dos\\f"}, archive);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("abc", read_file(out("a/b/c")));
  EXPECT_EQ("bracket", read_file(out("x/y/z")));  // selected by its output name
  EXPECT_EQ("dos", read_file(out("C//dos/f")));   // and by its stored name

  // -iu keeps the stored names; -ic puts everything into the current folder.
  r = kel({"-iu", "[x.y]z"}, archive);
  EXPECT_EQ("bracket", read_file(out("[x.y]z")));
  r = kel({"-ic", "f"}, archive);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("abs", read_file(out("f")));  // the last member named f wins
  r = kel({"-ic", "/usr/data/f"}, archive);
  EXPECT_EQ("abs", read_file(out("f")));
}

TEST_F(KelInput, SwappedMediaAndSkippedHeaderBytes) {
  std::string members = member("one", random_data(3000, 9)) + member("two", "2");
  std::string archive = model_archive(members);
  RunResult r = kel({"-i"}, swap_pairs_of(archive));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(random_data(3000, 9), read_file(out("one")));
  EXPECT_EQ("2", read_file(out("two")));

  // Without -h the bytes ahead make a foreign volume, and no operator is
  // there to mount another.
  r = kel({"-it", "-h", "100"}, std::string(100, 'L') + archive);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("Input not in KEL format\n"));
  r = kel({"-ith", "100"}, std::string(100, 'L') + archive);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\ntwo\n", r.out);
  r = kel({"-ith", "2b"}, std::string(1024, 'L') + archive);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\ntwo\n", r.out);

  // The oldest headers end before the media block field: 512 bytes.
  std::string oldest = "KEL!0401000000051200";
  oldest.resize(512, '\0');
  r = kel({"-it"}, oldest + model_records(members + model_trailer(), 512));
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("one\ntwo\n", r.out);
}

TEST_F(KelInput, ArchivesThatStopTheRun) {
  struct Case {
    std::string archive;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {model_archive(member("a", "b"), 512, 512, 3),
       {"-it"},
       "Unsupported (obsolete) kel archive\n"},
      {model_archive(member("a", "b"), 1024, 1024), {"-it"}, "Must specify 'k' option\n"},
      {model_archive(member("a", "b")), {"-itk"}, "Must not specify 'k' option\n"},
      {model_archive(member("a", "b"), 512, 512, 7),
       {"-it"},
       "Unsupported kel archive version 7\n"},
      {model_archive("1012141x" + member("a", "b").substr(8)),
       {"-it"},
       "Corrupt archive!\nTransfer aborted\n"},
  };
  for (const Case &c : cases) {
    RunResult r = kel(c.args, c.archive);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(c.message, r.err);
    EXPECT_EQ("", r.out);
  }
}

TEST_F(KelInput, StandardInputEndingBeforeTheTrailer) {
  std::string archive =
      model_archive(member("first", "complete") + member("second", random_data(20000, 3)));
  // Cut inside a record of the second member's data.
  RunResult r = kel({"-i"}, archive.substr(0, 512 * 20 + 100));
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(
      "Archive ended before its trailer\nTransfer aborted\n"
      "second: not restored completely, removed\n",
      r.err);
  EXPECT_EQ("complete", read_file(out("first")));
  EXPECT_FALSE(file_exists(out("second")));
  // Cut after the volume header, or inside it: nothing is half restored.
  for (size_t cut : {512, 100}) {
    r = kel({"-it"}, archive.substr(0, cut));
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("Archive ended before its trailer\nTransfer aborted\n", r.err);
  }
}

TEST_F(KelInput, FullDiskWhileRestoring) {
  std::string archive =
      model_archive(member("small", "fits") + member("large", random_data(100000, 5)) +
                    member("after", "never reached"));
  RunResult r = kel({"-i"}, archive, "out", 30000);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("disk full\nlarge: not restored completely, removed\n", r.err);
  EXPECT_EQ("fits", read_file(out("small")));
  EXPECT_FALSE(file_exists(out("large")));
  EXPECT_FALSE(file_exists(out("after")));
}

}  // namespace
}  // namespace kel::test
