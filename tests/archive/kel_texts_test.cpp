// What kel tells its operator, as golden files: start-up (version, usage,
// the message file), option errors, the messages of output runs, and the
// listings, messages and left-over files of input runs over archives built
// by the model, the damaged and the cut ones among them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>
#include <map>
#include <sstream>

#include "archive/archive_model.h"
#include "archive/kel_script.h"
#include "common/msg_file.h"
#include "common/row_script.h"
#include "common/shapes.h"
#include "kelfs/kelfs.h"

namespace kel::test {
namespace {

using KelTexts = KelScript;

// The records of an indexed file in the order of `key`, each ended by
// "|", and whether the structural check finds it sound.
std::string records_of(const std::string &path, int key) {
  v5_init_cfg();
  std::string out;
  for (const std::string &r : records_in_order(path, key, 64)) out += r + "|";
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  out += f && v5_check(f, 0) == 1 ? " sound" : " not sound";
  if (f) v5_close(f);
  return out;
}

TEST_F(KelTexts, StartupAndOptions) {
  // The texts come from the message file (A_MESSAGE) when it can be trusted.
  const std::string german = MsgFileBuilder()
                                 .add(890, {"kel %s\\n"})
                                 .add(891, {"Sicherung von COBOL-Dateien"})
                                 .add(892, {"Aufruf: kel -o ...\\n"})
                                 .bytes();
  struct {
    const char *what;
    std::string file;  // none when empty
    const char *option;
  } files[] = {{"no message file", "", "-v"},
               {"translated", german, "-v"},
               {"translated usage", german, "-x"},
               {"conversions unlike the built-in text's",
                MsgFileBuilder().add(890, {"kel %d %d\\n"}).bytes(), "-v"},
               {"damaged", "QL\x01", "-v"},
               {"old version", MsgFileBuilder().version(265).add(890, {"old %s\\n"}).bytes(), "-v"},
               {"not a message file: silently the built-in texts", "just some text", "-v"}};
  for (const auto &c : files) {
    unlink((dir_ / "kel.msg").c_str());
    if (!c.file.empty()) write_file(dir_ / "kel.msg", c.file);
    SpawnOptions o = options({c.option});
    o.env["A_MESSAGE"] = dir_ / "kel.msg";
    run(c.what, o);
  }
  // The run letter is taken as written, the other letters folded, but a
  // word wholly in capitals is read in lower case. Letters take words in
  // their order; paths that cannot be opened and media sizes that do not
  // fit the volume header are refused. A header file's bytes go ahead of
  // the volume header and are not counted in the blocks.
  write_file(dir_ / "list", "list\n");
  write_file(dir_ / "hdr", "LABEL\n");
  std::istringstream rows(
      "|x|-x|-Ov|-Itv|-oq|-ir|-o2|-V|-of|-ol|-os|-oh|-if|-ih|-if nothere|-oh nothere|-ol nothere|"
      "-of no/such/dir/arch|-os 1|-obs 10|-os 100000|-os -5|-os abc|-os 0|-os 2|-os 99999|"
      "-ofs arch|-ohfl hdr arch list ignored|-okfs big 2000 a");
  for (std::string row; std::getline(rows, row, '|');) {
    std::istringstream in(row);
    run("options", {std::istream_iterator<std::string>(in), {}});
  }
  run("capitals", {"-OV"}, "list\n");
  run("capitals", {"-oV"}, "list\n");
  script_ += "arch: " + escaped(read_file(dir_ / "arch").substr(0, 28)) +
             "\nbig: " + escaped(read_file(dir_ / "big").substr(0, 22)) + "\n";
  // Header bytes to skip ahead of the volume header: bytes, or 512-byte
  // blocks with b; the number ends at its last digit.
  const std::string archive = model_archive(model_plain("one", "1"));
  for (auto [word, skip] : {std::pair{"2b", 1024}, {"100", 100}, {"7x", 7}})
    run("skip " + std::to_string(skip), {"-ith", word}, std::string(skip, 'L') + archive);
  run("capitals", {"-ITV"}, archive);
  EXPECT_TRUE(matches("startup.txt"));
}

TEST_F(KelTexts, OutputRuns) {
  auto member = [&](const std::string &name, char type, const std::string &stored = "") {
    return model_file_member(dir_.path(), name, type, stored);
  };
  auto archived = [](const std::string &members) { return masked(model_archive(members)); };
  write_file(dir_ / "a.txt", "first line\n");
  write_file(dir_ / "magic", std::string("\x10\x12\x14\x21payload", 11));
  mkdir((dir_ / "sub").c_str(), 0755);
  for (const char *name : {"a:b", "c\\d", "TRAILER!!!"}) write_file(dir_ / name, name);
  // The status counts the files not archived; -v names every line.
  RunResult r = run("missing files", {"-ov"}, "a.txt\nnope1\nsub\nmagic\nnope2\n");
  EXPECT_EQ(archived(member("a.txt", 'T') + member("magic", 'B')), masked(r.out));
  // Names are converted unless -u; a member of the trailer's name would end
  // the archive there.
  r = run("names", {"-o"}, "a:b\nc\\d\nTRAILER!!!\n");
  EXPECT_EQ(archived(member("a:b", 'T', "a/b") + member("c\\d", 'T', "c/d")), masked(r.out));
  r = run("names as they are", {"-ou"}, "a:b\n");
  EXPECT_EQ(archived(member("a:b", 'T')), masked(r.out));
  // 149 characters: a name alone, or a name with its type letter; "./"
  // and slashes keep the path valid while it grows.
  const std::string name(100, 'n');
  write_file(dir_ / name, "x");
  auto path_of = [&](size_t length) { return "./" + std::string(length - 102, '/') + name; };
  const std::string whole = path_of(149), typed = path_of(147);
  r = run("list lines", {"-o"}, whole + "\n" + typed + " b\n" + whole + "xx\n");
  EXPECT_EQ(archived(member(name, 'T', whole) + member(name, 'B', typed)), masked(r.out));
  // Long lists of missing files do not wrap the status round to success.
  std::string missing;
  for (int i = 0; i < 300; ++i) missing += "missing" + std::to_string(i) + "\n";
  EXPECT_EQ(255, kel({"-o"}, missing).status);
  // A header file cut by a full disk, and an archive that refuses a write:
  // the run ends at once, without a block total.
  write_file(dir_ / "hdr", std::string(3000, 'h'));
  SpawnOptions o = options({"-oh", "hdr"}, "a.txt\n");
  o.stdout_path = dir_ / "out";
  o.fsize_limit = 1000;
  run("header file on a full disk", o);
  run("an archive that refuses a write", {"-of", "/dev/full"}, "a.txt\n");
  EXPECT_TRUE(matches("output.txt"));
}

TEST_F(KelTexts, InputRuns) {
  mkdir((dir_ / "out").c_str(), 0755);
  // Listings: an indexed member is passed over record by record (records of
  // length 0 and of the maximum among them); the trailer is known by its
  // name whatever its other fields hold. A listing restores nothing.
  std::string trailer = model_trailer().replace(8, 6, "zzzzzz");
  std::string listed =
      model_volume_header(6, 1, 0, 512, 512) +
      model_records(
          model_plain("a/one", "12345", 'T', 0100640) +
              model_plain("two", std::string(1234567, 'x'), 'T', 0104755, 54321, 7, 1700000000) +
              model_v6_member("idx", sample_indexed({"aaaa1234", "", "cccc123456"})) +
              model_plain("after", "a") + trailer,
          512);
  run("names", {"-it"}, listed, "out");
  run("long listing", {"-itv"}, listed, "out");
  show_folder("out");

  // Folders, names and selection. Foreign path syntax is converted: a
  // leading bracket makes ':', '.', '\' and ']' folder ends, elsewhere
  // only ':' and '\' are. Without -d a missing folder is reported and the
  // run goes on; a member is selected by its output name or its stored
  // name; -u keeps stored names; -c puts every file into the current
  // folder; words that name no member are named.
  std::string named = model_archive(
      model_plain("a/b/c", "abc") + model_plain("next", "n") + model_plain("[x.y]z", "bracket") +
      model_plain("C:\\dos\\f", "dos") + model_plain("/usr/data/f", "abs") +
      model_plain("[p:q\\r]s", "") + model_plain("a[b]c.d", ""));
  run("foreign names", {"-it"}, named);
  run("no -d", {"-i", "a/b/c", "next"}, named, "out");
  run("selected", {"-id", "a/b/c", "x/y/z", "C:\\dos\\f"}, named, "out");
  run("stored names", {"-iu", "[x.y]z"}, named, "out");
  run("flat", {"-ic", "f"}, named, "out");
  run("names that are no member", {"-it", "-f", "next", "a.kel"}, named, "out");
  show_folder("out");
  mkdir((dir_ / "flat").c_str(), 0755);
  run("flat, selected by the stored name", {"-ic", "/usr/data/f"}, named, "flat");
  show_folder("flat");

  // Swapped media, and bytes ahead of the volume header (without -h they
  // make a foreign volume, and no operator is there to mount another). The
  // oldest headers end before the media block field.
  const std::string members = model_plain("one", random_data(3000, 9)) + model_plain("two", "2");
  std::string oldest = "KEL!0401000000051200";
  oldest.resize(512, '\0');
  mkdir((dir_ / "swapped").c_str(), 0755);
  run("swapped", {"-i"}, swap_pairs_of(model_archive(members)), "swapped");
  show_folder("swapped");
  run("bytes ahead", {"-it"}, std::string(100, 'L') + model_archive(members));
  run("the oldest header", {"-it"}, oldest + model_records(members + model_trailer(), 512));

  // Old-style members are listed and restored (over a file of that name):
  // format 4 (fixed records without a length, a key description without
  // flags) and 5 (lengths and flags); key 1 with duplicates.
  for (int version : {4, 5}) {
    const bool v5 = version == 5;
    const std::vector<std::string> rs =
        v5 ? std::vector<std::string>{"KEY1GRP1record 1", "KEY2GRP1r2", "KEY3GRP2"}
           : std::vector<std::string>{"KEY1GRP1record 1", "KEY2GRP1record 2", "KEY3GRP2record 3"};
    const std::string keys =
        std::string("001,001,1,0016,02,004,0000,004,0004,Y") + (v5 ? ",Y,N,N" : "");
    std::string old =
        model_archive(model_member(0100600, 0, 0, 1, "old", (v5 ? 18 : 16) * 3, 'V') +
                          model_old_data("note", keys, rs, v5) + model_plain("after", "a"),
                      512, 512, version);
    std::string folder = "old" + std::to_string(version);
    mkdir((dir_ / folder).c_str(), 0755);
    write_file(dir_ / (folder + "/old"), "keep");
    run("old style, format " + std::to_string(version), {"-it"}, old, folder);
    run("old style, format " + std::to_string(version), {"-i"}, old, folder);
    show_folder(folder);
    script_ += "records:";
    for (int k : {0, 1}) script_ += " " + escaped(records_of(dir_ / (folder + "/old"), k));
    script_ += "\n";
  }
  EXPECT_TRUE(matches("input.txt"));
}

// Rows of archive/stops.txt: "OPTION PIECE..." runs kel with OPTION over
// an archive of the pieces, in a folder of its own; the rows show the run
// and what it left. Pieces: plain:NAME:DATA, random:NAME:SIZE:SEED, idx
// (the sample indexed member "idx"), idx:RECORD,RECORD... and
// params:RECORD-PARAMETERS (the sample with those), raw:BYTES,
// patch:AT:BYTES (over the members so far); version=N, record=N (and the
// media block), cut=N (the archive's first N bytes), fsize=N (the run's
// file size limit).
TEST_F(KelTexts, ArchivesThatStopTheRun) {
  int folder = 0;
  auto stop = [&](const Words &a) {
    std::string archive;
    long long version = 6, record = 512, cut = -1, fsize = -1;
    for (size_t i = 1; i < a.size(); ++i) {
      const size_t colon = std::min(a[i].find(':'), a[i].find('='));
      const std::string kind = a[i].substr(0, colon), arg = a[i].substr(colon + 1);
      const size_t second = arg.find(':');
      const std::string name = arg.substr(0, second), rest = arg.substr(second + 1);
      ModelIndexed x = sample_indexed();
      if (kind == "idx" && colon != std::string::npos) x.records.clear();
      std::istringstream records(colon == std::string::npos ? "" : arg);
      for (std::string r; kind == "idx" && std::getline(records, r, ',');) x.records.push_back(r);
      if (kind == "params") x.record_parameters = arg;
      std::map<std::string, long long *> numbers = {
          {"version", &version}, {"record", &record}, {"cut", &cut}, {"fsize", &fsize}};
      if (numbers.count(kind)) *numbers[kind] = number(arg);
      archive += kind == "plain" ? model_plain(name, rest)
                 : kind == "random"
                     ? model_plain(
                           name, random_data(number(rest), number(rest.substr(rest.find(':') + 1))))
                 : kind == "idx" || kind == "params" ? model_v6_member("idx", x)
                 : kind == "raw"                     ? arg
                                                     : "";
      if (kind == "patch") archive.replace(static_cast<size_t>(number(name)), rest.size(), rest);
    }
    archive = model_archive(archive, static_cast<int>(record), static_cast<int>(record),
                            static_cast<int>(version));
    if (cut >= 0) archive.resize(static_cast<size_t>(cut));
    const std::string sub = std::to_string(folder++);
    mkdir((dir_ / sub).c_str(), 0755);
    script_.clear();
    run("", {a.at(0)}, archive, sub, fsize);
    show_folder(sub);
    return script_.substr(script_.find('\n', 1));
  };
  EXPECT_TRUE(run_rows("archive/stops.txt", {{"kel", stop}}));
}

}  // namespace
}  // namespace kel::test
