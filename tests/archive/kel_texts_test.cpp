// What kel tells its operator, as golden files: start-up (version, usage,
// the message file), option errors, the messages of output runs and their
// archives compared with the model's, and the listings, messages and
// left-over files of input runs over archives built by the model, the
// damaged and the cut ones among them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
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

class KelTexts : public KelScript {
 protected:
  std::string input_run(const Words &a);
  // A run as a row shows it: the command, what kel wrote and its status,
  // what it left in the folder `sub` (none: not shown), and whether the
  // archive it wrote is `model` (none: not compared).
  std::string row_run(const SpawnOptions &o, const std::string &input, const std::string &sub = "",
                      const std::string &model = "") {
    script_.clear();
    const RunResult r = run("", o, input);
    if (!sub.empty()) show_folder(sub);
    if (!model.empty())
      script_ +=
          masked(model) == masked(r.out) ? "the model's archive\n" : "not the model's archive\n";
    return replace_all(replace_all(script_.substr(script_.find('\n', 1)), dir_.path(), "<dir>"),
                       KEL_VERSION_STRING, "<version>");
  }
  int folder_ = 0;
};

// The records of an indexed file in the order of `key`, each ended by
// "|", and whether the structural check finds it sound.
std::string records_of(const std::string &path, int key) {
  v5_init_cfg();
  std::string out;
  for (const std::string &r : records_in_order(path, key, 64)) out += r + "|";
  return out + (sound(path) ? " sound" : " not sound");
}

// Rows of archive/startup.txt: "kel ARG..." runs kel in the test's
// folder ("<TEXT": TEXT is its standard input); "msg OPTION PIECE..." with
// a message file of the pieces as A_MESSAGE (N:TEXT, message N stored as
// written; version=V; raw:BYTES, the file's bytes instead; no pieces, no
// file); "head NAME N" shows the first N bytes of a file; "input ..." is
// a row of input.txt.
TEST_F(KelTexts, StartupAndOptions) {
  write_file(dir_ / "list", "list\n");
  write_file(dir_ / "hdr", "LABEL\n");
  auto kel = [&](const Words &a) {
    std::vector<std::string> args;
    std::string input;
    for (const std::string &w : a)
      w.rfind('<', 0) == 0 ? input = w.substr(1) : args.emplace_back(w);
    return row_run(options(args, input), input);
  };
  auto msg = [&](const Words &a) {
    MsgFileBuilder b;
    std::string raw;
    for (size_t i = 1; i < a.size(); ++i) {
      const size_t colon = a[i].find(':');
      if (a[i].rfind("raw:", 0) == 0) raw = a[i].substr(4);
      if (a[i].rfind("version=", 0) == 0) b.version(static_cast<uint16_t>(number(a[i].substr(8))));
      if (isdigit(a[i][0])) b.add(static_cast<int>(number(a[i])), {a[i].substr(colon + 1)});
    }
    unlink((dir_ / "kel.msg").c_str());
    if (a.size() > 1) write_file(dir_ / "kel.msg", raw.empty() ? b.bytes() : raw);
    SpawnOptions o = options({a.at(0)});
    o.env["A_MESSAGE"] = dir_ / "kel.msg";
    return row_run(o, "");
  };
  auto head = [&](const Words &a) {
    return escaped(read_file(dir_ / a.at(0)).substr(0, static_cast<size_t>(number(a.at(1)))));
  };
  auto input = [&](const Words &a) { return input_run(a); };
  EXPECT_TRUE(run_rows("archive/startup.txt",
                       {{"kel", kel}, {"msg", msg}, {"head", head}, {"input", input}}));
}

// Output runs as rows of archive/output.txt, by the input runs' driver
// over the plain files made here in the folder "o".
TEST_F(KelTexts, OutputRuns) {
  const std::string o = dir_ / "o/";
  mkdir(o.c_str(), 0755);
  mkdir((o + "sub").c_str(), 0755);
  write_file(o + "a.txt", "first line\nsecond line\n");
  chmod((o + "a.txt").c_str(), 0640);
  write_file(o + "sub/b.bin", random_data(70000, 1));
  // Either member magic in the first bytes makes a binary member; three
  // bytes of it are too few.
  write_file(o + "magic", std::string("\x10\x12\x14\x21payload", 11));
  write_file(o + "magic20", std::string("\x10\x12\x14\x20rest", 8));
  write_file(o + "three", std::string("\x10\x12\x14", 3));
  write_file(o + "empty", "");
  EXPECT_EQ(0, symlink("a.txt", (o + "link").c_str()));  // counts as a plain file
  for (const char *name : {"a:b", "c\\d", "TRAILER!!!"}) write_file(o + name, name);
  write_file(o + std::string(100, 'n'), "x");
  EXPECT_TRUE(
      run_rows("archive/output.txt", {{"kel", [&](const Words &a) { return input_run(a); }}}));
  // With its error output closed, the archive takes that descriptor: what
  // kel says of a missing file must not land in it.
  SpawnOptions closed =
      options({"-c", "exec \"$0\" -of arc 2>&-", KEL_BINARY}, "a.txt\nmissing\n", "o");
  closed.program = "/bin/sh";
  EXPECT_EQ(1, spawn_kel(closed).status);
  EXPECT_EQ(masked(model_archive(model_file_member(o, "a.txt", 'T'))),
            masked(read_file(o + "arc")));
}

// Input runs as rows of archive/input.txt and archive/stops.txt: "kel
// OPTION PIECE..." runs kel with OPTION over an archive of the pieces, in
// a folder of its own (or the one named), and shows the run and what it
// left. Pieces: plain:NAME:DATA (NAME up to the last colon),
// random:NAME:SIZE:SEED, idx (the sample indexed member "idx"),
// idx:RECORD,RECORD... and params:RECORD-PARAMETERS (the sample with
// those; unique:RECORD,RECORD... with a unique alternate key of 3 bytes at
// 4, physical:PHYSICAL-PARAMETERS), old:NAME:KEYS:RECORD,RECORD... (an
// old-style member of the archive's version), raw:BYTES, patch:AT:BYTES
// (over the members so far); mode=N, owner=N, group=N, mtime=N and
// type=LETTER (of the plain members after them; owner and imode=N of the
// indexed ones); version=N, record=N (and the media block), cut=N (the
// archive's first N bytes), fsize=N (the run's file size limit), ahead=N
// (N bytes ahead of the archive), header:TEXT (the volume header's text),
// swap (the bytes of each pair swapped); arg:WORD (a word more for kel),
// in:FOLDER (the run's folder, kept from row to row), keep:NAME:BYTES (a
// file there before the run). An output run: list:TEXT (of its list of
// files, so many more lines missing=N), file:TYPE[STORED]:NAME (a member
// of the archive it must write, a file of its folder), block=N (the
// archive's media block), stdout:NAME (its standard output a file of its
// folder). "records PATH" shows the records of an indexed file in the
// order of keys 0 and 1.
std::string KelTexts::input_run(const Words &a) {
  std::string archive, sub = std::to_string(folder_++), header, list, out;
  std::vector<std::string> args = {a.at(0)};
  std::vector<std::pair<std::string, std::string>> kept;
  long long version = 6, record = 512, cut = -1, fsize = -1, ahead = 0, mode = 0100644, owner = 0,
            group = 0, mtime = 1000000000, imode = 0100640, block = 0, missing = 0;
  char type = 'T';
  for (size_t i = 1; i < a.size(); ++i) {
    const size_t colon = std::min(a[i].find(':'), a[i].find('='));
    const std::string kind = a[i].substr(0, colon), arg = a[i].substr(colon + 1);
    const size_t second = arg.find(':'), last = arg.rfind(':');
    const std::string name = arg.substr(0, second), rest = arg.substr(second + 1);
    ModelIndexed x = sample_indexed();
    std::vector<std::string> records;
    std::istringstream listed(kind == "old" ? rest.substr(rest.find(':') + 1) : arg);
    if (kind == "idx" || kind == "unique" || kind == "old")
      for (std::string r; std::getline(listed, r, ',');) records.push_back(r);
    if ((kind == "idx" && colon != std::string::npos) || kind == "unique") x.records = records;
    if (kind == "unique") x.keys[1] = "01,0,003,0000000004";
    if (kind == "physical") x.physical_parameters = arg;
    if (kind == "type") type = arg.at(0);
    if (kind == "params") x.record_parameters = arg;
    std::map<std::string, long long *> numbers = {
        {"version", &version}, {"record", &record}, {"cut", &cut},     {"fsize", &fsize},
        {"ahead", &ahead},     {"mode", &mode},     {"owner", &owner}, {"group", &group},
        {"mtime", &mtime},     {"imode", &imode},   {"block", &block}, {"missing", &missing}};
    if (numbers.count(kind)) *numbers[kind] = number(arg);
    if (kind == "arg") args.push_back(arg);
    if (kind == "in") sub = arg;
    if (kind == "header") header = arg;
    if (kind == "keep") kept.emplace_back(name, rest);
    if (kind == "list") list += arg;
    if (kind == "stdout") out = arg;
    size_t longest = 0;
    for (const std::string &r : records) longest = std::max(longest, r.size());
    const bool lengths = version == 5;
    auto plain = [&](const std::string &file, const std::string &data) {
      return model_plain(file, data, type, static_cast<unsigned>(mode), static_cast<int>(owner),
                         static_cast<int>(group), mtime);
    };
    archive +=
        kind == "plain" ? plain(arg.substr(0, last), arg.substr(last + 1))
        : kind == "random"
            ? plain(name, random_data(number(rest), number(rest.substr(rest.find(':') + 1))))
        : kind == "idx" || kind == "params" || kind == "physical" || kind == "unique"
            ? model_v6_member("idx", x, static_cast<unsigned>(imode), static_cast<int>(owner))
        : kind == "old"
            ? model_member(static_cast<unsigned>(mode), 0, 0, mtime, name,
                           static_cast<long long>((longest + (lengths ? 2 : 0)) * records.size()),
                           'V') +
                  model_old_data("note", rest.substr(0, rest.find(':')), records, lengths)
        : kind == "file" ? model_file_member(dir_ / sub, rest, name.at(0), name.substr(1))
        : kind == "raw"  ? arg
                         : "";
    if (kind == "patch") archive.replace(static_cast<size_t>(number(name)), rest.size(), rest);
  }
  const bool files = !archive.empty();
  archive = model_archive(archive, static_cast<int>(record),
                          static_cast<int>(block ? block : record), static_cast<int>(version));
  if (!header.empty()) archive.replace(0, 512, (header + std::string(512, '\0')).substr(0, 512));
  if (std::find(a.begin(), a.end(), "swap") != a.end()) archive = swap_pairs_of(archive);
  archive.insert(0, std::string(static_cast<size_t>(ahead), 'L'));
  if (cut >= 0) archive.resize(static_cast<size_t>(cut));
  mkdir((dir_ / sub).c_str(), 0755);
  for (const auto &[name, bytes] : kept) write_file(dir_ / (sub + "/" + name), bytes);
  for (long long i = 0; i < missing; ++i) list += "missing" + std::to_string(i) + "\n";
  SpawnOptions o = options(args, list.empty() ? archive : list, sub);
  o.fsize_limit = fsize;
  if (!out.empty()) o.stdout_path = dir_ / (sub + "/" + out);
  if (!list.empty()) return row_run(o, list, "", files ? archive : "");
  return row_run(o, archive, sub);
}

TEST_F(KelTexts, InputRuns) {
  auto records = [&](const Words &a) {
    return escaped(records_of(dir_ / a.at(0), 0)) + " " + escaped(records_of(dir_ / a.at(0), 1));
  };
  // "stat kept|mine PATH...": each file's owner and group, the archived
  // ones (54321: kept where the run may keep them, as root) or the user's,
  // and its time, the archived one or the restore's.
  auto owners_and_times = [&](const Words &a) {
    std::string out;
    for (size_t i = 1; i < a.size(); ++i) {
      struct stat st = {};
      lstat((dir_ / a[i]).c_str(), &st);
      const bool kept = st.st_uid == 54321 && st.st_gid == 54321;
      const bool mine = st.st_uid == geteuid() && st.st_gid == getegid();
      out += (i > 1 ? ", " : "") + a[i] +
             (a[0] == "kept" && (kept || geteuid() != 0) ? " kept"
              : a[0] == "mine" && mine                   ? " mine"
                                                         : " other") +
             (st.st_mtime == 1000000000 ? " archived time" : " new time");
    }
    return out;
  };
  auto kel = [&](const Words &a) { return input_run(a); };
  EXPECT_TRUE(run_rows("archive/input.txt",
                       {{"kel", kel}, {"records", records}, {"stat", owners_and_times}}));
  EXPECT_TRUE(run_rows("archive/stops.txt", {{"kel", kel}}));
}

}  // namespace
}  // namespace kel::test
