// Running out of memory in the file operations: every allocation that
// make, open, write, delete and close take is failed in turn (the n-th
// allocation from the start of the operation, n = 1 until the operation
// succeeds). Each failure ends in E_NO_MEMORY with every block given back
// and the file as it was (or, for make, absent).
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "common/test_util.h"
#include "fsapi/v5_fixture.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

using NoMemoryTest = V5Test;

bool exists(const char *name) {
  struct stat st;
  return stat(name, &st) == 0;
}

std::string bytes() {
  return read_file("cust") + "|" + read_file("cust.vix");
}

void put_back(const std::string &data, const std::string &index) {
  for (auto [name, text] : {std::pair{"cust", &data}, std::pair{"cust.vix", &index}}) {
    FILE *f = fopen(name, "wb");
    fwrite(text->data(), 1, text->size(), f);
    fclose(f);
  }
}

// Records of 12 bytes: key 0 is bytes 0-3, key 1 (duplicates) bytes 4-7.
constexpr char kMake[] = "1,0,4,0,1,1,4,4";
const std::string kRecord = "0003HULL....";

TEST_F(NoMemoryTest, EveryAllocationOfMakeOpenWriteDeleteAndCloseFailsCleanly) {
  // One whole round first: the process-wide tables that the operations
  // create on first use (file table, cache, buffers) stay until the exit
  // operations, and are not the operations' leaks.
  ASSERT_EQ(v5_make("cust", "", "1,1,1,0,0", "12,12,2", kMake, nullptr), 1);
  DorvexFile *f = v5_open("cust", KEL_OPEN_IO, "0,0,0");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(v5_write(f, kRecord.data(), 12), 1);
  ASSERT_EQ(v5_delete(f, kRecord.data()), 1);
  ASSERT_EQ(v5_check(f, 0), 1) << "its report stays until the next check";
  ASSERT_EQ(v5_close(f), 1);
  ASSERT_EQ(v5_remove("cust"), 1);
  int64_t live = alloc_live_blocks();
  int made = 0;
  int failures = fail_each_allocation(
      [&] { made = v5_make("cust", "", "1,1,1,0,0", "12,12,2", kMake, nullptr); },
      [&](int n) {
        EXPECT_EQ(made, 0) << "make, allocation " << n;
        EXPECT_EQ(*fs_error_code(), E_NO_MEMORY) << "make, allocation " << n;
        EXPECT_FALSE(exists("cust") || exists("cust.vix")) << "make, allocation " << n;
        EXPECT_EQ(live, alloc_live_blocks()) << "make, allocation " << n;
      });
  ASSERT_EQ(made, 1);
  EXPECT_GT(failures, 0);

  // The session opens the empty file, writes a first record (which makes
  // the first root of every key), deletes it again and closes the file.
  const std::string data = read_file("cust"), index = read_file("cust.vix");
  f = v5_open("cust", KEL_OPEN_IO, "0,0,0");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(v5_close(f), 1);
  // An open for update moves the header's counters on: a failed open
  // leaves the file as an open that closes again does, or untouched.
  const std::string opened = bytes();
  put_back(data, index);
  const char *step = "";
  int16_t code = 0;
  auto stop = [&](const char *where, DorvexFile *open) {
    step = where;
    code = *fs_error_code();
    if (open != nullptr) v5_close(open);
  };
  auto session = [&] {
    step = "";
    code = 0;
    DorvexFile *g = v5_open("cust", KEL_OPEN_IO, "0,0,0");
    if (g == nullptr) return stop("open", nullptr);
    if (!v5_write(g, kRecord.data(), 12)) return stop("write", g);
    if (!v5_delete(g, kRecord.data())) return stop("delete", g);
    if (!v5_close(g)) return stop("close", nullptr);
  };
  int seen[4] = {};
  failures = fail_each_allocation(session, [&](int n) {
    std::string s = step, at = s + ", allocation " + std::to_string(n);
    EXPECT_EQ(code, E_NO_MEMORY) << at;
    EXPECT_EQ(live, alloc_live_blocks()) << at;
    ++seen[s == "open" ? 0 : s == "write" ? 1 : s == "delete" ? 2 : 3];
    if (s == "open") {
      EXPECT_TRUE(bytes() == opened || bytes() == data + "|" + index) << at;
    }
    // The file is sound and holds the record only when its delete failed: a
    // write that fails takes back what it had done (the nodes it made for
    // the first roots stay, as free nodes or empty roots, which is why the
    // bytes may differ).
    DorvexFile *g = v5_open("cust", KEL_OPEN_INPUT, "0,0,0");
    ASSERT_NE(g, nullptr) << at;
    EXPECT_EQ(v5_check(g, 0), 1) << at << "\n" << v5_check_report();
    char buffer[13] = {};
    memcpy(buffer, kRecord.data(), 12);
    EXPECT_EQ(v5_read(g, buffer, 0), s == "delete" ? 12u : 0u) << at;
    EXPECT_EQ(v5_close(g), 1);
    put_back(data, index);
  });
  EXPECT_EQ(code, 0) << step;
  EXPECT_GT(seen[0], 0) << "open";
  EXPECT_GT(seen[1], 0) << "write";
  EXPECT_EQ(seen[3], 0) << "close takes no memory";
  EXPECT_EQ(live, alloc_live_blocks());
}

}  // namespace
}  // namespace kel::test
