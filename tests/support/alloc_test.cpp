#include "support/alloc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/test_util.h"
#include "kelfs/errors.h"

namespace kel {
namespace {

// Each test runs in a process of its own; the settings are taken from the
// environment at the first allocator call after alloc_reset_settings.
void use_settings(std::initializer_list<std::pair<const char *, const char *>> vars) {
  for (const char *name :
       {"TRACE", "A_DEBUG", "A_MEM_DESC", "A_MEM_DESC_FILE", "TEST_ALLOCATED_MEMORY_BOUNDS"})
    unsetenv(name);
  for (auto [k, v] : vars) setenv(k, v, 1);
  alloc_reset_settings();
}

TEST(Alloc, ZeroFillGrowthAndStrdup) {
  use_settings({});
  M_free(nullptr, "x", 1, nullptr);  // ignored
  int64_t live = alloc_live_blocks();
  auto *p = static_cast<unsigned char *>(KEL_ALLOC(10, "test block"));
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8) << "usable bytes are 8-byte aligned";
  for (int i = 0; i < 10; ++i) EXPECT_EQ(0, p[i]);
  memset(p, 0xAB, 10);
  p = static_cast<unsigned char *>(KEL_REALLOC(p, 20));
  ASSERT_NE(nullptr, p);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(0xAB, p[i]);
  for (int i = 10; i < 20; ++i) EXPECT_EQ(0, p[i]) << "grown byte " << i;
  char *s = KEL_STRDUP("hello");
  EXPECT_STREQ("hello", s);
  EXPECT_EQ(live + 2, alloc_live_blocks());
  KEL_FREE(s);
  KEL_FREE(p);
  EXPECT_EQ(live, alloc_live_blocks());
}

TEST(Alloc, InjectedFailureHitsTheNthCallOnceAndLeavesNoMemoryCode) {
  use_settings({});
  *fs_error_code() = E_INTERNAL;
  alloc_fail_nth(3);
  void *a = KEL_ALLOC(8, "a");
  void *b = KEL_ALLOC(8, "b");
  EXPECT_FALSE(alloc_failure_triggered());
  void *c = KEL_ALLOC(8, "c");
  EXPECT_EQ(nullptr, c);
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
  void *d = KEL_ALLOC(8, "d");
  EXPECT_NE(nullptr, d) << "the failure happens once";
  // A failing realloc keeps the old block intact.
  memcpy(a, "abcdefgh", 8);
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, KEL_REALLOC(a, 64));
  EXPECT_EQ(0, memcmp(a, "abcdefgh", 8));
  for (void *p : {a, b, d}) KEL_FREE(p);
}

TEST(Alloc, CategoryCountersFollowLiveBytes) {
  use_settings({{"A_DEBUG", "1"}});
  void *p = M_alloc(100, 2, "t", 1, "cat two", nullptr);
  void *q = M_alloc(50, 9, "t", 2, "cat five", nullptr);  // above 5 counts as 5
  EXPECT_EQ(100u, alloc_category_bytes(2));
  EXPECT_EQ(50u, alloc_category_bytes(5));
  p = M_realloc(p, 300, "t", 3, nullptr);
  EXPECT_EQ(300u, alloc_category_bytes(2));
  M_free(p, "t", 4, nullptr);
  M_free(q, "t", 5, nullptr);
  EXPECT_EQ(0u, alloc_category_bytes(2));
  EXPECT_EQ(0u, alloc_category_bytes(5));
}

TEST(Alloc, GuardsReportOverrunsAndBadFreesInDbgmallocLog) {
  test::TempDir dir(true);
  // A_MEM_DESC without A_MEM_DESC_FILE keeps no description table: no
  // record lies between the front guard and the block header below.
  use_settings({{"TEST_ALLOCATED_MEMORY_BOUNDS", "1"}, {"A_MEM_DESC", "4"}});
  auto *p = static_cast<char *>(KEL_ALLOC(16, "guarded"));
  p[16] = 'X';  // one byte past the end: the end guard
  void *q = M_alloc(4, 0, "t", 7, "next", "probe %d", 42);
  std::string log = test::read_file("dbgmalloc.log");
  char expect[128];
  snprintf(expect, sizeof expect, "probe 42: Block overwritten (at end), addr = %p\n",
           static_cast<void *>(p));
  EXPECT_NE(std::string::npos, log.find(expect)) << log;
  p[16] = 'y';

  p[-16] = 'Q';  // the front guard (front word, then the 8-byte header)
  KEL_FREE(q);
  log = test::read_file("dbgmalloc.log");
  snprintf(expect, sizeof expect, "free: Block overwritten (at front), addr = %p\n",
           static_cast<void *>(p));
  EXPECT_NE(std::string::npos, log.find(expect)) << log;
  p[-16] = 'a';

  // A realloc that fails keeps the block guarded and registered.
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, KEL_REALLOC(p, 64));

  static char never_allocated[64];
  KEL_FREE(never_allocated + 16);
  KEL_FREE(q);  // freed twice
  log = test::read_file("dbgmalloc.log");
  snprintf(expect, sizeof expect, "Free or realloc of unallocated area, addr = %p\n",
           static_cast<void *>(never_allocated + 16));
  EXPECT_NE(std::string::npos, log.find(expect)) << log;
  snprintf(expect, sizeof expect, "Free of freed area, addr = %p\n", q);
  EXPECT_NE(std::string::npos, log.find(expect)) << log;
  KEL_FREE(p);
  snprintf(expect, sizeof expect, "area, addr = %p\n", static_cast<void *>(p));
  EXPECT_EQ(std::string::npos, test::read_file("dbgmalloc.log").find(expect))
      << "p was still registered after the failed realloc";
}

TEST(Alloc, DescriptionTableTracesAndDumps) {
  test::TempDir dir(true);
  std::string file = dir / "mem.txt";
  *fs_error_code() = 0;  // the error block exists before the table is kept
  use_settings({{"A_MEM_DESC", "4"}, {"A_MEM_DESC_FILE", file.c_str()}});
  void *p = M_alloc(24, 0, "mod.cpp", 12, "file table (UNIX)", "open %s", "cust");
  // A realloc that fails leaves the block described as it was.
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, M_realloc(p, 4000, "mod.cpp", 20, nullptr));
  alloc_dump();
  std::string failed = test::read_file(file);
  EXPECT_NE(std::string::npos, failed.find(", 24: mod.cpp:12, `file table (UNIX)'\n"
                                           "usable memory allocated: 24 bytes\n",
                                           failed.rfind("M_realloc(")))
      << failed;
  p = M_realloc(p, 48, "mod.cpp", 13, nullptr);
  M_free(p, "mod.cpp", 14, nullptr);
  std::string out = test::read_file(file);
  EXPECT_EQ(0u, out.find("address, bytes: file:line, `description'\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\nM_alloc(24) (open cust) @ mod.cpp:12 = ")) << out;
  EXPECT_NE(std::string::npos, out.find("\nM_realloc(")) << out;
  EXPECT_NE(std::string::npos, out.find(", 48: mod.cpp:13, `file table (UNIX)'\n"))
      << "the description survives a realloc\n"
      << out;
  EXPECT_NE(std::string::npos, out.find("=====\n")) << out;
  EXPECT_NE(std::string::npos, out.find("usable memory allocated: 48 bytes\n")) << out;
  EXPECT_NE(std::string::npos, out.find("@ mod.cpp:14 `file table (UNIX)'\n")) << out;
  // After the free the dump holds no block.
  EXPECT_EQ(out.size() - strlen("usable memory allocated: 0 bytes\n"
                                "memory description overhead: 0 bytes\n"),
            out.rfind("usable memory allocated: 0 bytes\n"));
}

}  // namespace
}  // namespace kel
