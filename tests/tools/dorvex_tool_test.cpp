// dorvex-tool run as an operator runs it, on files made here through the
// public entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "archive/kel_script.h"
#include "common/shapes.h"
#include "common/spawn.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "kelfs/config.h"
#include "kelfs/kelfs.h"

namespace kel::test {
namespace {

struct Shape {
  const char *what;
  FileShape file;  // case folding: lower case collates as upper case
  int records;
};

// Records: a unique 8-digit number at 0, a 4-letter town at 10 shared by
// many (bytes 8-9 and 14-19 vary), lengths from the minimum to the
// maximum.
const Shape kShapes[] = {
    {"version 5, duplicates, variable length",
     {5, "1,2,2,0,0", 60, 20, {{{{8, 0}}}, {{{4, 10}}, true}}},
     700},
    {"version 4, three keys, a key of two segments",
     {4, "1,2,2,0,0", 40, 40, {{{{8, 0}}}, {{{4, 10}}, true}, {{{2, 14}, {3, 8}}, true}}},
     300},
    {"version 2", {2, "1,2,2,0,0", 30, 30, {{{{8, 0}}}, {{{4, 10}}, true}}}, 250},
    {"version 5, translation table",
     {5, "1,2,2,0,0", 24, 24, {{{{8, 0}}}, {{{4, 10}}, true}}, true},
     200},
};

// A key's value as the file compares it: through the translation table,
// when it has one, which collates lower case as upper case.
std::string key_value(const KeySpec &k, const std::string &record, bool table) {
  std::string v;
  for (const KeyPart &p : k.parts) v += record.substr(p.offset, p.size);
  if (table) std::transform(v.begin(), v.end(), v.begin(), [](char c) { return toupper(c); });
  return v;
}

class DorvexToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    v5_init_cfg();
    v5_init();
  }
  void TearDown() override {
    v5_exit();
    v5_deinit_cfg();
  }

  RunResult tool(std::vector<std::string> args, int version = 5) {
    SpawnOptions o;
    o.program = DORVEX_TOOL_BINARY;
    o.args = std::move(args);
    o.cwd = dir_.path();
    o.env["V_VERSION"] = std::to_string(version);
    return spawn_kel(o);
  }

  // Makes `name` with the shape and writes its records in random order.
  std::vector<std::string> make(const std::string &name, const Shape &s) {
    EXPECT_EQ(s.file.make(path(name), "shape"), 1);
    cfg_set_short("V_VERSION", KELFS_CONFIG_SET, 5);
    const int max = int(s.file.max_record), min = int(s.file.min_record);
    std::mt19937 random(static_cast<unsigned>(s.records));
    std::vector<int> numbers(static_cast<size_t>(s.records));
    for (int i = 0; i < s.records; ++i) numbers[static_cast<size_t>(i)] = i * 7 + 3;
    std::shuffle(numbers.begin(), numbers.end(), random);
    static const char *const towns[] = {"LEED", "york", "YORK", "HULL", "BATH"};
    std::vector<std::string> records;
    DorvexFile *f = v5_open(path(name), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, nullptr);
    EXPECT_NE(f, nullptr);
    for (int n : numbers) {
      char r[80];
      snprintf(r, sizeof r, "%08d%02u%s%06u", n, static_cast<unsigned>(random() % 100),
               towns[random() % 5], static_cast<unsigned>(random() % 1000000));
      std::string record(r);
      record.resize(static_cast<size_t>(min + static_cast<int>(random() % (max - min + 1))), '*');
      EXPECT_EQ(v5_write(f, record.data(), static_cast<uint32_t>(record.size())), 1) << record;
      records.push_back(record);
    }
    EXPECT_EQ(v5_close(f), 1);
    return records;
  }

  // Every record in the order of key `key`.
  std::vector<std::string> in_order(const std::string &name, int key) {
    std::vector<std::string> out;
    DorvexFile *f = v5_open(path(name), KEL_OPEN_INPUT, nullptr);
    EXPECT_NE(f, nullptr) << name;
    if (f == nullptr) return out;
    std::vector<char> r(256, 0);
    if (v5_start(f, r.data(), key, 0, V5_START_NOT_LESS)) {
      uint32_t n;
      while ((n = v5_next(f, r.data())) > 0) out.emplace_back(r.data(), n);
    }
    EXPECT_EQ(*fs_error_code(), E_NOT_FOUND);
    v5_close(f);
    return out;
  }

  int version_of(const std::string &name) {
    DorvexFile *f = v5_open(path(name), KEL_OPEN_INPUT, nullptr);
    char text[512] = {};
    v5_info(f, V5_INFO_VERSION, text);
    v5_close(f);
    return atoi(text);
  }

  const char *path(const std::string &name) { return (paths_.emplace_back(dir_ / name)).c_str(); }

  TempDir dir_;
  std::vector<std::string> paths_;
};

// Unloaded and loaded again, in both forms and from every key's order, a
// file gives the same records in every key's order: the same sequence of
// key values, and the same records (records of equal alternate key values
// come in the order they were written, which the load cannot know).
TEST_F(DorvexToolTest, UnloadThenLoadKeepsEveryKeysOrder) {
  for (const Shape &s : kShapes) {
    SCOPED_TRACE(s.what);
    std::vector<std::string> written = make("orig", s);
    std::sort(written.begin(), written.end());
    const std::vector<KeySpec> &keys = s.file.keys;
    for (const char *form : {"member", "text"}) {
      for (size_t order = 0; order < keys.size(); ++order) {
        SCOPED_TRACE(std::string(form) + " form, key " + std::to_string(order));
        const std::string out = "unl." + std::string(form) + std::to_string(order);
        const std::string copy = "copy" + std::string(form) + std::to_string(order);
        std::vector<std::string> args = {"unload", "orig", out, "--key", std::to_string(order)};
        if (std::string(form) == "text") args.push_back("--text");
        RunResult r = tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        r = tool({"load", out, copy}, s.file.version);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(version_of(copy), s.file.version);
        for (size_t k = 0; k < keys.size(); ++k) {
          std::vector<std::string> a = in_order("orig", static_cast<int>(k));
          std::vector<std::string> b = in_order(copy, static_cast<int>(k));
          ASSERT_EQ(a.size(), written.size());
          ASSERT_EQ(b.size(), a.size());
          for (size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(key_value(keys[k], a[i], s.file.case_folding),
                      key_value(keys[k], b[i], s.file.case_folding));
          std::sort(b.begin(), b.end());
          EXPECT_EQ(b, written);
        }
      }
    }
    EXPECT_EQ(tool({"copy", "orig", "copied"}).status, 0);
    EXPECT_EQ(in_order("copied", 0), in_order("orig", 0));
    EXPECT_EQ(version_of("copied"), s.file.version);
    // The made files stay: the next shape's must not meet them.
    EXPECT_EQ(tool({"load", "unl.text0", "copied"}).status, 3);
    for (const std::string &f : folder_entries(dir_.path())) remove((dir_ / f).c_str());
  }
}

// A file whose index segment was overwritten: the check finds problems,
// rebuild re-creates every tree from the data records, and the check then
// finds the file sound with every record in it.
TEST_F(DorvexToolTest, RebuildBringsBackADamagedIndex) {
  for (int version : {5, 4}) {
    Shape s = kShapes[0];
    s.file.version = version;
    std::vector<std::string> written = make("cust.dat", s);
    std::sort(written.begin(), written.end());
    std::string index = read_file(dir_ / "cust.vix");
    ASSERT_GT(index.size(), 2048u);
    std::fill(index.begin() + 1024, index.end(), '\x5A');
    write_file(dir_ / "cust.vix", index);

    RunResult r = tool({"check", "cust.dat"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    r = tool({"rebuild", "cust.dat", "--keep"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(file_exists(dir_ / "before-rebuild-cust.vix"));
    r = tool({"check", "cust.dat"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("result: sound"), std::string::npos) << r.out;
    EXPECT_EQ(version_of("cust.dat"), version);
    for (int k : {0, 1}) {
      std::vector<std::string> got = in_order("cust.dat", k);
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, written);
    }
    for (const std::string &f : folder_entries(dir_.path())) remove((dir_ / f).c_str());
  }
}

// Usage on standard output for --help; errors name the file and the
// reason, with the statuses the manual page gives.
TEST_F(DorvexToolTest, UsageAndErrors) {
  RunResult r = tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: dorvex-tool"), std::string::npos);
  EXPECT_EQ(tool({"frobnicate", "x"}).status, 2);
  EXPECT_EQ(tool({"unload", "x", "y", "--key"}).status, 2);
  r = tool({"info", "missing"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("dorvex-tool: missing: No such file"), std::string::npos) << r.err;
  write_file(dir_ / "plain", std::string(4096, 'x'));
  r = tool({"check", "plain"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("plain: "), std::string::npos) << r.err;
  write_file(dir_ / "junk.unl", "dorvex-tool unload 1\nversion 9\n");
  r = tool({"load", "junk.unl", "made"});
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("junk.unl: line \"version N\""), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(dir_ / "made"));
}

// What an operator may get wrong or meet, answered in one transcript. A
// row is a command line; words in front of it set the environment
// (NAME=VALUE), a full disk after N bytes (FSIZE=N) or another process
// holding FILE open for update (HOLD=FILE), "< FILE" gives standard input.
// The transcript holds what the tool wrote, its status and which files of
// the folder it made, changed or removed: a failure must leave them all.
const char *const kRows[] = {
    "# usage: the text on standard output for help, on the error output with status 2", "--help",
    "-h", "info --help", "unload cust --help", "load x --help", "", "frobnicate cust", "info",
    "info cust old", "check", "copy cust", "load cust.unl", "unload cust", "unload cust o --key",
    "unload cust o --key one", "unload cust o --key 1x", "unload cust o --keep",
    "rebuild cust --text", "rebuild cust --keep more", "transact cust", "recover",
    "# info: every version, a translation table, marked files, no indexed file", "info missing",
    "info plain", "info nodir/cust", "info old", "info folded", "info wide", "info loading",
    "info updating", "HOLD=cust info cust",
    "# check: a marked file, and a dead writer's mark cleared", "check missing", "check plain",
    "check loading", "check updating", "info updating", "check old", "HOLD=cust check cust",
    "# unload: keys, forms, the output file, a full disk", "unload missing o", "unload plain o",
    "unload loading o", "unload cust o --key 2", "unload cust o --key -1", "unload cust cust.unl",
    "unload cust nodir/o", "unload cust plain", "unload wide wide.unl",
    "unload wide wide.txt --text", "unload cust cust.txt --text",
    "unload folded folded.txt --text --key 1", "unload old old.unl",
    "FSIZE=300 unload cust full.txt --text", "FSIZE=100 unload cust full.unl",
    "HOLD=cust unload cust o", "# load: damaged, cut and hand-made unload files",
    "load missing.unl x", "load cust.unl cust", "load plain x", "load cut-texts.unl x",
    "load cut-records.unl x", "load no-trailer.unl x", "load cust.unl nodir/x",
    "FSIZE=1200 load cust.unl x", "V_VERSION=3 load old.unl v3", "info v3", "load cust.txt cust2",
    "unload cust2 cust2.txt --text", "load folded.txt folded2", "load wide.txt wide2",
    // The hand-made text variants follow, one row each.
    "# copy", "copy missing x", "copy cust old", "copy plain x", "copy loading x", "copy old old3",
    "copy folded nodir/x", "FSIZE=1200 copy cust x", "HOLD=cust copy cust x",
    "# rebuild: every version, marked files, names in the way", "rebuild missing", "rebuild plain",
    "HOLD=cust rebuild cust", "rebuild old --keep", "rebuild old --keep", "copy cust rebuild-cust",
    "rebuild cust", "rebuild loading", "check loading", "rebuild updating",
    "FSIZE=1200 rebuild folded", "check folded",
    "# transact and recover: bad change lines, a duplicate, missing logs and files",
    "transact missing today.log < changes", "transact cust today.log < badline",
    "transact cust today.log < duplicate", "transact cust nodir/today.log < changes",
    "HOLD=cust transact cust today.log < changes", "transact cust today.log < changes",
    "unload cust after.txt --text", "recover missing.log", "recover plain", "recover today.log",
    "unload cust replayed.txt --text"};

// Text unload files made by hand, each with one defect (or none).
const std::pair<std::string, std::pair<const char *, const char *>> kTextEdits[] = {
    {"text.unl", {"", ""}},
    {"version.unl", {"version 4", "version 6"}},
    {"record-params.unl", {"0000000030,0000000010,002", "thirty"}},
    {"key-count.unl", {",002\n", ",003\n"}},
    {"physical.unl", {"physical-parameters", "physical"}},
    {"comment.unl", {"by hand", "by \\hand"}},
    {"table.unl", {"translation-table none", "translation-table 00FF"}},
    {"key-number.unl", {"key 0 ", "key 1 "}},
    {"key-text.unl", {"01,0,004,0000000000", "01,0,004"}},
    {"count.unl", {"records 2\n", ""}},
    {"more.unl", {"records 2", "records 3"}},
    {"fewer.unl", {"records 2", "records 1"}},
    {"short.unl", {"XY at least ten", "XY"}},
    {"escape.unl", {"\\x00", "\\x0"}},
    {"duplicates.unl", {"B001XY", "A001XY"}},
    {"key-outside.unl", {"01,1,002,0000000004", "01,1,002,0000000029"}},
    {"version2.unl", {"version 4", "version 2"}},
};

TEST_F(DorvexToolTest, ScriptedRuns) {
  const FileShape five = small_shape(5);
  const std::vector<std::string> records = {
      five.record({"A001", "XY"}), five.record({"A002", "XY"}, 0, '\\'),
      five.record({"A\x01\xff", "\tZ"}), five.record({"B001", "XY"})};
  auto fill = [&](const char *name, const FileShape &shape) {
    DorvexFile *f = shape.make_open(path(name));
    ASSERT_NE(f, nullptr) << name;
    for (const std::string &r : records)
      EXPECT_EQ(v5_write(f, r.data(), static_cast<uint32_t>(r.size())), 1);
    EXPECT_EQ(v5_close(f), 1);
  };
  FileShape folded = five;
  folded.case_folding = true;
  fill("cust", five);
  fill("old", small_shape(2));
  fill("folded", folded);
  fill("wide", FileShape{5, nullptr, 70000, 30, {{{{4, 0}}}}});
  // Writers killed in a load (the file marked incomplete) and an update.
  for (const char *name : {"loading", "updating"}) {
    fill(name, five);
    Worker writer({[&](int64_t incomplete) {
      DorvexFile *f = v5_open(path(name), KEL_OPEN_IO, nullptr);
      return int64_t{f && (!incomplete || v5_mark_incomplete(f))};
    }});
    EXPECT_EQ(writer.run(0, name[0] == 'l'), 1);
    writer.kill();
  }
  write_file(dir_ / "plain", std::string(4096, 'x'));
  auto change = [&](const char *how, const char *key, const char *town = "XY") {
    return how + five.record({key, town}) + "\n";
  };
  write_file(dir_ / "changes", change("+", "C001") + "\n" + change("=", "A001", "ZZ") +
                                   "commit\n-B001\n" + change("=", "A002", "ZZ") + "rollback\n" +
                                   change("+", "D001"));
  write_file(dir_ / "badline", change("+", "E001") + "*E002\n");
  write_file(dir_ / "duplicate", change("+", "F001") + change("+", "A001"));
  // The member form and cut copies of it: within the texts, within the
  // records, without the trailer member.
  ASSERT_EQ(tool({"unload", "cust", "cust.unl"}).status, 0);
  const std::string member = read_file(dir_ / "cust.unl");
  write_file(dir_ / "cut-texts.unl", member.substr(0, 70));
  write_file(dir_ / "cut-records.unl", member.substr(0, member.size() - 80));
  write_file(dir_ / "no-trailer.unl", member.substr(0, member.size() - 60));
  remove((dir_ / "cust.unl").c_str());
  const std::string text =
      "dorvex-tool unload 1\nversion 4\nrecord-parameters 0000000030,0000000010,002\n"
      "physical-parameters 01,0000000,0000001,000,0\ncomment made by hand\n"
      "translation-table none\nkey 0 01,0,004,0000000000\nkey 1 01,1,002,0000000004\n"
      "records 2\nA001XY and a \\\\ \\x00\nB001XY at least ten\n";
  std::vector<std::string> rows(std::begin(kRows), std::end(kRows));
  for (const auto &[name, edit] : kTextEdits) {
    write_file(dir_ / name, replace_all(text, edit.first, edit.second));
    if (*edit.first)
      rows.insert(std::find(rows.begin(), rows.end(), "# copy"),
                  "load " + std::string(name) + " " + name.substr(0, name.find('.')));
  }

  std::string script, usage;
  auto files = [&] {
    std::map<std::string, std::string> bytes;
    for (const std::string &f : folder_entries(dir_.path())) bytes[f] = read_file(dir_ / f);
    return bytes;
  };
  for (const std::string &row : rows) {
    if (row.rfind("# ", 0) == 0) {
      script += "\n" + row + "\n";
      continue;
    }
    SpawnOptions o;
    o.program = DORVEX_TOOL_BINARY;
    o.cwd = dir_.path();
    std::string shown = "$", held;
    std::istringstream words(row);
    for (std::string w; words >> w;) {
      const size_t eq = w.find('=');
      if (o.args.empty() && eq != std::string::npos) {
        const std::string name = w.substr(0, eq), value = w.substr(eq + 1);
        if (name == "FSIZE")
          o.fsize_limit = std::stoll(value);
        else if (name == "HOLD")
          held = value;
        else
          o.env[name] = value;
      } else if (w == "<") {
        words >> w;
        o.stdin_path = dir_ / w;
        shown += " <";
      } else {
        if (o.args.empty()) shown += " dorvex-tool";
        o.args.push_back(w);
      }
      shown += " " + w;
    }
    if (o.args.empty()) shown += " dorvex-tool";
    // The holder opens the file for update, exclusively, and closes it
    // after the run.
    DorvexFile *holding = nullptr;
    std::unique_ptr<Worker> holder;
    if (!held.empty()) {
      holder = std::make_unique<Worker>(std::vector<Worker::Step>{
          [&](int64_t) {
            holding = v5_open(path(held), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, nullptr);
            return int64_t{holding != nullptr};
          },
          [&](int64_t) { return int64_t{v5_close(holding)}; }});
      EXPECT_EQ(holder->run(0), 1) << row;
    }
    const std::map<std::string, std::string> before = files();
    RunResult r = spawn_kel(o);
    const std::map<std::string, std::string> after = files();
    if (holder) {
      EXPECT_EQ(holder->run(1), 1) << row;
      r.err = replace_all(r.err, std::to_string(holder->pid()), "<holder>");
    }
    if (row == "--help") usage = r.out;
    script += shown + "\n" + test::shown(replace_all(r.out, usage, "<usage>\n"), "out: ") +
              test::shown(replace_all(r.err, usage, "<usage>\n"), "err: ") + "status " +
              std::to_string(r.status) + "\n";
    // A new text unload shows whole: the records the command left.
    std::string changes, texts;
    for (const auto &[name, bytes] : after) {
      auto was = before.find(name);
      if (was == before.end())
        changes += " +" + name + " (" + std::to_string(bytes.size()) + ")";
      else if (was->second != bytes)
        changes += " ~" + name;
      if (was == before.end() && name.ends_with(".txt")) texts += test::shown(bytes, "  ");
    }
    for (const auto &[name, bytes] : before)
      if (after.count(name) == 0) changes += " -" + name;
    script += "files:" + (changes.empty() ? " unchanged" : changes) + "\n" + texts;
  }
  EXPECT_TRUE(matches_golden("tools/scripted_runs.txt", replace_all(script, dir_.path(), "<dir>")));
}

}  // namespace
}  // namespace kel::test
