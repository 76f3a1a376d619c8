// The older make descriptions: the texts they turn into, the files the
// entry points make from them, and the information forms that describe a
// file in them again.
#include "indexed/storage/make_old.h"

#include "common/test_util.h"
#include "indexed/dorvex_fixture.h"
#include "messages/diag.h"

namespace kel::test {
namespace {

using indexed::OldMakeTexts;
using kel::kTraceEntryPoints;

class MakeOld : public DorvexTest {};

TEST_F(MakeOld, OldDescriptionsBecomeTodaysTexts) {
  struct Case {
    const char *physical, *keys;
    const char *record, *key_params, *made_physical, *comment;
  } cases[] = {
      // One key, no flags, no comment: fixed-length records.
      {"1,1", "100,1,8,0", "100,100,1", "1,0,8,0", "1,1,1,0,0", ""},
      // As kel's old-style archives hand them over: padded numbers, "y"
      // and "Y" for duplicates, variable lengths (the minimum is the end
      // of the farthest key), then the comment.
      {"2,5", "0040,03,008,0000,010,0008,y,002,0030,Y,Y,N,N,old", "40,32,3",
       "1,0,8,0,1,1,10,8,1,1,2,30", "2,5,1,0,0", "old"},
      // Any other duplicates mark is no; compression and scrambling; the
      // comment is whatever remains, commas and flags' letters included.
      {"1,1", "60,2,4,0,6,4,x,n,y,y,a,y,b", "60,60,2", "1,0,4,0,1,0,6,4", "1,1,1,1,1", "a,y,b"},
      // Fewer flags than three.
      {"1,1", "50,1,5,0,Y", "50,5,1", "1,0,5,0", "1,1,1,0,0", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.keys);
    OldMakeTexts t;
    ASSERT_TRUE(indexed::old_make_texts(c.physical, c.keys, &t));
    EXPECT_STREQ(c.record, t.record);
    EXPECT_STREQ(c.key_params, t.keys);
    EXPECT_STREQ(c.made_physical, t.physical);
    EXPECT_STREQ(c.comment, t.comment);
  }
  for (const char *bad : {"100,0,8,0", "100,2,8,0", "100,1,8,0x", "100,1,8", ""}) {
    OldMakeTexts t;
    EXPECT_TRUE(failed(!indexed::old_make_texts("1,1", bad, &t), E_PARAM)) << bad;
  }

  // The oldest: three numbers and a rest, which gets ",N,N,N," and the
  // extra text; the physical text is the third and the first number. A
  // rest with flags of its own keeps them, and the appended ones begin the
  // comment.
  char physical[64], keys[256];
  ASSERT_TRUE(indexed::oldest_to_old("001,001,2,0100,01,008,0000 ", "note", physical,
                                     sizeof physical, keys, sizeof keys));
  EXPECT_STREQ("2,1", physical);
  EXPECT_STREQ("0100,01,008,0000,N,N,N,note", keys);
  ASSERT_TRUE(indexed::oldest_to_old("3,1,1,40,1,8,0,Y,N,N", "c", physical, sizeof physical, keys,
                                     sizeof keys));
  OldMakeTexts t;
  ASSERT_TRUE(indexed::old_make_texts(physical, keys, &t));
  EXPECT_STREQ("40,8,1", t.record);
  EXPECT_STREQ("N,N,N,c", t.comment);
  EXPECT_TRUE(failed(
      !indexed::oldest_to_old("1,1", "x", physical, sizeof physical, keys, sizeof keys), E_PARAM));
}

// v5_info's texts of a file.
std::vector<std::string> texts_of(const char *name) {
  std::vector<std::string> out;
  DorvexFile *f = v5_open(name, 0, "0,0,0");
  EXPECT_NE(nullptr, f) << name << " " << *fs_error_code();
  if (f == nullptr) return out;
  char text[512];
  for (int code : {-10, -1, -2, -3, 0, 1}) {
    if (v5_info(f, code, text)) out.push_back(text);
  }
  v5_close(f);
  return out;
}

TEST_F(MakeOld, EntryPointsMakeFilesAndDescribeThemAgain) {
  ASSERT_EQ(1, v2_make("a", "1,1", "100,1,8,0"));
  EXPECT_EQ(std::vector<std::string>({"005", "0000000100,0000000100,001",
                                      "01,0000000,0000001,000,0", "", "01,0,008,0000000000"}),
            texts_of("a"));
  set_version(2);
  ASSERT_EQ(1, v2_make("b", "2,3", "60,2,8,0,4,8,Y,y,y,n,cmt"));
  EXPECT_EQ(
      std::vector<std::string>({"002", "0000000060,0000000012,002", "02,0000000,0000001,001,0",
                                "cmt", "01,0,008,0000000000", "01,1,004,0000000008"}),
      texts_of("b"));
  ASSERT_EQ(1, v_make("c", "001,001,1,0040,01,008,0000", "note"));

  // The information forms give texts that make the same file again; the
  // oldest has no flags, so a file with one set is beyond it, as a key of
  // two segments is beyond both.
  char p[V_OLD_INFO_SIZE] = "", k[V_OLD_INFO_SIZE] = "";
  DorvexFile *f = v2_open("b", 0);
  ASSERT_NE(nullptr, f);
  v2_info(f, p, k);
  EXPECT_STREQ("2,3", p);
  EXPECT_STREQ("60,2,8,0,4,8,Y,Y,Y,N,cmt", k);
  v_info(f, p, k);
  EXPECT_TRUE(failed(p[0] == '\0' && k[0] == '\0', E_UNSUPPORTED));
  v5_close(f);
  f = v2_open("c", 0);
  ASSERT_NE(nullptr, f);
  set_trace_bits(kTraceEntryPoints);
  {
    StderrCapture err;
    v_info(f, p, k);
    char line[96];
    snprintf(line, sizeof line, "V: v_info(%p \"c\", \"\", \"\")\n", static_cast<void *>(f));
    EXPECT_EQ(std::string(line) + "V: v_info() returning\n", err.text());
  }
  set_trace_bits(0);
  EXPECT_STREQ("1,1,1,40,1,8,0", p);
  EXPECT_STREQ("note", k);
  v5_close(f);
  ASSERT_EQ(1, v_make("c2", p, k));
  EXPECT_EQ(texts_of("c"), texts_of("c2"));
  set_version(5);
  ASSERT_EQ(1, make("split", "40,0,2", "1,0,8,0,2,1,2,8,2,12"));
  f = v2_open("split", 0);
  v2_info(f, p, k);
  EXPECT_TRUE(failed(p[0] == '\0' && k[0] == '\0', E_UNSUPPORTED));
  v5_close(f);
}

// Every allocation of the oldest form (its texts, make's, the version 2
// file's) failed in turn: E_NO_MEMORY, no file, nothing kept.
TEST_F(MakeOld, EveryAllocationFailureEndsCleanly) {
  set_version(2);
  const char *text = "1,1,1,40,2,8,0,4,8,Y";
  ASSERT_EQ(1, v_make("m", text, "c"));  // the process-wide tables, once
  ASSERT_EQ(1, v5_remove("m"));
  const int64_t live = alloc_live_blocks();
  int made = 0;
  const int failures = fail_each_allocation([&] { made = v_make("m", text, "c"); },
                                            [&](int n) {
                                              EXPECT_EQ(0, made) << n;
                                              EXPECT_EQ(E_NO_MEMORY, *fs_error_code()) << n;
                                              EXPECT_FALSE(file_exists("m")) << n;
                                              EXPECT_EQ(live, alloc_live_blocks()) << n;
                                            });
  EXPECT_EQ(1, made);
  EXPECT_GT(failures, 1);
}

}  // namespace
}  // namespace kel::test
