// The header reader and writer: update lock, unlocked reads and their
// counters, the update-open flag, the header version, key description
// reloads and broken codes.
#include "indexed/storage/header.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/worker.h"
#include "indexed/dorvex_fixture.h"
#include "osfile/files.h"

namespace kel::test {
namespace {

using indexed::HeaderAccess;

class HeaderTest : public DorvexTest {
 protected:
  DorvexFile *open_file(int version, int mode) {
    set_version(version);
    EXPECT_EQ(1, make("h.dat", "100,0,1", "1,0,8,0")) << error();
    DorvexFile *f = dorvex_open("h.dat", mode);
    EXPECT_NE(nullptr, f) << error();
    return f;
  }
  // Writes bytes into the file behind the engine's back, as another
  // process would.
  static void poke(size_t offset, const std::string &bytes) {
    int fd = ::open("h.dat", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), pwrite(fd, bytes.data(), bytes.size(), offset));
    close(fd);
  }
  static void set_method(int16_t method) { cfg_set_short("V_LOCK_METHOD", 0, method); }
};

TEST_F(HeaderTest, ReadsAreCountedByLockMethodAndVersion) {
  struct Case {
    int version;
    int16_t method;
    bool unlocked;
  };
  const Case cases[] = {
      {5, 0, false}, {5, 1, true},    {5, 2, true},   {4, 2, true},  {3, 1, true},
      {3, 2, false}, {3, 258, false}, {5, 514, true}, {5, 3, false},  // 3 is no method: 0
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.version) + " " + std::to_string(c.method));
    set_method(0);
    DorvexFile *f = open_file(c.version, 0);
    ASSERT_NE(nullptr, f);
    set_method(c.method);
    indexed::HeaderCounters before = f->header_counters;
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kRead));
    EXPECT_EQ(!c.unlocked, f->header_held);
    indexed::header_release(f);
    EXPECT_EQ(before.unlocked_reads + (c.unlocked ? 1 : 0), f->header_counters.unlocked_reads);
    EXPECT_EQ(before.locked_reads + (c.unlocked ? 0 : 1), f->header_counters.locked_reads);
    // A retry always reads under the lock.
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kRead, indexed::kHeaderRetry));
    EXPECT_TRUE(f->header_held);
    indexed::header_release(f);
    EXPECT_FALSE(f->header_held);
    EXPECT_EQ(before.unlocked_retried + 1, f->header_counters.unlocked_retried);
    // Locked access never goes without the lock.
    ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kLocked));
    EXPECT_TRUE(f->header_held);
    indexed::header_release(f);
    dorvex_close(f);
  }
}

TEST_F(HeaderTest, AnUnlockedReaderWaitsForAWriterAtWork) {
  DorvexFile *f = open_file(5, 0);
  ASSERT_NE(nullptr, f);
  set_method(1);
  poke(110, std::string("\0\1", 2));  // update-open flag
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kRead));
  EXPECT_EQ(1, f->header_counters.unlocked_reads);
  EXPECT_EQ(1, f->header_counters.unlocked_waited);
  EXPECT_TRUE(f->header_held) << "it took the lock and read again";
  indexed::header_release(f);
  dorvex_close(f);
}

TEST_F(HeaderTest, WritersMarkTheUpdateOnDiskAndTheWriteCountsAVersion) {
  set_method(1);
  DorvexFile *f = open_file(5, 2);
  ASSERT_NE(nullptr, f);
  auto flag = [] { return get(read_file("h.dat"), 110, 2); };
  auto version = [] { return static_cast<uint32_t>(get(read_file("h.dat"), 78, 4)); };
  uint32_t v = version();
  EXPECT_EQ(0u, flag());
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  EXPECT_EQ(1u, flag()) << "readers without the lock must wait";
  EXPECT_EQ(v, version());
  indexed::header_mark_changed(f);
  ASSERT_TRUE(indexed::header_write(f));
  EXPECT_EQ(0u, flag());
  EXPECT_EQ(v + 1, version());
  EXPECT_EQ(v + 1, f->last_header_version);
  indexed::header_release(f);
  // An update that changed nothing clears its flag and keeps the version.
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  EXPECT_EQ(1u, flag());
  indexed::header_release(f);
  EXPECT_EQ(0u, flag());
  EXPECT_EQ(v + 1, version());
  // Without lock method 1 the flag is never set.
  set_method(2);
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  EXPECT_EQ(0u, flag());
  indexed::header_release(f);
  dorvex_close(f);
}

TEST_F(HeaderTest, OtherOpensReloadKeyDescriptionsWhenTheirVersionMoves) {
  DorvexFile *a = open_file(5, 2);
  DorvexFile *b = dorvex_open("h.dat", 0);
  ASSERT_TRUE(a && b);
  ASSERT_TRUE(indexed::header_read(a, HeaderAccess::kUpdate));
  ASSERT_TRUE(indexed::set_key_root(a, 0, indexed::SegAddr{2048, 0}, 2));
  ASSERT_TRUE(indexed::header_write(a));
  indexed::header_release(a);
  ASSERT_TRUE(indexed::header_read(b, HeaderAccess::kLocked));
  indexed::header_release(b);
  EXPECT_EQ(2048u, b->keys[0].root_offset);
  EXPECT_EQ(2, b->keys[0].height);
  EXPECT_EQ(a->key_desc_version, b->key_desc_version);
  dorvex_close(b);
  dorvex_close(a);
}

TEST_F(HeaderTest, ABrokenCodeFailsEveryAccessAndReleasesTheLock) {
  DorvexFile *f = open_file(4, 2);
  ASSERT_NE(nullptr, f);
  poke(88, std::string("\0\x15", 2));  // broken code 21
  EXPECT_TRUE(fails(indexed::header_read(f, HeaderAccess::kLocked), E_BROKEN, 21));
  EXPECT_FALSE(f->header_held);
  EXPECT_EQ("<error 6>", info(f, -4));
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kLocked, indexed::kHeaderForce));
  indexed::header_release(f);
  // The engine marks a file broken the same way.
  poke(88, std::string("\0\0", 2));
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  indexed::mark_broken(f, 7);
  indexed::header_release(f);
  EXPECT_EQ(7u, get(read_file("h.dat"), 88, 2));
  EXPECT_EQ(1, dorvex_close(f)) << "close reads the header as if forced";
  EXPECT_TRUE(fails(dorvex_open("h.dat", 0), E_BROKEN, 7));
}

// The update lock is byte 0 of data segment 0: another process sees it
// held while this one has the header.
TEST_F(HeaderTest, TheHeaderIsHeldUnderTheFileWideUpdateLock) {
  Worker other([](const std::string &request) -> std::string {
    int fd = ::open(request.c_str(), O_RDWR);
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 1;
    int rc = fcntl(fd, F_GETLK, &probe);
    close(fd);
    if (rc != 0) return "error";
    return probe.l_type == F_UNLCK ? "free" : probe.l_type == F_WRLCK ? "write" : "read";
  });
  DorvexFile *f = open_file(5, 2);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ("free", other.call("h.dat"));
  ASSERT_TRUE(indexed::header_read(f, HeaderAccess::kUpdate));
  EXPECT_EQ("write", other.call("h.dat"));
  indexed::header_release(f);
  EXPECT_EQ("free", other.call("h.dat"));
  dorvex_close(f);
}

}  // namespace
}  // namespace kel::test
