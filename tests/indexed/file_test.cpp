// Make, open, close, the header and the information texts of indexed
// files: information texts, make's limits and the file's own version
// variable, opens refused with their codes and the older entry points
// that make and describe files, the count of openers for update and the
// header's lock, the older make descriptions and the texts they turn into,
// the whole-file check's reports (rows of golden files); failures of
// memory and disk half-way. (The bytes of headers: images_test; header
// reads by lock method: the unlocked-read process tests and the access
// model's runs.)
#include <unistd.h>

#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"
#include "indexed/storage/make_old.h"
#include "support/be.h"

namespace kel::test {
namespace {

using FileTest = EngineTest;

// Make's limits and refused texts, preallocation and the file's own
// version variable; opens refused with their codes; the older entry
// points; the header's openers, versions, update flag and broken codes as
// the engine reads and writes it; the older make descriptions and the
// texts they become; an exclusive or deny-write reader that, with internal
// locks off, must see what a second open of the same process writes: rows
// of a golden file. The whole-file check's report of a sound file and of
// each damage it must find, made on purpose in files written through the
// entry points: rows of another. What make was given comes back as
// information texts, in every version and at the older interface levels in
// their narrow forms; a file made anew by an open for output keeps its
// texts, and its own version (rows of a third); the time of the make.
TEST_F(FileTest, FixedCallSequences) {
  for (const char *rows :
       {"indexed/file_calls.txt", "indexed/check_calls.txt", "indexed/information_texts.txt"}) {
    CallScript script;
    add_engine_verbs(script);
    script.add("old_texts", [=](const Call &c) {
      indexed::OldMakeTexts t;
      if (!indexed::old_make_texts(c.ptr(0), c.ptr(1), &t)) return CallScript::result(0);
      return as_row({t.record, t.keys, t.physical, t.comment});
    });
    script.add("oldest_to_old", [=](const Call &c) {
      char physical[64], keys[256];
      if (!indexed::oldest_to_old(c.ptr(0), c.ptr(1), physical, sizeof physical, keys, sizeof keys))
        return CallScript::result(0);
      return as_row({physical, keys});
    });
    EXPECT_TRUE(script.run(rows));
  }
  DorvexFile *made = dorvex_open("f.dat", KEL_OPEN_INPUT);
  EXPECT_EQ(10u, info(made, -12).size()) << "the time of the make";
  dorvex_close(made);
}

// Every allocation of opens for input, update and output, and of the
// newest make and the oldest (version 2), fails in turn: E_NO_MEMORY,
// nothing kept, no opener left counted, no file made. (A full disk: the
// rows.)
TEST_F(FileTest, FailuresOfMemoryAndDisk) {
  uint8_t table[256] = {};
  ASSERT_EQ(1, dorvex_make("w.dat", nullptr, nullptr, "100,0,2", "1,0,8,0,1,1,4,8", table));
  DorvexFile *f = v5_open("w.dat", 0, "");  // the shared buffers and thread data exist from here
  ASSERT_NE(nullptr, f);
  v5_close(f);
  const std::string image = read_file("w.dat"), index_image = read_file("w.vix");
  int64_t live = alloc_live_blocks();
  for (int mode : {0, 2, 1}) {
    int failures = fail_each_allocation(
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
          EXPECT_TRUE(header.empty() ||
                      load_be16(reinterpret_cast<const uint8_t *>(header.data()) + 94) == 0)
              << mode << " " << n << ": an opener left counted";
        });
    EXPECT_GT(failures, 2) << mode;
    EXPECT_EQ("0000000000", info(f, -4));
    v5_close(f);
  }
  for (int version : {5, 2}) {
    cfg_set_short("V_VERSION", 0, static_cast<int16_t>(version));
    auto make = [&] {
      return (version == 5
                  ? dorvex_make("n.dat", nullptr, nullptr, "100,0,2", "1,0,8,0,1,1,4,8", table)
                  : v_make("n.dat", "1,1,1,40,2,8,0,4,8,Y", "c")) == 1;
    };
    ASSERT_TRUE(make());  // the process-wide tables, once
    ASSERT_EQ(1, v5_remove("n.dat"));
    const FailEachAllocation loop{.op = make, .state = [] {
                                    return std::to_string(file_exists("n.dat")) +
                                           std::to_string(file_exists("n.vix"));
                                  }};
    EXPECT_GT(loop.run(), 1) << version;
  }
}

}  // namespace
}  // namespace kel::test
