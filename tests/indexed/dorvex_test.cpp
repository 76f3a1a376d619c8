// Make, open, close and the information texts of indexed files.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "cache/cache.h"
#include "common/test_util.h"
#include "indexed/dorvex_fixture.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;

std::set<std::string> files_here() {
  std::set<std::string> names;
  DIR *d = opendir(".");
  while (dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.insert(n);
  }
  closedir(d);
  return names;
}

class MakeOpenTest : public DorvexTest {};

// --- information texts ------------------------------------------------------------

struct Layout {
  const char *record;
  const char *keys;
  const char *physical;
  std::vector<std::string> texts;  // -1, -2, key 0, key 1, ...
};

TEST_F(MakeOpenTest, InformationTextsGiveBackWhatMakeWasGivenInEveryVersion) {
  const Layout layouts[] = {
      {"100,0,2",
       "1,0,8,0,2,1,4,10,2,20",
       nullptr,
       {"0000000100,0000000100,002", "01,0000000,0000001,000,0", "01,0,008,0000000000",
        "02,1,004,0000000010,002,0000000020"}},
      {"300,120,1",
       "3,1,10,0,20,50,5,110",
       "2,4,9,1,1",
       {"0000000300,0000000120,001", "02,0000000,0000009,001,1",
        "03,1,010,0000000000,020,0000000050,005,0000000110"}},
      {"4096,64,3,17",
       "1,0,64,0,1,1,1,63,6,0,1,1,1,2,1,3,1,4,1,5,1,6",
       "1,1,99,100,0",
       {"0000004096,0000000064,003", "01,0000000,0000099,100,0", "01,0,064,0000000000",
        "01,1,001,0000000063",
        "06,0,001,0000000001,001,0000000002,001,0000000003,001,0000000004,001,0000000005,001,"
        "0000000006"}},
  };
  for (int version = 3; version <= 5; ++version) {
    set_version(version);
    for (const Layout &l : layouts) {
      SCOPED_TRACE(std::string("version ") + std::to_string(version) + " keys " + l.keys);
      ASSERT_EQ(1, make("f.dat", l.record, l.keys, l.physical, "comment")) << error();
      DorvexFile *f = dorvex_open("f.dat", 0);
      ASSERT_NE(nullptr, f) << error();
      EXPECT_EQ(l.texts[0], info(f, -1));
      EXPECT_EQ(l.texts[1], info(f, -2));
      for (size_t k = 2; k < l.texts.size(); ++k)
        EXPECT_EQ(l.texts[k], info(f, static_cast<int>(k - 2)));
      EXPECT_EQ("comment", info(f, -3));
      EXPECT_EQ("0000000000", info(f, -4));
      EXPECT_EQ("<error 17>", info(f, -5)) << "no translation table";
      EXPECT_EQ("0000", info(f, -6));
      EXPECT_EQ(version < 4 ? "00000,00000" : "00001,00001", info(f, -7));
      char v[8];
      snprintf(v, sizeof v, "%03d", version);
      EXPECT_EQ(v, info(f, -10));
      EXPECT_EQ("0000000000", info(f, -11));
      EXPECT_EQ(10u, info(f, -12).size());
      EXPECT_EQ("<error 2>", info(f, static_cast<int>(l.texts.size() - 2)));
      EXPECT_EQ("<error 2>", info(f, -13));
      EXPECT_EQ(1, dorvex_close(f));
    }
  }
}

TEST_F(MakeOpenTest, OlderInterfaceLevelsGiveTheNarrowForms) {
  ASSERT_EQ(1, make("f.dat", "40000,0,1", "7,0,1,0,1,1,1,2,1,3,1,4,1,5,1,39999", "1,1,150,5,0"));
  DorvexFile *f = dorvex_open("f.dat", 0);
  ASSERT_NE(nullptr, f);
  indexed::set_interface_level(2);
  EXPECT_EQ("32767,32767,001", info(f, -1));
  EXPECT_EQ("01,00000,99,005,0", info(f, -2));
  EXPECT_EQ("07,0,001,00000,001,00001,001,00002,001,00003,001,00004,001,00005,001,32767",
            info(f, 0));
  indexed::set_interface_level(1);
  EXPECT_EQ("6,0,001,00000,001,00001,001,00002,001,00003,001,00004,001,00005", info(f, 0));
  indexed::set_interface_level(3);
  EXPECT_EQ("0000040000,0000040000,001", info(f, -1));
  EXPECT_EQ("01,0000000,0000150,005,0", info(f, -2));
  EXPECT_EQ(
      "07,0,001,0000000000,001,0000000001,001,0000000002,001,0000000003,001,0000000004,"
      "001,0000000005,001,0000039999",
      info(f, 0));
  dorvex_close(f);
}

// --- header bytes ---------------------------------------------------------------

// The file of every version made with these texts.
constexpr const char *kRecord = "100,50,2";
constexpr const char *kKeys = "1,0,8,0,2,1,4,10,2,20";
constexpr const char *kComment = "Customer file";

TEST_F(MakeOpenTest, Version5HeaderBytesAtTheirOffsets) {
  set_version(5);
  ASSERT_EQ(1, make("c.dat", kRecord, kKeys, "2,3,4,70,1", kComment));
  std::string e(3072, '\0');  // 3 x 2 blocks preallocated
  // Magic, version, node blocks, preallocation, extension, data segment 0
  // size, header area (one block rounded to a node), end of data, first
  // record, entry format, keys with duplicates, node bytes, segment limit
  // (rounded to 1024), current data segment size, index segment 0 (its
  // header), record sizes, key count, compression, scrambling, longest key;
  // key 0 at 194: segments, length, segment 0 size (offset 0); key 1 at
  // 300: segments, duplicates, length, then size and offset per segment.
  put(e, {{0, 4, 0x10121419},   {4, 2, 5},        {6, 2, 2},        {8, 4, 3},
          {12, 4, 4},           {16, 4, 3072},    {22, 4, 1024},    {28, 4, 1024},
          {34, 4, 1024},        {104, 2, 15},     {106, 2, 1},      {112, 4, 1024},
          {122, 4, 0x7FFFF800}, {126, 4, 3072},   {130, 4, 512},    {149, 4, 100},
          {153, 4, 50},         {157, 1, 2},      {158, 1, 70},     {159, 1, 1},
          {160, 1, 8},          {194 + 7, 1, 1},  {194 + 9, 1, 8},  {194 + 11, 1, 8},
          {300 + 7, 1, 2},      {300 + 8, 1, 1},  {300 + 9, 1, 6},  {300 + 11, 1, 4},
          {300 + 12, 4, 10},    {300 + 17, 1, 2}, {300 + 18, 4, 20}});
  memcpy(&e[162], kComment, strlen(kComment));
  std::string got = read_file("c.dat");
  EXPECT_EQ(e, got) << differences(e, got);

  std::string x(3072, '\0');
  put(x, {{0, 4, 0x10121418}, {4, 2, 5}, {8, 4, 512}});
  std::string vix = read_file("c.vix");
  EXPECT_EQ(x, vix) << differences(x, vix);
}

TEST_F(MakeOpenTest, Version4HeaderBytesAtTheirOffsets) {
  set_version(4);
  ASSERT_EQ(1, make("c.dat", kRecord, kKeys, "1,2,7,1,0", kComment));
  std::string e(1024, '\0');
  put(e, {{0, 4, 0x10121419},   {4, 2, 4},        {6, 2, 1},        {8, 2, 2},
          {10, 2, 7},           {12, 4, 1024},    {18, 4, 512},     {24, 4, 512},
          {30, 4, 512},         {84, 2, 8},       {86, 2, 1},       {92, 4, 512},
          {102, 4, 0x7FFFFA00}, {106, 4, 1024},   {110, 4, 512},    {116, 2, 100},
          {118, 2, 50},         {120, 1, 2},      {121, 1, 1},      {123, 1, 8},
          {160 + 7, 1, 1},      {160 + 9, 1, 8},  {160 + 11, 1, 8}, {219 + 7, 1, 2},
          {219 + 8, 1, 1},      {219 + 9, 1, 6},  {219 + 11, 1, 4}, {219 + 12, 2, 10},
          {219 + 14, 1, 2},     {219 + 15, 2, 20}});
  memcpy(&e[128], kComment, strlen(kComment));
  std::string got = read_file("c.dat");
  EXPECT_EQ(e, got) << differences(e, got);
  std::string vix = read_file("c.vix");
  ASSERT_EQ(1024u, vix.size());
  EXPECT_EQ("10 12 14 18 00 04 00 00 00 00 02 00 00 00 00 00 ", hex(vix, 0, 16));
}

TEST_F(MakeOpenTest, Version3HeaderBytesAndFreeNodeMarks) {
  set_version(3);
  ASSERT_EQ(1, make("c.dat", kRecord, kKeys, "1,3,1,0,0", kComment));
  std::string e(1536, '\0');
  // The size of the file at 12, the header area at 16, the end of data
  // past the data node's mark at 20; the nodes not in use marked 5.
  put(e,
      {{0, 4, 0x10121416}, {4, 2, 3},       {6, 2, 1},         {8, 2, 3},        {10, 2, 1},
       {12, 4, 1536},      {16, 4, 512},    {20, 4, 513},      {24, 4, 513},     {72, 2, 8},
       {74, 2, 1},         {96, 2, 100},    {98, 2, 50},       {100, 1, 2},      {103, 1, 8},
       {160 + 5, 1, 1},    {160 + 7, 1, 8}, {160 + 9, 1, 8},   {192 + 5, 1, 2},  {192 + 6, 1, 1},
       {192 + 7, 1, 6},    {192 + 9, 1, 4}, {192 + 10, 2, 10}, {192 + 13, 1, 2}, {192 + 14, 2, 20},
       {512, 1, 5},        {1024, 1, 5}});
  memcpy(&e[128], kComment, strlen(kComment));
  std::string got = read_file("c.dat");
  EXPECT_EQ(e, got) << differences(e, got);
  EXPECT_FALSE(file_exists("c.vix"));
}

TEST_F(MakeOpenTest, KeyDescriptionsNeverCrossABlockAndTheTableHasABlockOfItsOwn) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(255 - i);
  // Four keys of version 5: three fit the first block, the fourth opens the
  // second at its start; the table takes a third block, at offset 16.
  set_version(5);
  ASSERT_EQ(1, make("t.dat", "40,0,4", "1,0,1,0,1,0,1,1,1,0,1,2,1,1,1,3", nullptr, nullptr, table));
  std::string bytes = read_file("t.dat");
  ASSERT_EQ(1536u, bytes.size());
  EXPECT_EQ(1536u, get(bytes, 22, 4)) << "header area";
  EXPECT_EQ(1024u, get(bytes, 82, 4)) << "slot 25";
  EXPECT_EQ(2u, get(bytes, 194 + 2 * 106 + 12, 4)) << "key 2 in the first block";
  EXPECT_EQ(1u, get(bytes, 512 + 7, 1)) << "key 3 at the start of block 1";
  EXPECT_EQ(3u, get(bytes, 512 + 12, 4));
  EXPECT_EQ(std::string(16, '\0'), bytes.substr(1024, 16));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(table), 256), bytes.substr(1040, 256));
  DorvexFile *f = dorvex_open("t.dat", 0);
  ASSERT_NE(nullptr, f);
  char out[257] = {};
  ASSERT_EQ(1, dorvex_info(f, -5, out));
  EXPECT_EQ(0, memcmp(out, table, 256));
  EXPECT_EQ("01,1,001,0000000003", info(f, 3));
  EXPECT_EQ(0, memcmp(f->translation, table, 256));
  EXPECT_EQ(255, f->reverse[0]);
  dorvex_close(f);

  // Three keys: one block. Version 4, six keys: five in the first block.
  ASSERT_EQ(1, make("t.dat", "40,0,3", "1,0,1,0,1,0,1,1,1,0,1,2"));
  EXPECT_EQ(512u, read_file("t.dat").size());
  set_version(4);
  ASSERT_EQ(1, make("t.dat", "40,0,6", "1,0,1,0,1,0,1,1,1,0,1,2,1,0,1,3,1,0,1,4,1,0,1,5"));
  bytes = read_file("t.dat");
  EXPECT_EQ(1024u, get(bytes, 18, 4));
  EXPECT_EQ(4u, get(bytes, 160 + 4 * 59 + 12, 2));
  EXPECT_EQ(5u, get(bytes, 512 + 12, 2));
}

// --- make's parameters and limits -----------------------------------------------

// The parser's limits are tested with it; a refused make, also of a
// version 2 file that the version cannot hold, leaves nothing behind.
TEST_F(MakeOpenTest, ARefusedMakeLeavesNothing) {
  const std::pair<int, int16_t> cases[] = {{5, E_PARAM}, {2, E_UNSUPPORTED}};
  for (auto [version, code] : cases) {
    set_version(version);
    EXPECT_TRUE(fails(make("x.dat", "100,0,1", version == 2 ? "2,0,4,0,4,4" : "1,2,1,0"), code));
    EXPECT_TRUE(files_here().empty());
  }
}

TEST_F(MakeOpenTest, SegmentLimitIsRoundedToNodesAndBounded) {
  struct Case {
    int32_t setting;
    const char *physical;
    uint32_t limit;
  };
  const Case cases[] = {
      {100000, "1,1,1,0,0", 99840},
      {0, "1,1,1,0,0", 0x7FFFFA00},
      {1000, "3,1,1,0,0", 82944},
      {0x7FFFFFFF, "16,1,1,0,0", 0x7FFFE000},
  };
  for (const Case &c : cases) {
    cfg_set_long("V_SEG_SIZE", 0, c.setting);
    ASSERT_EQ(1, make("s.dat", "100,0,1", "1,0,8,0", c.physical));
    EXPECT_EQ(c.limit, get(read_file("s.dat"), 122, 4)) << c.setting << " " << c.physical;
  }
  // The largest record and its 15-byte header must fit after the header area.
  cfg_set_long("V_SEG_SIZE", 0, 1);
  EXPECT_EQ(1, make("s.dat", "81393,0,1", "1,0,8,0"));
  EXPECT_EQ(0, make("s.dat", "81394,0,1", "1,0,8,0"));
  EXPECT_EQ(E_PARAM, error());
  // Preallocation is cut to the segment size.
  ASSERT_EQ(1, make("s.dat", "100,0,1", "1,0,8,0", "1,1000,1,0,0"));
  EXPECT_EQ(81920u, read_file("s.dat").size());
  EXPECT_EQ(81920u, read_file("s.vix").size());
}

TEST_F(MakeOpenTest, PreallocationOfDataAndIndexBlocks) {
  ASSERT_EQ(1, make("p.dat", "100,0,1", "1,0,8,0", "2,5,1,0,0"));
  EXPECT_EQ(5120u, read_file("p.dat").size());
  EXPECT_EQ(5120u, read_file("p.vix").size());
  cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, 15);
  ASSERT_EQ(1, make("p.dat", "100,0,1", "1,0,8,0", "2,5,1,0,0"));
  EXPECT_EQ(1024u, read_file("p.vix").size()) << "10 blocks x 15% = 1.5, rounded to 2";
  cfg_set_short("V_INDEX_BLOCK_PERCENT", 0, 1);
  ASSERT_EQ(1, make("p.dat", "100,0,1", "1,0,8,0", "2,5,1,0,0"));
  EXPECT_EQ(512u, read_file("p.vix").size()) << "at least the segment header";
}

TEST_F(MakeOpenTest, VersionComesFromTheFilesOwnVariable) {
  mkdir("d", 0777);
  auto made_version = [&](const char *name) {
    EXPECT_EQ(1, make(name, "100,0,1", "1,0,8,0")) << error();
    return static_cast<int>(get(read_file(name), 4, 2));
  };
  EXPECT_EQ(5, made_version("d/cust.dat"));
  set_version(9);
  EXPECT_EQ(5, made_version("d/cust.dat")) << "outside 2-5 means 5";
  set_version(4);
  EXPECT_EQ(4, made_version("d/cust.dat"));
  cfg_set_string("CUST_VERSION", 0, "3");
  EXPECT_EQ(3, made_version("d/cust.dat")) << "extension stripped";
  cfg_set_string("CUST_VERSION", 0, "7");
  EXPECT_EQ(4, made_version("d/cust.dat")) << "7 is no version";
  cfg_set_short("V_STRIP_DOT_EXTENSION", 0, 0);
  setenv("CUST_DAT_VERSION", "5", 1);
  EXPECT_EQ(5, made_version("d/cust.dat")) << "the environment through Agetenv";
  unsetenv("CUST_DAT_VERSION");
  cfg_set_short("V_STRIP_DOT_EXTENSION", 0, 1);
  // Basename translation: the base name's translation names the variable.
  ASSERT_EQ(1, cfg_set_programmatic("cust.dat", -1, "other-name.idx", -1, 0));
  cfg_set_string("OTHER_NAME_VERSION", 0, "3");
  EXPECT_EQ(3, made_version("d/cust.dat"));
  cfg_set_short("V_BASENAME_TRANSLATION", 0, 0);
  EXPECT_EQ(4, made_version("d/cust.dat"));
  char name[300];
  indexed::version_variable_name("d/a-b.c.dat", name, sizeof name);
  EXPECT_STREQ("A_B_C_VERSION", name);
}

// --- open -------------------------------------------------------------------------

TEST_F(MakeOpenTest, OpenRefusesWhatIsNoIndexedFile) {
  EXPECT_TRUE(fails(dorvex_open("none.dat", 0), E_NO_FILE));
  write_file("short.dat", std::string(100, 'x'));
  EXPECT_TRUE(fails(dorvex_open("short.dat", 0), E_BROKEN, 9));
  ASSERT_EQ(1, make("good.dat", "100,0,1", "1,0,8,0"));
  std::string good = read_file("good.dat");
  struct Case {
    size_t offset;
    int width;
    uint64_t value;
    int16_t code;
    int32_t secondary;
  };
  const Case cases[] = {
      {4, 2, 0x0105, E_FILE_TYPE, 0},  // high byte of the version
      {4, 2, 2, E_FILE_TYPE, 0},
      {0, 4, 0x10121416, E_BROKEN, 1},  // version 3 magic on a version 5 file
      {6, 2, 0, E_BROKEN, 1},
      {6, 2, 17, E_BROKEN, 1},
      {157, 1, 0, E_BROKEN, 1},  // no keys
  };
  for (const Case &c : cases) {
    std::string bad = good;
    put(bad, c.offset, c.width, c.value);
    write_file("bad.dat", bad);
    EXPECT_TRUE(fails(dorvex_open("bad.dat", 0), c.code, c.code == E_BROKEN ? c.secondary : -1))
        << c.offset;
  }
  // Sizes and key descriptions that no make writes: the engine would read
  // key bytes outside a record.
  const indexed::HeaderLayout &l = *indexed::header_layout(5);
  size_t key0 = static_cast<size_t>(indexed::key_description_offset(l, 0));
  auto at = [&l](indexed::Slot s) { return static_cast<size_t>(l.offset[s]); };
  auto width = [&l](indexed::Slot s) { return static_cast<int>(l.width[s]); };
  const Case damaged[] = {
      {at(indexed::kMaxRecordSize), width(indexed::kMaxRecordSize), 0x4000001, E_BROKEN, 1},
      {at(indexed::kMinRecordSize), width(indexed::kMinRecordSize), 101, E_BROKEN, 1},
      {key0 + at(indexed::kKdSeg0Offset), width(indexed::kKdSeg0Offset), 93, E_BROKEN, 1},
      {key0 + at(indexed::kKdSeg0Size), 1, 0, E_BROKEN, 1},
      {key0 + at(indexed::kKdSegments), width(indexed::kKdSegments), 2, E_BROKEN, 1},
  };
  for (const Case &c : damaged) {
    std::string bad = good;
    put(bad, c.offset, c.width, c.value);
    write_file("bad.dat", bad);
    EXPECT_TRUE(fails(dorvex_open("bad.dat", 0), c.code, c.secondary)) << c.offset;
  }
  std::string v2(512, '\0');
  memcpy(&v2[0], "\x16\x14\x12\x10\x02\x00", 6);
  write_file("v2.dat", v2);
  EXPECT_TRUE(fails(dorvex_open("v2.dat", 0), E_BROKEN, 1));  // no node size
}

TEST_F(MakeOpenTest, MissingSegmentIsBroken68AndTheReportNamesIt) {
  ASSERT_EQ(1, make("m.dat", "100,0,1", "1,0,8,0"));
  ASSERT_EQ(0, unlink("m.vix"));
  EXPECT_TRUE(fails(dorvex_open("m.dat", 0), E_BROKEN, 68));
  StderrCapture capture;
  report_fs_error("m.dat");
  EXPECT_EQ("m.vix: File broken (code 68)\n", capture.text());
}

TEST_F(MakeOpenTest, OpenForOutputMakesTheFileAnewFromItsOwnTexts) {
  uint8_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(toupper(i));
  set_version(4);
  ASSERT_EQ(1, make("o.dat", "80,20,2", "1,0,8,0,2,1,4,10,2,12", "2,4,3,1,1", "keep me", table));
  DorvexFile *f = dorvex_open("o.dat", 2);
  ASSERT_NE(nullptr, f);
  std::vector<std::string> before;
  for (int c : {-1, -2, -3, -5, 0, 1, -10}) before.push_back(info(f, c));
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  uint8_t rec[80] = {};
  indexed::SegAddr at;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(indexed::add_record(f, rec, 80, 0, &at));
  ASSERT_TRUE(indexed::header_write(f));
  indexed::header_release(f);
  EXPECT_EQ("0000000005", info(f, -4));
  ASSERT_EQ(1, dorvex_close(f));

  set_version(5);  // the file keeps its own version
  f = dorvex_open("o.dat", 1);
  ASSERT_NE(nullptr, f) << error();
  EXPECT_EQ("0000000000", info(f, -4));
  std::vector<std::string> after;
  for (int c : {-1, -2, -3, -5, 0, 1, -10}) after.push_back(info(f, c));
  EXPECT_EQ(before, after);
  EXPECT_TRUE(f->for_update);
  dorvex_close(f);
}

TEST_F(MakeOpenTest, BrokenCodesStopEveryOpenUnlessForced) {
  ASSERT_EQ(1, make("b.dat", "100,0,1", "1,0,8,0"));
  std::string good = read_file("b.dat");
  std::string bad = good;
  put(bad, 108, 2, 42);
  write_file("b.dat", bad);
  EXPECT_TRUE(fails(dorvex_open("b.dat", 0), E_BROKEN, 42));
  fs_settings().force_open = true;
  DorvexFile *f = dorvex_open("b.dat", 0);
  ASSERT_NE(nullptr, f);
  dorvex_close(f);
  fs_settings().force_open = false;

  // A sequence counter of all ones is broken too; an open for update
  // writes the code into the header, an input open does not.
  bad = good;
  put(bad, 74, 4, 0xFFFFFFFF);
  write_file("b.dat", bad);
  EXPECT_TRUE(fails(dorvex_open("b.dat", 0), E_BROKEN, 42));
  EXPECT_EQ(0u, get(read_file("b.dat"), 108, 2));
  EXPECT_TRUE(fails(dorvex_open("b.dat", 2), E_BROKEN, 42));
  EXPECT_EQ(42u, get(read_file("b.dat"), 108, 2));
  EXPECT_EQ(0u, get(read_file("b.dat"), 94, 2)) << "the opener was never counted";
}

TEST_F(MakeOpenTest, UpdateOpenersAreCountedInTheHeaderAndEachWriteIsAVersion) {
  ASSERT_EQ(1, make("u.dat", "100,0,1", "1,0,8,0"));
  auto slot = [](size_t offset, int width) { return get(read_file("u.dat"), offset, width); };
  DorvexFile *a = dorvex_open("u.dat", 2);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(1u, slot(94, 2));
  EXPECT_EQ(1u, slot(78, 4));
  DorvexFile *b = dorvex_open("u.dat", 3);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(2u, slot(94, 2));
  DorvexFile *r = dorvex_open("u.dat", 0);
  ASSERT_NE(nullptr, r);
  EXPECT_EQ(2u, slot(94, 2)) << "readers are not counted";
  EXPECT_EQ(1, dorvex_close(b));
  EXPECT_EQ(1u, slot(94, 2));
  EXPECT_EQ(1, dorvex_close(r));
  EXPECT_EQ(1, dorvex_close(a));
  EXPECT_EQ(0u, slot(94, 2));
  EXPECT_EQ(4u, slot(78, 4)) << "two opens and two closes for update";
}

TEST_F(MakeOpenTest, CloseReportsHeaderStatisticsUnderLockMethod0x100) {
  ASSERT_EQ(1, make("s.dat", "100,0,1", "1,0,8,0"));
  auto run = [&](int16_t method) {
    cfg_set_short("V_LOCK_METHOD", 0, method);
    DorvexFile *f = dorvex_open("s.dat", 2);
    EXPECT_NE(nullptr, f);
    EXPECT_TRUE(indexed::header_read(f, HeaderAccess::kRead));
    indexed::header_release(f);
    info(f, -4);
    StderrCapture capture;
    dorvex_close(f);
    return capture.text();
  };
  EXPECT_EQ("", run(1));
  EXPECT_EQ(
      ">>Header accesses: 2 updates, 1 locked reads, 1 unlocked reads\n"
      ">>0 unlocked reads waited for update, 0 unlocked reads retried\n"
      ">>AR common_read() mismatches: 0\n"
      ">>AR vi_find_key() mismatches: 0\n"
      ">>AR record pointer past EOF: 0\n"
      ">>AR vi_read_rec() 98,81 detections: 0\n"
      ">>AR vi_read_rec() 98,82 detections: 0\n"
      ">>AR vi_read_rec() mismatches: 0\n"
      ">>AR seq_read() mismatches: 0\n"
      ">>AR vi_search_node() non-B_NODE blocks: 0\n",
      run(258));
}

// --- failures --------------------------------------------------------------------

TEST_F(MakeOpenTest, EveryAllocationFailureEndsCleanly) {
  uint8_t table[256] = {};
  ASSERT_EQ(1, make("w.dat", "100,0,2", "1,0,8,0,1,1,4,8", nullptr, nullptr, table));
  {  // the shared buffers and the thread's data exist from here on
    DorvexFile *f = v5_open("w.dat", 0, "");
    ASSERT_NE(nullptr, f);
    v5_close(f);
  }
  const std::string image = read_file("w.dat"), index_image = read_file("w.vix");
  int64_t live = alloc_live_blocks();
  int made = 0;
  int failures = fail_each_allocation(
      [&] { made = make("n.dat", "100,0,2", "1,0,8,0,1,1,4,8", nullptr, nullptr, table); },
      [&](int n) {
        EXPECT_EQ(live, alloc_live_blocks()) << n;
        if (made == 1) {  // a failure while learning about an old file of that name
          EXPECT_EQ(0, unlink("n.dat") + unlink("n.vix"));
          return;
        }
        EXPECT_EQ(E_NO_MEMORY, error()) << n;
        EXPECT_FALSE(file_exists("n.dat") || file_exists("n.vix")) << n;
      });
  EXPECT_GT(failures, 2);
  for (int mode : {0, 2, 1}) {
    DorvexFile *f = nullptr;
    failures = fail_each_allocation(
        [&] {
          write_file("w.dat", image);
          write_file("w.vix", index_image);
          f = v5_open("w.dat", mode, "");  // with the access layers' state
        },
        [&](int n) {
          if (f) {
            v5_close(f);
          } else {
            EXPECT_EQ(E_NO_MEMORY, error()) << mode << " " << n;
          }
          EXPECT_EQ(live, alloc_live_blocks()) << mode << " " << n;
          if (file_exists("w.dat")) {
            EXPECT_EQ(0u, get(read_file("w.dat"), 94, 2)) << "no opener left counted";
          }
        });
    ASSERT_NE(nullptr, f);
    EXPECT_EQ("0000000000", info(f, -4));
    v5_close(f);
    EXPECT_GT(failures, 2) << mode;
  }
}

TEST_F(MakeOpenTest, FullDiskAtMakeLeavesNothing) {
  int16_t codes[2] = {};
  int i = 0;
  for (uint64_t limit : {100000u, 4096u}) {
    FileSizeLimit full(limit);
    EXPECT_EQ(0, make("big.dat", "100,0,1", "1,0,8,0", "1,1000,1,0,0"));
    codes[i++] = error();
    EXPECT_FALSE(file_exists("big.dat"));
    EXPECT_FALSE(file_exists("big.vix"));
  }
  EXPECT_TRUE(codes[0] == E_DISK_FULL || codes[0] == E_SYSERR);
  EXPECT_TRUE(codes[1] == E_DISK_FULL || codes[1] == E_SYSERR);
}

// Deferred blocks reach the disk only when their segment closes: a close
// whose writes fail must fail (a short write or a refused one), whichever
// segment it was. The index-heavy file outgrows the limit in its index
// only, the record-heavy one in its data.
TEST_F(MakeOpenTest, CloseFailsWhenDeferredBlocksCannotBeWritten) {
  cfg_set_long("V_BUFFERS", 0, 4096);  // every block stays deferred until the close
  struct Case {
    const char *record, *keys;
    uint32_t length;
    const char *over, *under;
  } cases[] = {
      {"12,12,6", "1,0,2,0,1,0,2,2,1,0,2,4,1,0,2,6,1,0,2,8,1,0,2,10", 12, "idx.vix", "idx"},
      {"200,200,1", "1,0,2,0", 200, "idx", "idx.vix"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keys);
    ASSERT_EQ(1, make("idx", c.record, c.keys));
    DorvexFile *f = v5_open("idx", KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED, "0,0,0");
    ASSERT_NE(nullptr, f);
    constexpr uint64_t kLimit = 65536;
    {
      FileSizeLimit full(kLimit);
      std::string record(c.length, '\0');
      for (int i = 0; i < 2000; ++i) {
        for (size_t b = 0; b + 1 < record.size(); b += 2)
          put(record, b, 2, static_cast<uint64_t>(i));
        ASSERT_EQ(1, v5_write(f, record.data(), c.length)) << error();
      }
      EXPECT_EQ(0, v5_close(f));
      EXPECT_TRUE(error() == E_DISK_FULL || error() == E_SYSERR) << error();
    }
    struct stat st;
    ASSERT_EQ(0, stat(c.over, &st));
    EXPECT_EQ(kLimit, static_cast<uint64_t>(st.st_size));
    ASSERT_EQ(0, stat(c.under, &st));
    EXPECT_LT(static_cast<uint64_t>(st.st_size), kLimit);
    v5_remove("idx");
  }
}

// Block 0 is read again for every operation of a shared open, since other
// processes change it; an exclusive open has no other opener and keeps
// the image it read at open.
TEST_F(MakeOpenTest, ExclusiveOpenDoesNotReadTheHeaderAgain) {
  ASSERT_EQ(1, make("idx", "20,20,1", "1,0,8,0"));
  DorvexFile *f = v5_open("idx", KEL_OPEN_IO, "0,0,0");
  ASSERT_NE(nullptr, f);
  char r[21];
  for (int i = 0; i < 200; ++i) {
    snprintf(r, sizeof r, "%08d%012d", i, i);
    ASSERT_EQ(1, v5_write(f, r, 20));
  }
  ASSERT_EQ(1, v5_close(f));
  auto preads_of_100_records = [&](int32_t mode) {
    DorvexFile *g = v5_open("idx", mode, "0,0,0");
    EXPECT_NE(nullptr, g);
    memset(r, 0, sizeof r);
    EXPECT_EQ(1, v5_start(g, r, 0, 0, 1));
    uint32_t before = kel::cache_counters().pread_calls;
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(20u, v5_next(g, r));
      char want[21];
      snprintf(want, sizeof want, "%08d%012d", i, i);
      EXPECT_EQ(0, memcmp(want, r, 20));
    }
    uint32_t preads = kel::cache_counters().pread_calls - before;
    v5_close(g);
    return preads;
  };
  uint32_t shared = preads_of_100_records(KEL_OPEN_INPUT);
  uint32_t exclusive = preads_of_100_records(KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE);
  // The walk reads its records ahead (a window or a mapping), so what is
  // left per record in a shared open is the header.
  EXPECT_GE(shared, exclusive + 100);
  EXPECT_LE(exclusive, 1u);
}

}  // namespace
}  // namespace kel::test
