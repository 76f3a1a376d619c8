// An exclusive or deny-write input open does not keep a second open of
// the same file in this process out while V_INTERNAL_LOCKS is off (the
// kernel's locks cannot tell two opens of one process apart): the engine
// must then read what that writer changed rather than trust the header,
// nodes and records it saw earlier.
#include "indexed/engine_fixture.h"

namespace kel::test {
namespace {

using WritersKeptOutTest = EngineTest;

TEST_F(WritersKeptOutTest, ReaderWithoutInternalLocksSeesAnotherOpensWrites) {
  const FileShape shape{5, "1,1,1,70,0", 40, 20, {{{{8, 0}}}}};
  auto record = [&](int i, char fill) {
    char key[9];
    snprintf(key, sizeof key, "%08d", i);
    return shape.record({key}, 40, fill);
  };
  cfg_set_tinyint("V_INTERNAL_LOCKS", 0, 0);
  for (int32_t reader_mode : {KEL_OPEN_EXCLUSIVE, KEL_OPEN_DENY_WRITE}) {
    SCOPED_TRACE(reader_mode);
    DorvexFile *w = shape.make_open("shared");
    ASSERT_NE(nullptr, w) << codes();
    for (int i = 0; i < 400; i += 2) ASSERT_EQ(1, write(w, record(i, 'a'))) << codes();
    ASSERT_EQ(1, v5_close(w));
    w = v5_open("shared", KEL_OPEN_IO, "0,0,0");
    ASSERT_NE(nullptr, w) << codes();
    DorvexFile *r = v5_open("shared", KEL_OPEN_INPUT | reader_mode, "0,0,0");
    ASSERT_NE(nullptr, r) << codes();
    EXPECT_EQ(record(10, 'a'), read(r, record(10, 'a'), 0));
    walk(r, 0);
    // The other open adds the odd keys (the tree grows by splits) and
    // rewrites one record the reader has read.
    for (int i = 1; i < 400; i += 2) ASSERT_EQ(1, write(w, record(i, 'b'))) << codes();
    ASSERT_EQ(1, v5_rewrite(w, record(10, 'c').data(), 40)) << codes();
    std::string want;
    for (int i = 0; i < 400; ++i) want += record(i, i == 10 ? 'c' : i % 2 ? 'b' : 'a') + "|";
    EXPECT_EQ(record(10, 'c'), read(r, record(10, 'a'), 0));
    EXPECT_EQ(record(301, 'b'), read(r, record(301, 'a'), 0));
    EXPECT_TRUE(same(want, walk(r, 0)));
    EXPECT_EQ(1, v5_close(w));
    EXPECT_EQ(1, v5_close(r));
  }
}

}  // namespace
}  // namespace kel::test
