// The record and volume layer against a simulated medium: volumes that end
// after a given number of bytes (a write comes back short there), media-size
// limits, header bytes ahead of every volume, device and file transfers,
// swapped media, standard input delivered in small pieces, and the
// operator's answers from a stream.
#include "archive/volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/run_state.h"
#include "archive/volume_header.h"

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

// A fresh run in `run` on the tape; the volume layer set up.
VolumeState &start(std::optional<RunState> &run, bool output, int record, int block, int media_size,
                   bool device, bool standard) {
  run.emplace();
  g_tape = Tape{};
  g_tape.output = output;
  TransferState &t = run->transfer;
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
  run->volume.hooks = {tape_read, tape_write, tape_close, device ? 1 : 0};
  // Every prompt is answered with an empty line.
  static char answers[4096];
  memset(answers, '\n', sizeof answers - 1);
  operator_use_stream(run->terminal, fmemopen(answers, sizeof answers - 1, "r"));
  EXPECT_EQ(Status::kOk, volume_begin(run->volume));
  return run->volume;
}

// The stream in random pieces through both ways in: bytes copied in, or
// space in the buffer filled and committed.
void write_stream(VolumeState &v, const std::string &stream, std::mt19937 &rng) {
  for (size_t at = 0, n; at < stream.size(); at += n) {
    n = std::min<size_t>(stream.size() - at, rng() % 3000 + 1);
    uint8_t *space;
    if (rng() % 2) {
      ASSERT_EQ(Status::kOk, write_archive_bytes(v, stream.data() + at, n));
    } else {
      ASSERT_EQ(Status::kOk, archive_write_space(v, n, &space, &n));
      ASSERT_GE(n, 1u);
      memcpy(space, stream.data() + at, n);
      ASSERT_EQ(Status::kOk, archive_write_commit(v, n));
    }
  }
}

// `size` bytes in random pieces, copied out or read in place.
std::string read_stream(VolumeState &v, size_t size, std::mt19937 &rng) {
  std::string got;
  while (got.size() < size) {
    size_t n = std::min<size_t>(size - got.size(), rng() % 4000 + 1);
    std::string buf(n + 1, '\0');  // the last byte must stay untouched
    const uint8_t *p = reinterpret_cast<const uint8_t *>(buf.data());
    if (rng() % 2 ? read_archive_bytes(v, buf.data(), n) != Status::kOk
                  : archive_read_span(v, n, &p, &n) != Status::kOk)
      break;
    EXPECT_TRUE(n >= 1 && buf.back() == '\0');
    got.append(reinterpret_cast<const char *>(p), n);
  }
  return got;
}

// Every transfer with a device is one record or, for the volume header, one
// block; the header bytes ahead of a volume apart.
void expect_device_transfers(const std::vector<size_t> &sizes, int record, int block) {
  for (size_t n : sizes)
    EXPECT_TRUE(n == static_cast<size_t>(record) || n == static_cast<size_t>(block)) << n;
}

TEST(VolumeLayer, VolumesMatchTheModelAndReadBackWhateverTheTransfers) {
  struct Config {
    int record, block, media_size;
    size_t capacity;  // of a volume: a write past it comes back short
    bool swapped = false;
    size_t label = 0;  // header bytes ahead of every volume
    size_t least = 0;  // bytes of the stream at least
  } configs[] = {{512, 512, 0, SIZE_MAX},
                 {5120, 512, 0, SIZE_MAX, true},
                 {1024, 1024, 0, SIZE_MAX},
                 {5120, 1024, 0, SIZE_MAX},
                 {512, 512, 100, SIZE_MAX},
                 {5120, 512, 100, SIZE_MAX, true},
                 {5120, 1024, 17, SIZE_MAX},
                 {512, 512, 0, 512 * 40 + 100},
                 {5120, 512, 0, 512 + 5120 * 3},
                 {1024, 1024, 0, 1024 * 7 + 1, true},
                 {512, 512, 30, 512 * 20 + 7},
                 {512, 512, 10, SIZE_MAX, false, 700},
                 {512, 512, 0, 1024, false, 0, 60000}};  // volumes 100 and on
  test::TempDir dir(true);
  std::mt19937 rng(11);
  std::optional<RunState> run;
  for (const Config &cfg : configs) {
    SCOPED_TRACE("config " + std::to_string(&cfg - configs));
    const std::string stream = test::random_data(std::max<size_t>(cfg.least, rng() % 300000 + 1),
                                                 static_cast<unsigned>(rng()));
    const std::string padded = test::model_records(stream, static_cast<size_t>(cfg.record));
    const std::string label(cfg.label, 'L');
    const size_t block = static_cast<size_t>(cfg.block), record = static_cast<size_t>(cfg.record);
    test::write_file("label", label);
    std::vector<std::string> volumes;  // as written to a device, both ways matching the model
    int64_t blocks = 0;
    for (int device = 0; device < 2; ++device) {
      SCOPED_TRACE(device ? "written to a device" : "written to a file");
      const time_t began = time(nullptr);
      VolumeState &v = start(run, true, cfg.record, cfg.block, cfg.media_size, device != 0, false);
      g_tape.capacity = cfg.capacity;
      if (cfg.label) v.transfer.header_fd = open("label", O_RDONLY);
      ASSERT_EQ(Status::kOk, write_volume_header(v));
      std::mt19937 pieces(5);
      write_stream(v, stream, pieces);
      ASSERT_EQ(Status::kOk, finish_archive_output(v));
      if (cfg.label) close(v.transfer.header_fd);
      // Each volume: the label, the model's volume header (its creation
      // time the ctime text of a moment of the run), whole records (within
      // the media size); together the padded stream.
      std::set<std::string> moments;
      for (time_t t = began, end = time(nullptr); t <= end; ++t) {
        char text[32];
        moments.insert(ctime_r(&t, text));
      }
      if (g_tape.volumes.back().empty()) g_tape.volumes.pop_back();
      std::string payload;
      blocks = 0;
      for (size_t i = 0; i < g_tape.volumes.size(); ++i) {
        const std::string &vol = g_tape.volumes[i];
        EXPECT_EQ(label + test::masked(test::model_volume_header(
                              6, static_cast<int>(i) + 1, cfg.media_size, cfg.record, cfg.block)),
                  test::masked(vol.substr(0, cfg.label + block), cfg.label))
            << "volume " << i + 1;
        EXPECT_EQ(1u, moments.count(vol.substr(cfg.label + 22, 25))) << "volume " << i + 1;
        size_t whole = (vol.size() - cfg.label - block) / record * record;
        payload += vol.substr(cfg.label + block, whole);
        blocks += 1 + static_cast<int64_t>(whole / block);
        EXPECT_TRUE(cfg.media_size == 0 ||
                    1 + whole / block <= static_cast<size_t>(cfg.media_size));
      }
      EXPECT_TRUE(padded == payload);
      EXPECT_EQ(blocks, total_blocks(v));  // the label is not counted
      if (device && !cfg.label) expect_device_transfers(g_tape.writes, cfg.record, cfg.block);
      // A file takes transfers of many records.
      EXPECT_TRUE(device || cfg.media_size != 0 || padded.size() <= kGatherBytes ||
                  *std::max_element(g_tape.writes.begin(), g_tape.writes.end()) > record);
      volumes = g_tape.volumes;
    }
    if (cfg.swapped)
      for (auto &v : volumes) v = test::swap_pairs_of(v);
    // From a file, from a device, and a single volume from standard input
    // in small pieces.
    for (int way = 0; way < (volumes.size() == 1 ? 3 : 2); ++way) {
      SCOPED_TRACE(way == 0 ? "read from a file" : way == 1 ? "read from a device" : "stdin");
      VolumeState &v = start(run, false, 512, cfg.block, 0, way == 1, way == 2);
      g_tape.volumes = volumes;
      if (way == 2) g_tape.chunk = 333;
      v.transfer.header_skip = static_cast<int32_t>(cfg.label);
      ASSERT_EQ(Status::kOk, read_volume_header(v, false));
      EXPECT_EQ(cfg.swapped, v.swapped);
      std::mt19937 pieces(9);
      EXPECT_TRUE(padded == read_stream(v, padded.size(), pieces));
      EXPECT_EQ(blocks, total_blocks(v));
      EXPECT_EQ(static_cast<int>(volumes.size()), v.transfer.volume);
      if (way == 1 && !cfg.label) expect_device_transfers(g_tape.reads, cfg.record, cfg.block);
    }
  }
}

}  // namespace
}  // namespace kel::archive
