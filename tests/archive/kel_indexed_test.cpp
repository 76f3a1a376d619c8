// kel and the indexed engine end to end: indexed files made through the
// engine in the test process, archived and restored by the built kel, and
// compared with the original in the order of every key; members of both
// styles compared byte for byte with the model; and the data-safety cases:
// duplicate keys, a full disk and an interrupted or killed process while a
// file is restored, find lists that name segments, hostile archives.
// (Archives of plain files compared with the model are rows of
// archive/output.txt.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <numeric>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/kel_script.h"
#include "common/fails.h"
#include "common/shapes.h"
#include "config/config.h"

namespace kel::test {
namespace {

// A shape, its comment and its collating table (empty: none).
struct Layout {
  FileShape shape;
  std::string comment, table;
};

// One unique key, fixed-length records, no compression.
Layout unique_key(int version = 5) {
  return {{version, "1,1,1,0,0", 40, 40, {{{{8, 0}}}}}, "unique", ""};
}

// Alternate keys with duplicates, a key of three parts, a unique alternate
// of two, variable lengths and compression.
Layout alternates(int version) {
  std::vector<KeySpec> keys = {
      {{{6, 0}}}, {{{4, 6}}, true}, {{{3, 10}, {2, 20}, {5, 30}}, true}, {{{5, 13}, {5, 40}}}};
  return {{version, "2,1,1,70,0", 120, 48, keys}, "alternates", ""};
}

// A descending collation: byte 0 is the highest key byte, so a search from
// a cleared record would start at the end.
Layout descending() {
  Layout l{{5, "1,1,1,1,0", 60, 30, {{{{6, 2}}}, {{{3, 10}}, true}}}, "descending", ""};
  for (int i = 0; i < 256; ++i) l.table += static_cast<char>(255 - i);
  return l;
}

// Old style: key 0 of 8 bytes at 0, key 1 of 10 bytes at 8 with
// duplicates, and the description an old-style archive gives them.
Layout old_style() {
  return {{5, "1,1,1,0,0", 40, 20, {{{{8, 0}}}, {{{10, 8}}, true}}}, "old", ""};
}
const char kOldKeys[] = "001,001,1,0040,02,008,0000,010,0008,Y,Y,N,N";

// Makes the file with `n` records of the shared generator, written in the
// order of key 0 as a restore writes them, so that the duplicates of an
// alternate key stand in the same order in the file and in its copy (a
// unique alternate key drawn twice keeps its first record). The generator's
// key values order by their number; the descending table reverses that.
void make_indexed(const std::string &path, const Layout &l, int n, unsigned seed) {
  RecordGen gen(l.shape, {{static_cast<size_t>(n)},
                          {static_cast<size_t>(n / 10 + 1)},
                          {static_cast<size_t>(n / 10 + 1)},
                          {1000000, false, true}});
  std::mt19937 rng(seed);
  std::vector<size_t> order(static_cast<size_t>(n));
  std::iota(order.begin(), order.end(), 0);
  if (!l.table.empty()) std::reverse(order.begin(), order.end());
  cfg_set_short("V_VERSION", 0, static_cast<int16_t>(l.shape.version));
  ASSERT_EQ(
      1, v5_make(path.c_str(), l.comment.c_str(), l.shape.physical, l.shape.record_text().c_str(),
                 l.shape.key_text().c_str(), l.table.empty() ? nullptr : l.table.data()))
      << *fs_error_code();
  DorvexFile *f =
      v5_open(path.c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
  for (size_t v : order) {
    std::string r = gen.with_key0(v, rng);
    if (v5_write(f, r.data(), static_cast<uint32_t>(r.size())) != 1) {
      ASSERT_EQ(E_DUPLICATE, *fs_error_code());
    }
  }
  ASSERT_EQ(1, v5_close(f));
}

// Every record of the file in the order of key k, from a record of the
// byte whose translation is the smallest (below every key).
std::vector<std::string> walk(const std::string &path, const Layout &l, int k) {
  int lowest = 0;
  for (int b = 1; b < 256 && !l.table.empty(); ++b)
    if (static_cast<uint8_t>(l.table[b]) < static_cast<uint8_t>(l.table[lowest])) lowest = b;
  return records_in_order(path, k, l.shape.max_record, static_cast<char>(lowest));
}

// What v5_info tells of the file: record count, the three parameter
// texts, the translation table (or "none"), the version, every key text.
std::vector<std::string> info_texts(const std::string &path) {
  std::vector<std::string> out;
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  EXPECT_NE(nullptr, f) << path;
  if (f == nullptr) return out;
  char text[512];
  for (int32_t code : {-4, -1, -2, -3, -5, -10}) {
    bool ok = v5_info(f, code, text) == 1;
    out.push_back(!ok ? "none" : code == -5 ? std::string(text, 256) : std::string(text));
  }
  for (int k = 0; k < atoi(out[1].c_str() + 22); ++k) {
    EXPECT_EQ(1, v5_info(f, k, text));
    out.push_back(text);
  }
  v5_close(f);
  return out;
}

// The texts (the version apart; only the record count and the comment
// without `all_texts`)
// and every record in the order of every key, each behind its length;
// every key reaches every record.
std::string dump(const std::string &path, const Layout &l, bool all_texts = true) {
  std::vector<std::string> texts = info_texts(path);
  if (texts.size() > 5) texts[5] = "";
  if (!all_texts) texts = {texts.at(0), texts.at(3)};
  for (size_t k = 0; k < l.shape.keys.size(); ++k) {
    std::vector<std::string> records = walk(path, l, static_cast<int>(k));
    EXPECT_EQ(atol(texts.at(0).c_str()), static_cast<long>(records.size())) << path << " key " << k;
    texts.insert(texts.end(), records.begin(), records.end());
  }
  std::string d;
  for (const std::string &t : texts) d += std::to_string(t.size()) + ":" + t;
  return d;
}

class KelIndexed : public KelScript {
 protected:
  KelIndexed() {
    v5_init_cfg();
    // The test's own engine makes and walks the files with a larger cache
    // (4 MiB) than kel's default, only to keep the suite fast.
    cfg_set_long("V_BUFFERS", 0, 8192);
    cfg_set_programmatic("V_NO_ASYNC_CACHE_DATA", -1, "1", -1, 0);
    for (const char *d : {"src", "out"}) mkdir((dir_ / d).c_str(), 0755);
  }
  ~KelIndexed() override { cfg_set_long("V_SEG_SIZE", 0, 0x7FFFFA00); }

  // kel -o of the list in src; the run must succeed quietly.
  std::string archive_of(const std::string &list, const std::string &option = "-o") {
    RunResult made = spawn_kel(options({option}, list, "src"));
    EXPECT_EQ(0, made.status) << made.err;
    EXPECT_EQ(std::to_string(made.out.size() / 512) + " blocks\n", made.err);
    return made.out;
  }
  // The model's member of the file src/`name`: the texts v5_info gives,
  // then its records in key-0 order behind their lengths; or, with the
  // old-style description `old_keys`, that and the comment before them.
  std::string member_of(const std::string &name, const Layout &l, const char *old_keys = nullptr) {
    std::vector<std::string> t = info_texts(src(name));
    const ModelIndexed x{.record_parameters = t[1],
                         .physical_parameters = t[2],
                         .comment = t[3],
                         .table = t[4] == "none" ? "" : t[4],
                         .keys = {t.begin() + 6, t.end()},
                         .records = walk(src(name), l, 0)};
    long long size = (atoi(t[1].c_str()) + 2) * static_cast<long long>(x.records.size());
    return model_header_of(dir_ / "src", name, "", size, 'V') +
           (old_keys ? model_old_data(x.comment, old_keys, x.records, true) : model_v6_data(x));
  }
  std::string src(const std::string &name) { return dir_ / ("src/" + name); }
  std::string out(const std::string &name) { return dir_ / ("out/" + name); }
};

// Each layout archived (its member the model's, to the byte; an empty
// file has data size 0) and restored as the version asked for.
TEST_F(KelIndexed, EveryLayoutAndFileVersionRoundTrips) {
  // Old style (-o1): variable lengths, compression, nodes of two blocks,
  // duplicates in key 1; its restore makes a file of the defaults.
  const Layout people = {{5, "2,1,1,70,0", 60, 20, {{{{8, 0}}}, {{{10, 8}}, true}}}, "people", ""};
  struct {
    Layout layout;
    int records;
    const char *option;  // the restore's
    int restored;        // its version
    const char *made = "-o";
    const char *old_keys = nullptr;  // an old-style member's description: to the byte
  } cases[] = {{unique_key(3), 2000, "-i", 5},  {descending(), 2000, "-i", 5},
               {alternates(4), 2000, "-i3", 3}, {alternates(5), 2000, "-i4", 4},
               {alternates(3), 2000, "-i5", 5}, {alternates(5), 100000, "-i", 5},
               {unique_key(2), 2000, "-i2", 2}, {people, 400, "-i", 5, "-o1"},
               {alternates(5), 0, "-i", 5},     {old_style(), 25, "-i", 5, "-o1", kOldKeys}};
  int i = 0;
  for (const auto &c : cases) {
    std::string name = "f" + std::to_string(i++);
    SCOPED_TRACE(name + " " + c.layout.comment + " " + c.option);
    make_indexed(src(name), c.layout, c.records, i);
    chmod(src(name).c_str(), 0640);
    const std::string archive = archive_of(name + "\n", c.made);
    const bool texts = c.made[2] == '\0';  // an old-style archive carries the records
    const std::string model = member_of(name, c.layout, c.old_keys);
    EXPECT_TRUE((!texts && !c.old_keys) ||
                masked(model_archive(model, 512, 512, texts ? 6 : 5)) == masked(archive));
    RunResult r = spawn_kel(options({c.option}, archive, "out"));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(dump(src(name), c.layout, texts) == dump(out(name), c.layout, texts));
    EXPECT_EQ(c.layout.shape.version, atoi(info_texts(src(name)).at(5).c_str()));
    EXPECT_EQ(c.restored, atoi(info_texts(out(name)).at(5).c_str()));
  }
  cfg_set_short("V_VERSION", 0, 5);  // the next cases of this process make version 5
}

// kel -i reading from a pipe that stops in the middle of a member; then a
// signal. One it catches: the member is removed and named, the files
// before it stay. SIGKILL in the middle of a large indexed member: the
// file it leaves refuses every open (broken, code 24) and the structural
// check does not call it sound; a completed restore leaves no mark.
TEST_F(KelIndexed, InterruptedRestoresLeaveNothingThatLooksRestored) {
  ModelIndexed x = sample_indexed();
  for (int i = 0; i < 500; ++i) x.records.push_back(std::to_string(1000 + i) + "1234");
  const std::string first = model_plain("first", "complete", 'T', 0100644, 0, 0, 1);
  const std::string big =
      model_archive(first + model_plain("big", random_data(300000, 9), 'T', 0100644, 0, 0, 1));
  make_indexed(src("idx"), unique_key(), 30000, 9);
  const std::string archive = archive_of("idx\n"), fifo = dir_ / "archive.fifo";
  struct {
    int signo;
    std::string stream, name;
    size_t sent;  // bytes of the member's data in the pipe (whole records reach kel)
  } cases[] = {{SIGTERM, big, "big", 100000},
               {SIGINT, model_archive(first + model_v6_member("idx", x)), "idx", 2000},
               {SIGHUP, big, "big", 1000},
               {SIGKILL, archive, "idx", archive.size() / 2}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.signo);
    for (const std::string &left : folder_entries(out(""))) unlink(out(left).c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    SpawnOptions o = options({"-i"}, "", "out");
    o.stdin_path = fifo;
    PtySession s(o);
    // The pipe is held open past the signal: an end of input would clean up.
    const int to_kel = open(fifo.c_str(), O_WRONLY);
    const size_t cut = c.stream.find(c.name) + c.name.size() + c.sent;
    ASSERT_EQ(static_cast<ssize_t>(cut), write(to_kel, c.stream.data(), cut));
    // kel waits for the rest of the member once its file (or temporary
    // file) is there; the broken mark is the low byte of the broken-code
    // field (offset 108).
    auto waiting = [&] {
      const std::string idx = read_file(out("idx"));
      return c.signo == SIGKILL ? idx.size() > 110 && idx.substr(108, 2) == std::string("\0\x18", 2)
                                : folder_entries(out("")).size() >= 2;
    };
    // Polled until it holds or kel has ended (seen without reaping it, so
    // that wait() still collects it): no time limit decides which. A kel
    // that hangs ends at the alarm every spawned run has, so the loop ends.
    auto ended = [&] {
      siginfo_t info{};
      return waitid(P_PID, static_cast<id_t>(s.pid()), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
             info.si_pid != 0;
    };
    while (!waiting() && !ended()) usleep(10000);
    if (!waiting()) s.wait();  // kel ended first: all it said, for the failure
    ASSERT_TRUE(waiting()) << "kel ended before it waited for the rest of " << c.name
                           << "; it said:\n"
                           << s.transcript();
    ASSERT_EQ(0, kill(s.pid(), c.signo));
    EXPECT_EQ(c.signo == SIGKILL ? 128 + SIGKILL : 1, s.wait());
    close(to_kel);
    unlink(fifo.c_str());
    if (c.signo == SIGKILL) break;
    EXPECT_EQ("Interrupted by signal " + std::to_string(c.signo) + "\nTransfer aborted\n" + c.name +
                  ": not restored completely, removed\n",
              s.transcript());
    EXPECT_EQ(std::vector<std::string>{"first"}, folder_entries(out("")));
  }
  for (int32_t mode : {KEL_OPEN_INPUT, KEL_OPEN_IO})
    EXPECT_TRUE(fails(v5_open(out("idx").c_str(), mode, "0,0,0"), E_BROKEN, 24));
  cfg_set_short("V_FORCE_OPEN", 0, 1);
  EXPECT_FALSE(sound(out("idx")));
  cfg_set_short("V_FORCE_OPEN", 0, 0);
  EXPECT_NE(std::string::npos, std::string(v5_check_report()).find("marked broken with code 24"));
  // Restored whole over the cut one: no mark.
  RunResult r = spawn_kel(options({"-i"}, archive, "out"));
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string(2, '\0'), read_file(out("idx")).substr(108, 2));
  EXPECT_EQ(30000u, walk(out("idx"), unique_key(), 0).size());
}

// What kel says of the files it will not trust is the golden file's: a
// disk that fills while a file is restored (as the cache writes blocks
// back, or only when the deferred blocks are written at the close), find
// lists that name the segments of an indexed file, and files that cannot
// be opened. (Duplicate keys and hostile archives are rows of input.txt.)
TEST_F(KelIndexed, RestoresAndArchivesThatCannotBeTrusted) {
  // The file a restore replaces stays until the new one is complete.
  mkdir((dir_ / "full").c_str(), 0755);
  make_indexed(dir_ / "full/idx", unique_key(), 10, 3);
  for (auto [records, limit] : {std::pair{20000, 200000LL}, {30, 1024LL}}) {
    make_indexed(src("idx"), unique_key(), records, 8);
    run("full disk", {"-i"}, archive_of("idx\n"), "full", limit);
    show_folder("full");
  }
  ASSERT_EQ(1, v5_remove(src("idx").c_str()));

  // find . -name 'people*' | kel -ov: a private indexed file of several
  // data segments, its segments listed before and after it.
  const Layout l = unique_key();
  cfg_set_long("V_SEG_SIZE", 0, 0x14000);
  make_indexed(src("people"), l, 4000, 11);
  std::string listed;
  std::vector<std::string> segments;
  for (const std::string &name : folder_entries(dir_ / "src")) {
    chmod(src(name).c_str(), 0600);
    if (name == "people") continue;
    segments.push_back(name);
    listed += name + "\n";
  }
  ASSERT_GE(segments.size(), 3u) << "data segments and the index";
  RunResult made = run("a find list", {"-ov"}, listed + "people\n" + listed, "src");
  run("its listing", {"-it"}, made.out);
  mkdir((dir_ / "people").c_str(), 0755);
  run("its restore", {"-i"}, made.out, "people");
  EXPECT_TRUE(dump(dir_ / "people/people", l) == dump(src("people"), l));
  EXPECT_TRUE(sound(dir_ / "people/people"));
  show_folder("people");
  // -r takes every listed file as its bytes; a segment whose file is not
  // archived through the engine travels as bytes as before.
  run("their bytes", {"-it"}, archive_of("people\n" + listed, "-or"));
  run("a segment alone", {"-it"}, archive_of(segments[0] + "\n"));
  // An indexed file that cannot be opened (locked by another process, its
  // index missing) is reported and not archived, never as its first bytes;
  // one that another process has open is not replaced by a restore.
  DorvexFile *locked = v5_open(src("people").c_str(), KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, "0,0,0");
  ASSERT_NE(nullptr, locked);
  run("locked", {"-o"}, "people\n", "src");
  run("restored over it", {"-i"}, made.out, "src");
  v5_close(locked);
  // Nor is the archive being read, whatever its members' names.
  mkdir((dir_ / "self").c_str(), 0755);
  write_file(dir_ / "self/people", made.out);
  run("restored over its archive", {"-if", "people"}, "", "self");
  EXPECT_EQ(made.out, read_file(dir_ / "self/people"));
  ASSERT_EQ(0, rename(src("people.vix").c_str(), src("gone").c_str()));
  run("without its index", {"-o"}, "people\n", "src");
  // A key of two parts has no old-style description; nor has a primary
  // key with duplicates: the file is not archived, rather than restored
  // without its duplicates.
  make_indexed(src("old"), old_style(), 25, 5);
  make_indexed(src("split"),
               {{5, "1,1,1,0,0", 20, 20, {{{{4, 0}}}, {{{2, 4}, {2, 10}}, true}}}, "", ""}, 5, 6);
  run("split keys", {"-o1"}, "old\nsplit\nold\n", "src");
  make_indexed(src("dup"), {{5, "1,1,1,0,0", 20, 20, {{{{8, 0}}, true}}}, "", ""}, 5, 6);
  run("a primary key with duplicates", {"-o1"}, "dup\n", "src");

  EXPECT_TRUE(matches("untrusted.txt"));
}

}  // namespace
}  // namespace kel::test
