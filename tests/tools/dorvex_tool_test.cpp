// dorvex-tool run as an operator runs it, on files made here through the
// public entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
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

  // A run that must end with `status`.
  RunResult tool(std::vector<std::string> args, int status = 0, int version = 5) {
    SpawnOptions o;
    o.program = DORVEX_TOOL_BINARY;
    o.args = std::move(args);
    o.cwd = dir_.path();
    o.env["V_VERSION"] = std::to_string(version);
    RunResult r = spawn_kel(o);
    EXPECT_EQ(r.status, status) << o.args[0] << ":\n" << r.out << r.err;
    return r;
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

  // `copy` is of the shape's version and holds the records written, in
  // every key's order the same sequence of key values as `name`.
  void expect_same_orders(const std::string &name, const std::string &copy, const Shape &s,
                          const std::vector<std::string> &written) {
    DorvexFile *f = v5_open(path(copy), KEL_OPEN_INPUT, nullptr);
    ASSERT_NE(nullptr, f) << copy;
    char version[512] = {};
    v5_info(f, V5_INFO_VERSION, version);
    v5_close(f);
    EXPECT_EQ(atoi(version), s.file.version);
    for (size_t k = 0; k < s.file.keys.size(); ++k) {
      std::vector<std::string> a = records_in_order(path(name), static_cast<int>(k), 256);
      std::vector<std::string> b = records_in_order(path(copy), static_cast<int>(k), 256);
      ASSERT_EQ(a.size(), written.size());
      ASSERT_EQ(b.size(), a.size());
      for (size_t i = 0; i < a.size(); ++i)
        ASSERT_EQ(key_value(s.file.keys[k], a[i], s.file.case_folding),
                  key_value(s.file.keys[k], b[i], s.file.case_folding));
      std::sort(b.begin(), b.end());
      EXPECT_EQ(b, written);
    }
  }

  const char *path(const std::string &name) { return (paths_.emplace_back(dir_ / name)).c_str(); }

  TempDir dir_;
  std::vector<std::string> paths_;
};

// Unloaded and loaded again, in both forms and from every key's order, a
// file gives the same records in every key's order: the same sequence of
// key values, and the same records (records of equal alternate key values
// come in the order they were written, which the load cannot know). Then
// its index segment overwritten: the check finds problems, rebuild
// re-creates every tree from the data records, and the check then finds
// the file sound with every record in it.
TEST_F(DorvexToolTest, UnloadLoadAndRebuildKeepEveryKeysOrder) {
  for (const Shape &s : kShapes) {
    SCOPED_TRACE(s.what);
    std::vector<std::string> written = make("cust.dat", s);
    std::sort(written.begin(), written.end());
    const std::vector<KeySpec> &keys = s.file.keys;
    for (const std::string form : {"member", "text"}) {
      for (size_t order = 0; order < keys.size(); ++order) {
        const std::string key = std::to_string(order), out = "unl." + form + key;
        SCOPED_TRACE(out);
        std::vector<std::string> args = {"unload", "cust.dat", out, "--key", key};
        if (form == "text") args.push_back("--text");
        tool(args);
        tool({"load", out, "copy" + form + key}, 0, s.file.version);
        expect_same_orders("cust.dat", "copy" + form + key, s, written);
      }
    }
    tool({"copy", "cust.dat", "copied"});
    expect_same_orders("cust.dat", "copied", s, written);
    if (s.file.version >= 4) {
      std::string index = read_file(dir_ / "cust.vix");
      ASSERT_GT(index.size(), 2048u);
      std::fill(index.begin() + 1024, index.end(), '\x5A');
      write_file(dir_ / "cust.vix", index);
      tool({"check", "cust.dat"}, 1);
      tool({"rebuild", "cust.dat", "--keep"});
      EXPECT_TRUE(file_exists(dir_ / "before-rebuild-cust.vix"));
      EXPECT_NE(tool({"check", "cust.dat"}).out.find("result: sound"), std::string::npos);
      expect_same_orders("copied", "cust.dat", s, written);
    }
    for (const std::string &f : folder_entries(dir_.path())) remove((dir_ / f).c_str());
  }
}

// What an operator may get wrong or meet, as one transcript whose command
// lines are the script: each "$ " line of the golden file runs in /bin/sh
// in the test's folder with dorvex-tool on the PATH, and what it wrote,
// its status and the files it made (+), changed (~) or removed (-) follow
// it; a new text unload shows whole. Two leading words are the test's:
// FSIZE=N, a full disk after N bytes; HOLD=cust, another process holding
// cust open for update. A new row: its line in the file, then
// KEL_UPDATE_GOLDEN=1.
TEST_F(DorvexToolTest, ScriptedRuns) {
  // Writers killed in a load (the file marked incomplete) and an update.
  // Records of 30 bytes: key 0 four bytes at 0, key 1 two at 4 with
  // duplicates.
  const FileShape shape{5, nullptr, 30, 30, {{{{4, 0}}, false}, {{{2, 4}}, true}}};
  for (const char *name : {"loading", "updating"}) {
    ASSERT_EQ(shape.make(path(name)), 1);
    Worker writer({[&](int64_t incomplete) {
      DorvexFile *f = v5_open(path(name), KEL_OPEN_IO, nullptr);
      return int64_t{f && (!incomplete || v5_mark_incomplete(f)) &&
                     v5_write(f, "K001XY........................", 30)};
    }});
    EXPECT_EQ(writer.run(0, name[0] == 'l'), 1);
    writer.kill();
  }
  DorvexFile *held = nullptr;
  const int32_t mode = KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE;
  auto hold = [&](int64_t) { return int64_t{(held = v5_open(path("cust"), mode, nullptr)) != 0}; };
  Worker holder({hold, [&](int64_t) { return int64_t{v5_close(held)}; }});
  auto files = [&] {
    std::map<std::string, std::string> bytes;
    for (const std::string &f : folder_entries(dir_.path())) bytes[f] = read_file(dir_ / f);
    return bytes;
  };
  std::istringstream lines(read_file(std::string(KEL_GOLDEN_DIR) + "/tools/scripted_runs.txt"));
  std::string script, usage;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("# ")) script += "\n" + line + "\n";
    if (!line.starts_with("$ ")) continue;
    SpawnOptions o;
    o.args = {"-c", line.substr(2)};
    o.cwd = dir_.path();
    o.program = "/bin/sh";
    o.env["PATH"] =
        std::filesystem::path(DORVEX_TOOL_BINARY).parent_path().string() + ":" + getenv("PATH");
    if (line.starts_with("$ FSIZE=")) o.fsize_limit = std::stoll(line.substr(8));
    EXPECT_TRUE(!line.starts_with("$ HOLD=cust ") || holder.run(0) == 1) << line;
    const std::map<std::string, std::string> before = files();
    RunResult r = spawn_kel(o);
    const std::map<std::string, std::string> after = files();
    EXPECT_TRUE(!line.starts_with("$ HOLD=cust ") || holder.run(1) == 1) << line;
    r.err = replace_all(r.err, "process " + std::to_string(holder.pid()), "process <holder>");
    if (line == "$ dorvex-tool --help") usage = r.out;
    script += line + "\n" + shown(replace_all(r.out, usage, "<usage>\n"), "out: ") +
              shown(replace_all(r.err, usage, "<usage>\n"), "err: ") + "status " +
              std::to_string(r.status) + "\nfiles:";
    std::string texts, changed;
    for (const auto &[name, bytes] : after) {
      auto was = before.find(name);
      if (was == before.end()) changed += " +" + name + " (" + std::to_string(bytes.size()) + ")";
      if (was == before.end() && name.ends_with(".txt")) texts += shown(bytes, "  ");
      if (was != before.end() && was->second != bytes) changed += " ~" + name;
    }
    for (const auto &[name, bytes] : before)
      if (after.count(name) == 0) changed += " -" + name;
    script += (changed.empty() ? " unchanged" : changed) + "\n" + texts;
  }
  EXPECT_TRUE(matches_golden("tools/scripted_runs.txt", replace_all(script, dir_.path(), "<dir>")));
}

}  // namespace
}  // namespace kel::test
