// Positioning, keyed and sequential reading, the physical scan and record
// locks, through the entry points.
#include "indexed/access_fixture.h"

namespace kel::test {
namespace {

class ReadTest : public AccessTest {};

TEST_F(ReadTest, Smoke) {
  DorvexFile *f = make_open("smoke", 5, "20,20,2", "1,0,4,0,1,1,2,4");
  ASSERT_NE(f, nullptr) << error();
  for (const char *k : {"dddd", "bbbb", "aaaa", "cccc"}) {
    ASSERT_EQ(write(f, record(20, {{0, k}, {4, "xy"}})), 1) << error() << "/" << secondary();
  }
  EXPECT_TRUE(sound(f));
  ASSERT_EQ(start(f, record(20, {}), 0, 0, 1), 1) << error();
  std::string got;
  for (std::string r; !(r = next(f)).empty();) got += r.substr(0, 4);
  EXPECT_EQ(got, "aaaabbbbccccdddd");
  EXPECT_EQ(error(), E_NOT_FOUND);
  EXPECT_EQ(v5_close(f), 1);
}

}  // namespace
}  // namespace kel::test
