// The record and volume layer against a simulated medium: volumes that end
// after a given number of bytes (a write or read comes back short there),
// device and file transfers, media-size limits, swapped media, standard
// input delivered in small pieces, and the operator's answers from a
// stream.
#include "archive/volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/operator.h"
#include "archive/transfer.h"
#include "common/msg_file.h"
#include "common/spawn.h"
#include "common/test_util.h"
#include "messages/msg.h"

namespace kel::archive {
namespace {

struct Tape {
  std::vector<std::string> volumes{std::string()};
  size_t capacity = SIZE_MAX;  // bytes a volume takes before writes come back short
  std::vector<size_t> writes;
  size_t reading = 0;  // volume being read
  size_t pos = 0;
  size_t chunk = SIZE_MAX;  // most bytes one read delivers
  std::vector<size_t> reads;
  bool output = true;
};
Tape g_tape;

ssize_t tape_write(int, const void *bytes, size_t n) {
  g_tape.writes.push_back(n);
  std::string &v = g_tape.volumes.back();
  size_t room = g_tape.capacity > v.size() ? g_tape.capacity - v.size() : 0;
  size_t k = std::min(n, room);
  v.append(static_cast<const char *>(bytes), k);
  return static_cast<ssize_t>(k);
}

ssize_t tape_read(int, void *into, size_t n) {
  g_tape.reads.push_back(n);
  if (g_tape.reading >= g_tape.volumes.size()) return 0;
  const std::string &v = g_tape.volumes[g_tape.reading];
  size_t k = std::min({n, v.size() - g_tape.pos, g_tape.chunk});
  memcpy(into, v.data() + g_tape.pos, k);
  g_tape.pos += k;
  return static_cast<ssize_t>(k);
}

int tape_close(int fd) {
  if (fd > 2) ::close(fd);
  if (g_tape.output) {
    g_tape.volumes.emplace_back();
  } else {
    ++g_tape.reading;
    g_tape.pos = 0;
  }
  return 0;
}

// Answers every prompt with an empty line.
void answer_prompts() {
  static char answers[4096];
  memset(answers, '\n', sizeof answers - 1);
  operator_use_stream(fmemopen(answers, sizeof answers - 1, "r"));
}

void start(bool output, int record, int block, int media_size, bool device, bool standard) {
  reset_transfer();
  volume_release();
  g_tape = Tape{};
  g_tape.output = output;
  TransferState &t = transfer();
  t.mode = output ? kRunOutput : kRunInput;
  t.record_size = record;
  t.media_block = block;
  t.blocks_per_record = record / block;
  t.media_size = media_size;
  if (standard) {
    t.archive_fd = output ? STDOUT_FILENO : STDIN_FILENO;
  } else {
    strcpy(t.archive_path, "/dev/null");
    t.archive_fd = open("/dev/null", O_RDWR);
  }
  static MediaHooks hooks;
  hooks = {tape_read, tape_write, tape_close, device ? 1 : 0};
  volume_set_media_hooks(&hooks);
  answer_prompts();
  volume_begin();
}

std::string random_bytes(std::mt19937 &rng, size_t n) {
  std::string s(n, '\0');
  for (auto &c : s) c = static_cast<char>(rng());
  return s;
}

// Writes the stream in random pieces through both ways in.
void write_stream(const std::string &stream, std::mt19937 &rng) {
  size_t at = 0;
  while (at < stream.size()) {
    size_t n = std::min<size_t>(stream.size() - at, rng() % 3000 + 1);
    if (rng() % 2) {
      write_archive_bytes(stream.data() + at, n);
    } else {
      size_t room;
      uint8_t *space = archive_write_space(n, &room);
      ASSERT_GE(room, 1u);
      memcpy(space, stream.data() + at, room);
      archive_write_commit(room);
      n = room;
    }
    at += n;
  }
}

struct VolumeCheck {
  std::string payload;  // whole records of every volume, in order
  int64_t blocks = 0;
};

VolumeCheck check_output_volumes(int record, int block, int media_size) {
  VolumeCheck c;
  const int bpr = record / block;
  int number = 0;
  for (const std::string &v : g_tape.volumes) {
    if (v.empty()) continue;
    ++number;
    std::string head = test::model_volume_header(6, number, media_size, record, block);
    std::string got = v.substr(0, static_cast<size_t>(block));
    test::mask_volume_time(head, 0);
    test::mask_volume_time(got, 0);
    EXPECT_EQ(head, got) << "volume " << number;
    size_t whole = (v.size() - static_cast<size_t>(block)) / static_cast<size_t>(record) *
                   static_cast<size_t>(record);
    c.payload += v.substr(static_cast<size_t>(block), whole);
    int64_t blocks = 1 + static_cast<int64_t>(whole / static_cast<size_t>(record)) * bpr;
    if (media_size > 0) {
      EXPECT_LE(blocks, media_size);
    }
    c.blocks += blocks;
  }
  return c;
}

TEST(VolumeLayer, DeviceAndFileTransfersWriteTheSameVolumes) {
  struct Config {
    int record, block, media_size;
    size_t capacity;
  } configs[] = {
      {512, 512, 0, SIZE_MAX},       {5120, 512, 0, SIZE_MAX},      {1024, 1024, 0, SIZE_MAX},
      {5120, 1024, 0, SIZE_MAX},     {512, 512, 100, SIZE_MAX},     {5120, 512, 100, SIZE_MAX},
      {5120, 1024, 17, SIZE_MAX},    {512, 512, 0, 512 * 40 + 100}, {5120, 512, 0, 512 + 5120 * 3},
      {1024, 1024, 0, 1024 * 7 + 1}, {512, 512, 30, 512 * 20 + 7},
  };
  std::mt19937 rng(11);
  for (const Config &cfg : configs) {
    std::string stream = random_bytes(rng, rng() % 300000 + 1);
    std::string padded = test::model_records(stream, static_cast<size_t>(cfg.record));
    std::vector<std::string> seen[2];
    for (int device = 0; device < 2; ++device) {
      SCOPED_TRACE("record " + std::to_string(cfg.record) + " block " + std::to_string(cfg.block) +
                   " size " + std::to_string(cfg.media_size) + " device " + std::to_string(device));
      start(true, cfg.record, cfg.block, cfg.media_size, device != 0, false);
      g_tape.capacity = cfg.capacity;
      write_volume_header();
      std::mt19937 pieces(5);
      write_stream(stream, pieces);
      finish_archive_output();
      VolumeCheck c = check_output_volumes(cfg.record, cfg.block, cfg.media_size);
      EXPECT_EQ(padded.size(), c.payload.size());
      EXPECT_TRUE(padded == c.payload);
      EXPECT_EQ(c.blocks, total_blocks());
      bool big = false;
      for (size_t w : g_tape.writes) {
        if (device) {
          EXPECT_TRUE(w == static_cast<size_t>(cfg.record) || w == static_cast<size_t>(cfg.block))
              << w;
        }
        big = big || w > static_cast<size_t>(cfg.record);
      }
      if (!device && cfg.media_size == 0 && padded.size() > kGatherBytes) {
        EXPECT_TRUE(big);
      }
      for (auto &v : g_tape.volumes) test::mask_volume_time(v, 0);
      seen[device] = g_tape.volumes;
    }
    // Compared without printing megabytes of binary on a failure.
    ASSERT_EQ(seen[0].size(), seen[1].size()) << [&] {
      std::string sizes;
      for (int d = 0; d < 2; ++d) {
        for (auto &v : seen[d]) sizes += std::to_string(v.size()) + " ";
        sizes += "| ";
      }
      return sizes;
    }();
    for (size_t i = 0; i < seen[0].size(); ++i) {
      EXPECT_EQ(seen[0][i].size(), seen[1][i].size()) << "volume " << i;
      EXPECT_TRUE(seen[0][i] == seen[1][i]) << "volume " << i;
    }
  }
}

TEST(VolumeLayer, HeaderBytesAheadOfEveryVolume) {
  test::TempDir dir(true);
  const std::string label(700, 'L');  // more than one media block
  test::write_file("label", label);
  start(true, 512, 512, 10, false, false);
  transfer().header_fd = open("label", O_RDONLY);
  write_volume_header();
  std::string stream(512 * 20, 'w');
  write_archive_bytes(stream.data(), stream.size());
  finish_archive_output();
  ASSERT_EQ(3u, g_tape.volumes.size() - (g_tape.volumes.back().empty() ? 1 : 0));
  for (size_t v = 0; v < 2; ++v) {
    EXPECT_EQ(label, g_tape.volumes[v].substr(0, label.size())) << v;
    EXPECT_EQ("KEL!06", g_tape.volumes[v].substr(label.size(), 6)) << v;
    EXPECT_EQ(label.size() + 512 * 10, g_tape.volumes[v].size()) << v;
  }
  EXPECT_EQ(10 + 10 + 3, total_blocks());  // the label is not counted
  close(transfer().header_fd);

  // Reading skips as many bytes ahead of every volume header.
  std::vector<std::string> written(g_tape.volumes.begin(), g_tape.volumes.begin() + 3);
  start(false, 512, 512, 0, false, false);
  g_tape.volumes = written;
  transfer().header_skip = static_cast<int32_t>(label.size());
  read_volume_header(false);
  std::mt19937 pieces(4);
  std::string got;
  while (got.size() < stream.size()) {
    size_t n;
    const uint8_t *p = archive_read_span(stream.size() - got.size(), &n);
    got.append(reinterpret_cast<const char *>(p), n);
  }
  EXPECT_TRUE(got == stream);
  EXPECT_EQ(3, transfer().volume);
}

TEST(VolumeLayer, AnExactlyFullRecordWaitsForMoreBytes) {
  start(true, 512, 512, 0, true, false);
  write_volume_header();
  std::string full(512, 'a');
  write_archive_bytes(full.data(), full.size());
  EXPECT_EQ(1u, g_tape.writes.size());  // only the volume header so far
  write_archive_bytes("b", 1);
  EXPECT_EQ(2u, g_tape.writes.size());
  finish_archive_output();
  ASSERT_EQ(3u, g_tape.writes.size());
  std::string last = g_tape.volumes[0].substr(1024);
  EXPECT_EQ(std::string("b") + std::string(511, '\0'), last);
  EXPECT_EQ(3, total_blocks());
}

// Volumes of a stream: header, records, and (when `tail` is set) a few
// bytes of a record cut short, as at the physical end of a volume.
std::vector<std::string> make_volumes(const std::string &padded, int record, int block,
                                      int media_size, size_t records_each, bool tail) {
  std::vector<std::string> vols;
  size_t at = 0;
  int number = 0;
  const int bpr = record / block;
  if (media_size > 0) records_each = static_cast<size_t>((media_size - 1) / bpr);
  while (at < padded.size() || vols.empty()) {
    ++number;
    std::string v = test::model_volume_header(6, number, media_size, record, block);
    size_t n = std::min(padded.size() - at, records_each * static_cast<size_t>(record));
    v += padded.substr(at, n);
    at += n;
    if (tail && at < padded.size()) v += padded.substr(at, 77);  // discarded
    vols.push_back(v);
  }
  return vols;
}

std::string read_stream(size_t size, std::mt19937 &rng) {
  std::string got;
  while (got.size() < size) {
    size_t n = std::min<size_t>(size - got.size(), rng() % 4000 + 1);
    if (rng() % 2) {
      std::vector<char> buf(n + 1);
      read_archive_bytes(buf.data(), n);
      EXPECT_EQ(0, buf[n]);
      got.append(buf.data(), n);
    } else {
      size_t k;
      const uint8_t *p = archive_read_span(n, &k);
      EXPECT_GE(k, 1u);
      EXPECT_LE(k, n);
      got.append(reinterpret_cast<const char *>(p), k);
    }
  }
  return got;
}

TEST(VolumeLayer, ReadsVolumesBackWhateverTheTransfers) {
  struct Config {
    int record, block, media_size;
    size_t records_each;
    bool tail, swapped;
  } configs[] = {
      {512, 512, 0, 1000000, false, false}, {512, 512, 100, 0, false, false},
      {5120, 512, 100, 0, false, true},     {512, 512, 0, 37, true, false},
      {5120, 1024, 0, 5, true, true},       {1024, 1024, 0, 300, false, false},
  };
  std::mt19937 rng(23);
  for (const Config &cfg : configs) {
    std::string stream = random_bytes(rng, rng() % 200000 + 1000);
    std::string padded = test::model_records(stream, static_cast<size_t>(cfg.record));
    std::vector<std::string> vols =
        make_volumes(padded, cfg.record, cfg.block, cfg.media_size, cfg.records_each, cfg.tail);
    int64_t expected_blocks = 0;
    for (const auto &v : vols) {
      expected_blocks += 1 + static_cast<int64_t>((v.size() - static_cast<size_t>(cfg.block)) /
                                                  static_cast<size_t>(cfg.record)) *
                                 (cfg.record / cfg.block);
    }
    if (cfg.swapped) {
      for (auto &v : vols) v = test::swap_pairs_of(v);
    }
    for (int device = 0; device < 2; ++device) {
      SCOPED_TRACE("record " + std::to_string(cfg.record) + " device " + std::to_string(device));
      start(false, 512, cfg.block, 0, device != 0, false);
      g_tape.volumes = vols;
      read_volume_header(false);
      EXPECT_EQ(cfg.swapped, archive_swapped());
      std::mt19937 pieces(9);
      std::string got = read_stream(padded.size(), pieces);
      EXPECT_EQ(padded.size(), got.size());
      EXPECT_TRUE(padded == got);
      EXPECT_EQ(expected_blocks, total_blocks());
      EXPECT_EQ(static_cast<int>(vols.size()), transfer().volume);
      if (device) {
        for (size_t r : g_tape.reads) {
          EXPECT_TRUE(r == static_cast<size_t>(cfg.record) || r == static_cast<size_t>(cfg.block));
        }
      }
    }
  }
}

TEST(VolumeLayer, StandardInputCompletesRecordsFromSmallReads) {
  std::mt19937 rng(31);
  std::string stream = random_bytes(rng, 50000);
  std::string padded = test::model_records(stream, 5120);
  start(false, 512, 512, 0, false, true);
  g_tape.volumes = {test::model_volume_header(6, 1, 0, 5120, 512) + padded};
  g_tape.chunk = 333;
  read_volume_header(false);
  std::mt19937 pieces(1);
  EXPECT_EQ(padded, read_stream(padded.size(), pieces));
  EXPECT_EQ(1 + static_cast<int64_t>(padded.size() / 512), total_blocks());
}

TEST(VolumeLayer, PushedBackBytesComeFirstInTheirOrder) {
  start(false, 512, 512, 0, false, false);
  g_tape.volumes = {test::model_volume_header(6, 1, 0, 512, 512) + "abcdefgh" +
                    std::string(504, '-')};
  read_volume_header(false);
  char buf[16];
  read_archive_bytes(buf, 4);
  EXPECT_STREQ("abcd", buf);
  for (int k = 3; k >= 0; --k) push_back(static_cast<uint8_t>("WXYZ"[k]));
  read_archive_bytes(buf, 6);
  EXPECT_STREQ("WXYZef", buf);
  // The push-back stack holds a whole member header with the longest name.
  for (size_t k = 0; k < 48 + 999 + 8; ++k) push_back('q');
  skip_archive_bytes(48 + 999 + 8);
  read_archive_bytes(buf, 2);
  EXPECT_STREQ("gh", buf);
}

TEST(VolumeLayer, ShortWritesAnnounceTheVolumeChange) {
  // Message 895 from a message file that reorders its arguments and names
  // one more than kel passes: the extra one stays empty.
  test::TempDir dir;
  test::write_file(dir / "kel.msg",
                   test::MsgFileBuilder().add(895, {"%2 blocks on volume %1%3\\n"}).bytes());
  setenv("A_MESSAGE", (dir / "kel.msg").c_str(), 1);
  char error_text[300];
  ASSERT_NE(0, Amsg_init(error_text)) << error_text;
  start(true, 512, 512, 0, true, false);
  g_tape.capacity = 512 * 3 + 10;
  transfer().bell = 1;
  test::StderrCapture err;
  write_volume_header();
  std::string stream(512 * 3, 's');
  write_archive_bytes(stream.data(), stream.size());
  finish_archive_output();
  EXPECT_EQ("3 blocks on volume 1\nPlease mount volume 2, press return when ready: \a\a",
            err.text());
  EXPECT_EQ(512u * 3 + 10, g_tape.volumes[0].size());
  EXPECT_EQ(512u * 2, g_tape.volumes[1].size());
  EXPECT_EQ(5, total_blocks());
  Amsg_shutdown();
}

}  // namespace
}  // namespace kel::archive
