#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "common/test_util.h"
#include "layer/layer.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

TEST(Streams, ModeLettersBAndTAreDroppedAndFailuresSetErrno) {
  TempDir dir;
  std::string path = dir / "s";
  write_file(path, "old contents");
  // "wb+" opens as "w+": truncated, and readable as well as writable.
  void *s = Astream_open(path.c_str(), "wb+");
  ASSERT_NE(nullptr, s);
  EXPECT_TRUE(fcntl(fileno(stream_file(s)), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(5, Astream_printf(s, "%d-%s", 12, "ab"));
  EXPECT_GE(Astream_puts("\nline two\n", s), 0);
  EXPECT_EQ(15, Astream_tell(s));
  EXPECT_EQ(0, Astream_seek(s, 0, SEEK_SET));
  EXPECT_EQ('1', Astream_getc(s));
  char line[32], rest[32] = {};
  EXPECT_EQ(line, Astream_gets(line, sizeof line, s));
  EXPECT_STREQ("2-ab\n", line);
  EXPECT_EQ(9u, Astream_read(rest, 1, sizeof rest, s));
  EXPECT_STREQ("line two\n", rest);
  EXPECT_EQ(0, Astream_close(s));
  EXPECT_EQ("12-ab\nline two\n", read_file(path));
  s = Astream_open(path.c_str(), "rt");
  EXPECT_EQ(0u, Astream_write("x", 1, 1, s)) << "read only";
  Astream_close(s);
  errno = 0;
  EXPECT_EQ(nullptr, Astream_open((dir / "missing").c_str(), "rb"));
  EXPECT_EQ(ENOENT, errno);
  // No memory for the stream object: nothing opened.
  int64_t live = alloc_live_blocks();
  alloc_fail_nth(1);
  EXPECT_EQ(nullptr, Astream_open((dir / "new").c_str(), "w"));
  EXPECT_EQ(ENOMEM, errno);
  EXPECT_FALSE(file_exists(dir / "new"));
  EXPECT_LE(alloc_live_blocks(), live + 1);  // at most the error block
}

TEST(Streams, StandardStreamsAreHandles) {
  TempDir dir;
  FILE *in = fopen((dir / "in").c_str(), "w+");
  FILE *out = fopen((dir / "out").c_str(), "w+");
  FILE *err = fopen((dir / "err").c_str(), "w+");
  fputs("typed\n", in);
  rewind(in);
  Astream_init(in, out, err);
  // The library's own stdin/stdout/stderr values name the bound streams.
  char line[16];
  EXPECT_EQ(line, Astream_gets(line, sizeof line, stdin));
  EXPECT_STREQ("typed\n", line);
  EXPECT_EQ(3u, Astream_write("out", 1, 3, stdout));
  Astream_printf(stderr, "err %d", 1);
  Astream_puts("!", err);  // the FILE itself is accepted too
  Astream_flush(stdout);
  Astream_flush(stderr);
  EXPECT_EQ("out", read_file(dir / "out"));
  EXPECT_EQ("err 1!", read_file(dir / "err"));
  // Closing a standard stream twice is harmless.
  EXPECT_EQ(0, Astream_close(stderr));
  EXPECT_EQ(EOF, Astream_close(stderr));
  EXPECT_EQ(0u, Astream_write("x", 1, 1, stderr));
  Astream_close(stdin);
  Astream_close(stdout);
}

}  // namespace
}  // namespace kel::test
