// Random damage to a valid archive: kel must end every run with status 0
// or 1 and a message, never crash or hang, and write nothing but the files
// that member names say. The archive's bytes and the damage never contain
// a path separator or a character that name conversion turns into one, so
// every name a damaged header can produce lies in the working folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <random>
#include <string>

#include "archive/archive_model.h"
#include "common/spawn.h"

namespace kel::test {
namespace {

const char kSafe[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 -+\n\t!#";

std::string safe_text(std::mt19937 &rng, size_t n) {
  std::string s(n, ' ');
  for (auto &c : s) c = kSafe[rng() % (sizeof kSafe - 1)];
  return s;
}

char damage_byte(std::mt19937 &rng) {
  switch (rng() % 4) {
    case 0:
      return static_cast<char>('0' + rng() % 10);
    case 1:
      return '\0';
    case 2:
      return static_cast<char>(0x80 + rng() % 0x80);
    default:
      return kSafe[rng() % (sizeof kSafe - 1)];
  }
}

std::string sample_archive(std::mt19937 &rng) {
  std::string members;
  for (int i = 0; i < 6; ++i) {
    size_t size = i == 3 ? 20000 : rng() % 2000;
    members += model_plain(0100644, 0, 0, 1000000000, "f" + std::to_string(i), safe_text(rng, size),
                           i % 2 ? 'B' : 'T');
  }
  ModelIndexed x;
  x.record_parameters = "0000000012,0000000004,002";
  x.physical_parameters = "01,0000000,0000001,000,0";
  x.comment = "fuzz";
  x.keys = {"01,0,004,0000000000", "01,1,002,0000000004"};
  for (int i = 0; i < 20; ++i) x.records.push_back(safe_text(rng, 4 + rng() % 9));
  members += model_member(0100644, 0, 0, 1000000000, "idx", 14 * 20, 'V') + model_v6_data(x);
  members += model_plain(0100644, 0, 0, 1000000000, "last", "end", 'T');
  std::string a = model_archive(members);
  mask_volume_time(a, 0);  // the time text holds colons
  return a;
}

std::string damage(const std::string &archive, std::mt19937 &rng) {
  std::string a = archive;
  int kind = static_cast<int>(rng() % 4);
  int count = 1 + static_cast<int>(rng() % 6);
  for (int i = 0; i < count && !a.empty(); ++i) {
    // Damage falls mostly on headers: the first bytes of members are near
    // the start, and every field counts there.
    size_t at = rng() % 3 ? rng() % std::min<size_t>(a.size(), 4096) : rng() % a.size();
    switch (kind) {
      case 0:
        a[at] = damage_byte(rng);
        break;
      case 1:
        a.erase(at, 1 + rng() % 64);
        break;
      case 2:
        a.insert(at, safe_text(rng, 1 + rng() % 64));
        break;
      default:
        a.resize(at);
        break;
    }
  }
  return a;
}

using KelFuzz = KelTest;

TEST_F(KelFuzz, DamagedArchivesNeverCrashOrHang) {
  std::mt19937 rng(20240607);
  const std::string archive = sample_archive(rng);
  int stopped = 0;
  for (int round = 0; round < 400; ++round) {
    std::string damaged = damage(archive, rng);
    ASSERT_EQ(std::string::npos, damaged.find_first_of("/\\:[]."));
    std::string work = "w" + std::to_string(round);
    mkdir((dir_ / work).c_str(), 0755);
    for (const char *option : {"-in", "-itv"}) {
      SpawnOptions o = options({option}, damaged, work);
      o.alarm_seconds = 30;
      RunResult r = spawn_kel(o);
      ASSERT_TRUE(r.status == 0 || r.status == 1)
          << "round " << round << " " << option << " status " << r.status << "\n"
          << r.err;
      if (r.status == 1) {
        ++stopped;
        EXPECT_FALSE(r.err.empty());
      }
    }
    // Every entry must be a plain file: no folder was asked for.
    for (const std::string &name : folder_entries(dir_ / work)) {
      struct stat st;
      ASSERT_EQ(0, lstat((dir_ / (work + "/" + name)).c_str(), &st));
      EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
    }
  }
  EXPECT_GT(stopped, 50);  // the damage did reach the checks
}

}  // namespace
}  // namespace kel::test
