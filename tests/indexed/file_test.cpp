// Make, open, close, the header and the information texts of indexed
// files: information texts (a golden file); make's limits and the file's
// own version variable, opens refused with their codes and the older entry
// points that make and describe files (rows of a golden file); the count
// of openers for update and the header's lock, failures of memory and disk
// half-way; the older make descriptions as a table of the texts they turn
// into. (The bytes of headers: images_test; header reads by lock method:
// the unlocked-read process tests and the access model's runs.)
#include <sys/stat.h>
#include <unistd.h>

#include "cache/cache.h"
#include "common/call_script.h"
#include "common/golden.h"
#include "indexed/engine_fixture.h"
#include "indexed/storage/make_old.h"
#include "messages/diag.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;

class FileTest : public EngineTest {
 protected:
  // Header bytes changed behind the engine's back, as another process would.
  static void poke(const char *name, size_t offset, int width, uint64_t value) {
    std::string bytes = read_file(name);
    put(bytes, {{offset, width, value}});
    write_file(name, bytes);
  }
  static uint64_t field(const char *name, size_t offset, int width) {
    return get(read_file(name), offset, width);
  }
};

// What make was given comes back as information texts, in every version
// and at the older interface levels in their narrow forms; a file made
// anew by an open for output keeps its texts, and its own version.
TEST_F(FileTest, InformationTexts) {
  CallScript script;
  script.add("level", [](const Call &c) {
    indexed::set_interface_level(static_cast<int>(c.num(0)));
    return std::string("done");
  });
  EXPECT_TRUE(script.run("indexed/information_texts.txt"));
  DorvexFile *made = dorvex_open("f.dat", KEL_OPEN_INPUT);
  EXPECT_EQ(10u, info(made, -12).size()) << "the time of the make";
  dorvex_close(made);

  set_version(4);
  const uint8_t *folding = FileShape{5, nullptr, 0, 0, {}, true}.table();
  ASSERT_EQ(1, make("o.dat", "2,4,3,1,1", "keep me", folding, "80,20,2", "1,0,8,0,2,1,4,10,2,12"));
  auto all_texts = [&](DorvexFile *f) {
    std::string out;
    for (int c : {-1, -2, -3, -5, 0, 1, -10}) out += info(f, c) + "|";
    return out;
  };
  DorvexFile *f = dorvex_open("o.dat", KEL_OPEN_IO);
  ASSERT_TRUE(f && indexed::header_read(f, HeaderAccess::kUpdate));
  std::string before = all_texts(f);
  for (int i = 0; i < 5; ++i) add(f, std::string(80, 'r'));
  finish(f);
  set_version(5);
  ASSERT_NE(nullptr, f = dorvex_open("o.dat", KEL_OPEN_OUTPUT)) << codes();
  EXPECT_EQ("0000000000", info(f, -4));
  EXPECT_EQ(before, all_texts(f));
  EXPECT_TRUE(f->for_update);
  dorvex_close(f);
}

// Make's limits and refused texts, preallocation and the file's own
// version variable; opens refused with their codes; the older entry
// points: rows of a golden file.
TEST_F(FileTest, FixedCallSequences) {
  CallScript script;
  EXPECT_TRUE(script.run("indexed/file_calls.txt"));
  char name[300];
  indexed::version_variable_name("d/a-b.c.dat", name, sizeof name);
  EXPECT_STREQ("A_B_C_VERSION", name);
}

// Openers for update are counted in the header (readers are not), and
// each open and close for update is a header version; the header's update
// lock is taken (writers set the update-open flag with lock method 1, so
// that unlocked readers wait) and a write that changed nothing keeps the
// version; another open reloads the key descriptions when their version
// moved; a broken code fails every access and releases the lock.
TEST_F(FileTest, OpenersHeaderVersionsAndTheUpdateFlag) {
  ASSERT_EQ(1, make("u.dat", nullptr, nullptr, nullptr, "100,0,1", "1,0,8,0"));
  DorvexFile *a = dorvex_open("u.dat", 2), *b = dorvex_open("u.dat", 3),
             *r = dorvex_open("u.dat", 0);
  ASSERT_TRUE(a && b && r);
  EXPECT_EQ(std::pair(2ul, 2ul), std::pair(field("u.dat", 94, 2), field("u.dat", 78, 4)));
  EXPECT_EQ(1, dorvex_close(b));
  EXPECT_EQ(1, dorvex_close(r));
  EXPECT_EQ(1u, field("u.dat", 94, 2));
  cfg_set_short("V_LOCK_METHOD", 0, 1);
  uint32_t v = static_cast<uint32_t>(field("u.dat", 78, 4));
  ASSERT_TRUE(indexed::header_read(a, HeaderAccess::kUpdate));
  EXPECT_EQ(1u, field("u.dat", 110, 2)) << "readers without the lock must wait";
  indexed::header_mark_changed(a);
  ASSERT_TRUE(indexed::set_key_root(a, 0, indexed::SegAddr{2048, 0}, 2));
  ASSERT_TRUE(indexed::header_write(a));
  EXPECT_EQ(std::pair(0ul, v + 1ul), std::pair(field("u.dat", 110, 2), field("u.dat", 78, 4)));
  EXPECT_EQ(v + 1, a->last_header_version);
  indexed::header_release(a);
  ASSERT_TRUE(indexed::header_read(a, HeaderAccess::kUpdate));
  indexed::header_release(a);
  EXPECT_EQ(std::pair(0ul, v + 1ul), std::pair(field("u.dat", 110, 2), field("u.dat", 78, 4)));
  cfg_set_short("V_LOCK_METHOD", 0, 2);  // without lock method 1 the flag is never set
  ASSERT_TRUE(indexed::header_read(a, HeaderAccess::kUpdate));
  EXPECT_EQ(0u, field("u.dat", 110, 2));
  indexed::header_release(a);
  r = dorvex_open("u.dat", 0);
  ASSERT_TRUE(indexed::header_read(r, HeaderAccess::kLocked));
  indexed::header_release(r);
  EXPECT_EQ(
      std::tuple(2048u, 2, a->key_desc_version),
      std::tuple(r->keys[0].root_offset, static_cast<int>(r->keys[0].height), r->key_desc_version));
  // An unlocked reader that finds the update flag set takes the lock and
  // reads again.
  cfg_set_short("V_LOCK_METHOD", 0, 1);
  poke("u.dat", 110, 2, 1);
  ASSERT_TRUE(indexed::header_read(r, HeaderAccess::kRead));
  EXPECT_EQ(std::tuple(1, 1, true), std::tuple(r->header_counters.unlocked_reads,
                                               r->header_counters.unlocked_waited, r->header_held));
  indexed::header_release(r);
  poke("u.dat", 110, 2, 0);
  dorvex_close(r);
  poke("u.dat", 108, 2, 21);
  EXPECT_TRUE(fails(indexed::header_read(a, HeaderAccess::kLocked), E_BROKEN, 21));
  EXPECT_FALSE(a->header_held);
  EXPECT_EQ("<error 6>", info(a, -4));
  ASSERT_TRUE(indexed::header_read(a, HeaderAccess::kLocked, indexed::kHeaderForce));
  poke("u.dat", 108, 2, 0);
  indexed::mark_broken(a, 7);  // the engine marks a file broken the same way
  indexed::header_release(a);
  EXPECT_EQ(7u, field("u.dat", 108, 2));
  EXPECT_EQ(1, dorvex_close(a)) << "close reads the header as if forced";
  EXPECT_TRUE(fails(dorvex_open("u.dat", 0), E_BROKEN, 7));
  EXPECT_EQ(0u, field("u.dat", 94, 2));
}

// Every allocation of a make (a failure leaves no file, or one made while
// learning about an old file of that name) and of opens for input, update
// and output fails in turn: E_NO_MEMORY, nothing kept, no opener left
// counted. A full disk at make leaves nothing; a close whose deferred
// blocks cannot be written fails, whichever segment outgrew the limit.
TEST_F(FileTest, FailuresOfMemoryAndDisk) {
  uint8_t table[256] = {};
  ASSERT_EQ(1, make("w.dat", nullptr, nullptr, table, "100,0,2", "1,0,8,0,1,1,4,8"));
  DorvexFile *f = v5_open("w.dat", 0, "");  // the shared buffers and thread data exist from here
  ASSERT_NE(nullptr, f);
  v5_close(f);
  const std::string image = read_file("w.dat"), index_image = read_file("w.vix");
  int made = 0;
  int failures = fail_each_allocation(
      [&] { made = make("n.dat", nullptr, nullptr, table, "100,0,2", "1,0,8,0,1,1,4,8"); },
      [&](int n) {
        if (made == 1) {
          EXPECT_EQ(0, unlink("n.dat") + unlink("n.vix"));
          return;
        }
        EXPECT_EQ(E_NO_MEMORY, error()) << n;
        EXPECT_FALSE(file_exists("n.dat") || file_exists("n.vix")) << n;
      });
  EXPECT_GT(failures, 2);
  int64_t live = alloc_live_blocks();
  for (int mode : {0, 2, 1}) {
    failures = fail_each_allocation(
        [&] {
          write_file("w.dat", image);
          write_file("w.vix", index_image);
          f = v5_open("w.dat", mode, "");  // with the access layers' state
        },
        [&](int n) {
          if (f) {
            v5_close(f);  // a failure it could do without
          } else {
            EXPECT_EQ(E_NO_MEMORY, error()) << mode << " " << n;
          }
          EXPECT_EQ(live, alloc_live_blocks()) << mode << " " << n;
          std::string header = read_file("w.dat");
          EXPECT_TRUE(header.empty() || get(header, 94, 2) == 0)
              << mode << " " << n << ": an opener left counted";
        });
    EXPECT_GT(failures, 2) << mode;
    EXPECT_EQ("0000000000", info(f, -4));
    v5_close(f);
  }
  for (uint64_t limit : {100000u, 4096u}) {
    FileSizeLimit full(limit);
    EXPECT_EQ(0, make("big.dat", "1,1000,1,0,0", nullptr, nullptr, "100,0,1", "1,0,8,0"));
    EXPECT_TRUE(error() == E_DISK_FULL || error() == E_SYSERR) << error();
    EXPECT_FALSE(file_exists("big.dat") || file_exists("big.vix"));
  }
  indexed::shutdown();                 // the cache takes V_BUFFERS when it starts again
  cfg_set_long("V_BUFFERS", 0, 4096);  // every block stays deferred until the close
  const std::tuple<const char *, const char *, uint32_t, const char *, const char *> cases[] = {
      {"12,12,6", "1,0,2,0,1,0,2,2,1,0,2,4,1,0,2,6,1,0,2,8,1,0,2,10", 12, "idx.vix", "idx"},
      {"200,200,1", "1,0,2,0", 200, "idx", "idx.vix"}};
  for (auto [record, keys, length, over, under] : cases) {
    ASSERT_EQ(1, make("idx", nullptr, nullptr, nullptr, record, keys));
    f = v5_open("idx", KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
    ASSERT_NE(nullptr, f);
    {
      FileSizeLimit full(65536);
      std::string r(length, '\0');
      for (int i = 0; i < 2000; ++i) {
        for (size_t b = 0; b + 1 < r.size(); b += 2) put(r, {{b, 2, static_cast<uint64_t>(i)}});
        ASSERT_EQ(1, v5_write(f, r.data(), length)) << codes();
      }
      EXPECT_EQ(0, v5_close(f));
      EXPECT_TRUE(error() == E_DISK_FULL || error() == E_SYSERR) << error();
    }
    EXPECT_EQ(65536u, read_file(over).size());
    EXPECT_LT(read_file(under).size(), 65536u);
    v5_remove("idx");
  }
}

// The older make descriptions and the texts they become: padded numbers,
// "y" and "Y" for duplicates, any other mark no, variable lengths (the
// minimum is the end of the farthest key), fewer flags than three, the
// comment whatever remains; the oldest form (three numbers and a rest,
// which gets ",N,N,N," and the extra text) through the older one.
TEST_F(FileTest, OlderMakeDescriptions) {
  struct {
    const char *physical, *keys;
    const char *texts;  // record, keys, physical, comment; "" when refused
  } rows[] = {
      {"1,1", "100,1,8,0", "100,100,1|1,0,8,0|1,1,1,0,0|"},
      {"2,5", "0040,03,008,0000,010,0008,y,002,0030,Y,Y,N,N,old",
       "40,32,3|1,0,8,0,1,1,10,8,1,1,2,30|2,5,1,0,0|old"},
      {"1,1", "60,2,4,0,6,4,x,n,y,y,a,y,b", "60,60,2|1,0,4,0,1,0,6,4|1,1,1,1,1|a,y,b"},
      {"1,1", "50,1,5,0,Y", "50,5,1|1,0,5,0|1,1,1,0,0|"},
      {"1,1", "100,0,8,0", ""},
      {"1,1", "100,2,8,0", ""},
      {"1,1", "100,1,8,0x", ""},
      {"1,1", "100,1,8", ""},
      {"1,1", "", ""},
  };
  for (const auto &row : rows) {
    indexed::OldMakeTexts t;
    bool ok = indexed::old_make_texts(row.physical, row.keys, &t);
    EXPECT_EQ(row.texts,
              ok ? std::string(t.record) + "|" + t.keys + "|" + t.physical + "|" + t.comment : "")
        << row.keys;
    if (!ok) {
      EXPECT_EQ(E_PARAM, error()) << row.keys;
    }
  }
  char physical[64], keys[256];
  ASSERT_TRUE(indexed::oldest_to_old("001,001,2,0100,01,008,0000 ", "note", physical,
                                     sizeof physical, keys, sizeof keys));
  EXPECT_EQ("2,1 0100,01,008,0000,N,N,N,note", std::string(physical) + " " + keys);
  ASSERT_TRUE(indexed::oldest_to_old("3,1,1,40,1,8,0,Y,N,N", "c", physical, sizeof physical, keys,
                                     sizeof keys));
  indexed::OldMakeTexts t;
  ASSERT_TRUE(indexed::old_make_texts(physical, keys, &t));
  EXPECT_EQ("40,8,1 N,N,N,c", std::string(t.record) + " " + t.comment);
  EXPECT_TRUE(failed(
      !indexed::oldest_to_old("1,1", "x", physical, sizeof physical, keys, sizeof keys), E_PARAM));
}

// Every allocation of the oldest make failing in turn ends in E_NO_MEMORY
// with no file.
TEST_F(FileTest, TheOldestMakeWithoutMemory) {
  set_version(2);
  const char *text = "1,1,1,40,2,8,0,4,8,Y";
  ASSERT_EQ(1, v_make("m", text, "c"));  // the process-wide tables, once
  ASSERT_EQ(1, v5_remove("m"));
  const FailEachAllocation loop{.op = [&] { return v_make("m", text, "c") == 1; },
                                .state = [] { return std::to_string(file_exists("m")); }};
  EXPECT_GT(loop.run(), 1);
}

}  // namespace
}  // namespace kel::test
