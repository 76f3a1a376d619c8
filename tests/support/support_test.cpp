// The describing allocator and the big-endian field helpers.
#include "support/alloc.h"
#include "support/be.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "common/golden.h"
#include "common/test_util.h"
#include "kelfs/errors.h"

namespace kel::test {
namespace {

// The settings are taken from the environment at the first allocator call
// after alloc_reset_settings.
void use_settings(std::initializer_list<std::pair<const char *, const char *>> vars) {
  for (const char *name :
       {"TRACE", "A_DEBUG", "A_MEM_DESC", "A_MEM_DESC_FILE", "TEST_ALLOCATED_MEMORY_BOUNDS"})
    unsetenv(name);
  for (auto [k, v] : vars) setenv(k, v, 1);
  alloc_reset_settings();
}

TEST(Alloc, ZeroFillGrowthStrdupAndTheInjectedFailure) {
  use_settings({});
  M_free(nullptr, "x", 1, nullptr);  // ignored
  *fs_error_code() = E_INTERNAL;     // the error block is made at its first use
  int64_t live = alloc_live_blocks();
  auto *p = static_cast<unsigned char *>(KEL_ALLOC(10, "test block"));
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8) << "usable bytes are 8-byte aligned";
  EXPECT_EQ(std::string(10, '\0'), std::string(reinterpret_cast<char *>(p), 10));
  memset(p, 0xAB, 10);
  p = static_cast<unsigned char *>(KEL_REALLOC(p, 20));
  EXPECT_EQ(std::string(10, '\xAB') + std::string(10, '\0'),
            std::string(reinterpret_cast<char *>(p), 20))
      << "grown bytes are zero";
  char *s = KEL_STRDUP("hello");
  EXPECT_STREQ("hello", s);
  EXPECT_EQ(live + 2, alloc_live_blocks());
  KEL_FREE(s);
  // The n-th call fails, once, with the code; a failing realloc keeps the
  // old block intact.
  alloc_fail_nth(2);
  void *a = KEL_ALLOC(8, "a");
  EXPECT_FALSE(alloc_failure_triggered());
  EXPECT_EQ(nullptr, KEL_ALLOC(8, "b"));
  EXPECT_TRUE(alloc_failure_triggered());
  EXPECT_EQ(E_NO_MEMORY, *fs_error_code());
  void *d = KEL_ALLOC(8, "d");
  EXPECT_NE(nullptr, d) << "the failure happens once";
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, KEL_REALLOC(p, 64));
  EXPECT_EQ(std::string(10, '\xAB'), std::string(reinterpret_cast<char *>(p), 10));
  for (void *block : {a, d, static_cast<void *>(p)}) KEL_FREE(block);
  EXPECT_EQ(live, alloc_live_blocks());
  // Category counters follow the live bytes; above 5 counts as 5.
  use_settings({{"A_DEBUG", "1"}});
  void *c2 = M_alloc(100, 2, "t", 1, "cat two", nullptr);
  void *c5 = M_alloc(50, 9, "t", 2, "cat five", nullptr);
  c2 = M_realloc(c2, 300, "t", 3, nullptr);
  EXPECT_EQ(300u, alloc_category_bytes(2));
  EXPECT_EQ(50u, alloc_category_bytes(5));
  M_free(c2, "t", 4, nullptr);
  M_free(c5, "t", 5, nullptr);
  EXPECT_EQ(0u, alloc_category_bytes(2) + alloc_category_bytes(5));
}

// Overruns at either end, frees of unallocated and of freed areas; a
// realloc that fails keeps the block guarded and registered (its free
// reports nothing).
TEST(Alloc, GuardsReportInDbgmallocLog) {
  TempDir dir(true);
  // A_MEM_DESC without A_MEM_DESC_FILE keeps no description table: no
  // record lies between the front guard and the block header below.
  use_settings({{"TEST_ALLOCATED_MEMORY_BOUNDS", "1"}, {"A_MEM_DESC", "4"}});
  auto *p = static_cast<char *>(KEL_ALLOC(16, "guarded"));
  p[16] = 'X';  // one byte past the end: the end guard
  void *q = M_alloc(4, 0, "t", 7, "next", "probe %d", 42);
  p[16] = 'y';
  p[-16] = 'Q';  // the front guard (front word, then the 8-byte header)
  KEL_FREE(q);
  p[-16] = 'a';
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, KEL_REALLOC(p, 64));
  static char never_allocated[64];
  KEL_FREE(never_allocated + 16);
  KEL_FREE(q);
  KEL_FREE(p);
  std::string log = replace_all(read_file("dbgmalloc.log"), pointer_text(p), "<p>");
  log = replace_all(log, pointer_text(q), "<q>");
  EXPECT_TRUE(matches_golden("support/dbgmalloc.log",
                             replace_all(log, pointer_text(never_allocated + 16), "<static>")));
}

// A trace line a call and a dump after each; the description survives a
// realloc, failed or not.
TEST(Alloc, DescriptionTableTracesAndDumps) {
  TempDir dir(true);
  *fs_error_code() = 0;  // the error block exists before the table is kept
  use_settings({{"A_MEM_DESC", "4"}, {"A_MEM_DESC_FILE", (dir / "mem.txt").c_str()}});
  void *p = M_alloc(24, 0, "mod.cpp", 12, "file table (UNIX)", "open %s", "cust");
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, M_realloc(p, 4000, "mod.cpp", 20, nullptr));
  alloc_dump();
  p = M_realloc(p, 48, "mod.cpp", 13, nullptr);
  M_free(p, "mod.cpp", 14, nullptr);
  use_settings({});
  // The block may or may not move: every address reads the same.
  EXPECT_TRUE(matches_golden(
      "support/mem_desc.txt",
      std::regex_replace(read_file(dir / "mem.txt"), std::regex("0x[0-9a-f]+"), "<address>")));
}

// Every width through the dispatching helpers, which use the fixed ones:
// pinned bytes, most significant first, nothing written past the field,
// and the value loaded back.
TEST(BigEndian, FieldsOfEveryWidthHoldPinnedBytes) {
  const uint64_t v = 0x8877665544332211ull;
  const uint8_t bytes[] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  uint8_t b[9];
  for (int width : {1, 2, 4, 6, 8}) {
    memset(b, 0xEE, sizeof b);
    uint64_t mask = width == 8 ? ~0ull : ((1ull << (8 * width)) - 1);
    store_be(b, width, v);
    EXPECT_EQ(0, memcmp(b, bytes + 8 - width, static_cast<size_t>(width))) << "width " << width;
    EXPECT_EQ(0xEE, b[width]) << "wrote past the field";
    EXPECT_EQ(v & mask, load_be(b, width)) << "width " << width;
  }
  // Signed values survive a round trip through their field width.
  store_be32(b, static_cast<uint32_t>(-5));
  EXPECT_EQ(-5, static_cast<int32_t>(load_be32(b)));
}

}  // namespace
}  // namespace kel::test
