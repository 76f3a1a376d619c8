// The OS layer: handles over descriptors, locks, the double-byte mode,
// base names, joined paths, temporary files, wrapped descriptors and file
// copies, with and without memory (rows of layer/calls.txt), and the
// streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "common/faults.h"
#include "common/golden.h"
#include "common/lock_probe.h"
#include "common/row_script.h"
#include "common/test_util.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "layer/text_mode.h"
#include "support/alloc.h"

namespace kel::test {
namespace {

class LayerFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(0, open_handles()) << "every handle closed";
    layer_files_release();
  }
  static int open_handles() {
    int n = 0;
    for (int32_t h = 0; h < layer_capacity(); ++h) n += layer_fd(h) >= 0;
    return n;
  }
  std::string size_of(int32_t h) {
    struct stat st;
    return Alayer_fstat(h, &st) == 0 ? std::to_string(st.st_size) : "none";
  }
  TempDir dir_{true};
  std::string path_ = dir_ / "data";
};

uint32_t g_draws = 0;

bool cloexec(int fd) {
  return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

// The calls of layer/calls.txt: a handle by its number, a file by its
// name in the test's folder (the working folder); a call that fails shows
// errno's text.
TEST_F(LayerFiles, Rows) {
  auto n = [](const Words &a, size_t i) { return static_cast<int32_t>(number(a.at(i))); };
  auto path = [this](const Words &a) { return dir_ / a.at(0); };
  auto said = [](int64_t result) {
    return std::to_string(result) + (errno ? std::string(" ") + strerror(errno) : "");
  };
  auto text = [](const Words &a, size_t i) { return a.at(i) == "-" ? nullptr : a[i].c_str(); };
  // A file's size and mode (octal), or none.
  auto stat_of = [](const std::string &name) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return std::string("none");
    char mode[8];
    snprintf(mode, sizeof mode, "%o", st.st_mode & 0777);
    return "size " + std::to_string(st.st_size) + " mode " + mode;
  };
  umask(022);
  std::set<std::string> made;
  char buf[4096];
  Verbs verbs = {
      {"open", [&](const Words &a) { return said(Alayer_open(path(a).c_str(), n(a, 1))); }},
      {"close", [&](const Words &a) { return said(Alayer_close(n(a, 0))); }},
      {"write",
       [&](const Words &a) {
         std::string data = from_runs(a, 1);
         return said(Alayer_write(n(a, 0), data.data(), static_cast<uint32_t>(data.size())));
       }},
      {"read",
       [&](const Words &a) {
         int32_t got = Alayer_read(n(a, 0), buf, static_cast<uint32_t>(n(a, 1)));
         return said(got) + (got > 0 ? " " + as_word(std::string(buf, got)) : "");
       }},
      // H OFFSET BYTES... and H LENGTH OFFSET, on the handle's descriptor.
      {"pwrite",
       [&](const Words &a) {
         std::string data = from_runs(a, 2);
         return said(Alayer_pwrite(layer_fd(n(a, 0)), data.data(),
                                   static_cast<uint32_t>(data.size()), number(a.at(1))));
       }},
      {"pread",
       [&](const Words &a) {
         int32_t got =
             Alayer_pread(layer_fd(n(a, 0)), buf, static_cast<uint32_t>(n(a, 1)), number(a.at(2)));
         return said(got) + (got > 0 ? " " + as_word(std::string(buf, got)) : "");
       }},
      // H OFFSET set|cur|end
      {"seek",
       [&](const Words &a) {
         int whence = a.at(2) == "set" ? SEEK_SET : a[2] == "cur" ? SEEK_CUR : SEEK_END;
         return said(Alayer_seek(n(a, 0), number(a.at(1)), whence));
       }},
      {"size", [&](const Words &a) { return size_of(n(a, 0)); }},
      {"lock",
       [&](const Words &a) {
         return said(Alayer_lock(n(a, 0), number(a.at(1)), number(a.at(2)), n(a, 3)));
       }},
      {"seen", [&](const Words &a) { return lock_seen(path(a), 0, 0); }},
      {"unlink", [&](const Words &a) { return said(Aunlink(path(a).c_str())); }},
      {"file",
       [&](const Words &a) { return file_exists(path(a)) ? as_text(read_file(path(a))) : "none"; }},
      // The handles open, the array's size, and whether each open
      // descriptor is closed at exec.
      {"handles",
       [&](const Words &) {
         std::string out =
             std::to_string(open_handles()) + " of " + std::to_string(layer_capacity());
         for (int32_t h = 0; h < layer_capacity(); ++h)
           if (layer_fd(h) >= 0 && !cloexec(layer_fd(h)))
             out += ", " + std::to_string(h) + " inherited";
         return out;
       }},
      {"release", act(layer_files_release)},
      // NAME: a descriptor of the file wrapped by a handle, then closed:
      // the handle and whether its descriptor is the one given; then that
      // descriptor wrapped again.
      {"dup",
       [&](const Words &a) {
         int fd = open(path(a).c_str(), O_RDWR | O_CREAT, 0600);
         int32_t h = Alayer_dup(fd);
         std::string out = said(h) + (layer_fd(h) == fd ? " the same" : " a descriptor of its own");
         close(fd);
         return out + ", again " + said(Alayer_dup(fd));
       }},
      // The double-byte mode: LANG (none: unset), the mode asked for
      // (-1: from LANG), and whether a pair of bytes is an EUC character.
      {"lang",
       act([](const Words &a) { a.empty() ? unsetenv("LANG") : setenv("LANG", a[0].c_str(), 1); })},
      {"reset_kanji", act(reset_kanji_mode)},
      {"set_kanji",
       act([&](const Words &a) { Aset_kanji_mode(n(a, 0) < 0 ? kKanjiUndecided : n(a, 0)); })},
      {"kanji", [](const Words &) { return std::to_string(kanji_mode()); }},
      {"pair",
       [](const Words &a) {
         return std::to_string(kanji_pair(reinterpret_cast<const unsigned char *>(a.at(0).data())));
       }},
      // The base name, and where in the path it begins.
      {"base",
       [](const Words &a) {
         const char *base = Abase_name(a.at(0).c_str());
         return as_word(base) + " at " + std::to_string(base - a[0].c_str());
       }},
      // Temporary files, FOLDER PREFIX SUFFIX [ROOM] ("-": null): the name
      // made, its six drawn characters as ######, then the file's size and
      // mode, and "repeated" when a row before made the same name. ROOM:
      // the buffer's bytes beyond the folder's name.
      {"temp",
       [&](const Words &a) {
         std::string folder = replace_all(a.at(0), "<dir>", dir_.path());
         size_t room = a.size() > 3 ? folder.size() + number(a[3]) : sizeof buf;
         strcpy(buf, "junk");
         int32_t rc =
             Atemp_file(text(a, 0) ? folder.c_str() : nullptr, text(a, 1), text(a, 2), buf, room);
         std::string out =
             std::to_string(rc) + " " +
             as_word(std::regex_replace(
                 replace_all(buf, dir_.path(), "<dir>"),
                 std::regex("/(" + std::string(text(a, 1) ? a[1] : "") + ")[A-Z0-9]{6}"),
                 "/$1######"));
         if (rc != 1) return out;
         return out + " " + stat_of(buf) + (made.insert(buf).second ? "" : " repeated");
       }},
      // NAME FOLDER: an environment variable naming a new folder in the
      // test's folder; NAME -: removed.
      {"env", act([&](const Words &a) {
         if (a.at(1) == "-") return (void)unsetenv(a[0].c_str());
         mkdir((dir_ / a[1]).c_str(), 0755);
         setenv(a[0].c_str(), (dir_ / a[1]).c_str(), 1);
       })},
      // Every draw of a temporary name gives 0 (AAAAAA) and is counted;
      // "draws": how many, and they are random again.
      {"draw_zero", act([] { temp_file_draw_hook([]() -> uint32_t { return ++g_draws, 0; }); })},
      {"draws",
       [](const Words &) {
         temp_file_draw_hook(nullptr);
         return std::to_string(std::exchange(g_draws, 0));
       }},
      // FROM TO: Acopy_file's result and the primary code it left.
      {"copy",
       [&](const Words &a) {
         *fs_error_code() = 0;
         int32_t rc = Acopy_file(path(a).c_str(), (dir_ / a.at(1)).c_str());
         return std::to_string(rc) + " code " + std::to_string(*fs_error_code());
       }},
      {"stat", [&](const Words &a) { return stat_of(path(a)); }},
      {"chmod",
       act([&](const Words &a) { chmod(path(a).c_str(), std::stoi(a.at(1), nullptr, 8)); })},
      // DIR NAME: the folder's buffer after the join.
      {"join",
       [&](const Words &a) {
         snprintf(buf, sizeof buf, "%s", a.at(0).c_str());
         bool same = Ajoin_path(buf, a.at(1).c_str()) == buf;
         return (same ? "" : "another buffer ") + as_word(buf);
       }},
  };
  add_fault_verbs(verbs);  // copies without memory, full disks
  // Each row's errno is its own.
  EXPECT_TRUE(run_rows("layer/calls.txt", verbs, [] {
    errno = 0;
    return "";
  }));
}

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
