// The indexed engine over arbitrary file bytes: header, key descriptions,
// nodes and records reached through open, information, walks, reads,
// writes, deletes and the structural check.
//
// Input: one option byte, a 4-byte big-endian length n, n bytes of the
// data file "f", and the rest as its index segment "f.vix" (none when
// empty). Option bits: 0-1 V_LOCK_METHOD (3 counts as 0), 2 V_FORCE_OPEN,
// 3 the input-output open exclusive. The file is opened for input shared,
// then for input exclusive (the paths only opens that keep writers out
// take: nodes and the next leaf decoded from the index's mapping, the
// walk's entries of a whole leaf), then for input-output; a damaged file
// must end every operation in a result or a clean error. A walk that returns
// more records than the input has bytes has gone round in circles.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/fs_config.h"
#include "fuzz/fuzz.h"
#include "kelfs/kelfs.h"
#include "support/be.h"

namespace {

constexpr size_t kInfoBuffer = 1 << 16;
constexpr int kMaxKeys = 120;
constexpr size_t kMadeBytes = 4096;  // more than any key count the header can give

struct Run {
  DorvexFile *file = nullptr;
  size_t bound = 0;  // most records a walk may return
  std::vector<char> record;
};

// Every information code; the record buffer is sized by the record
// parameters, so that a record longer than the file says is caught.
int info_all(Run &r) {
  static std::vector<char> text(kInfoBuffer);
  size_t longest = 1;
  for (int32_t code = -12; code < 0; ++code) {
    if (v5_info(r.file, code, text.data()) && code == -1) {
      size_t n = strtoul(text.data(), nullptr, 10);
      if (n > longest) longest = n;
    }
  }
  int keys = 0;
  while (keys < kMaxKeys && v5_info(r.file, keys, text.data())) ++keys;
  r.record.assign(longest, '\0');
  return keys;
}

// Steps until the walk ends; more records than the input has bytes is a
// walk gone round in circles.
void walk(Run &r, uint32_t (*step)(DorvexFile *, char *), const char *name, int key) {
  for (size_t n = 0; step(r.file, r.record.data()) != 0;)
    if (++n > r.bound) {
      fprintf(stderr, "fuzz: endless %s walk of key %d\n", name, key);
      abort();
    }
}

// Every key forward from the lowest and backward from the highest value,
// then the records in their physical order.
void walks(Run &r, int keys) {
  for (int key = 0; key < keys; ++key) {
    for (bool forward : {true, false}) {
      std::fill(r.record.begin(), r.record.end(), forward ? '\0' : '\xff');
      if (v5_start(r.file, r.record.data(), key, 0, forward ? 1 : 4) == 1)
        walk(r, forward ? v5_next : v5_previous, forward ? "forward" : "backward", key);
    }
  }
  if (v5_nkrstart(r.file) == 1) walk(r, v5_nkrnext, "physical", 0);
}

// A record made from the input's bytes: its first kMadeBytes bytes (a
// version 5 file may hold records of 64 MiB; the rest stays as it was).
void fill(Run &r, int i, const uint8_t *data, size_t size) {
  for (size_t j = 0; j < r.record.size() && j < kMadeBytes; ++j)
    r.record[j] = static_cast<char>(size ? data[(j * 7 + static_cast<size_t>(i)) % size] : i);
}

// Every start mode, with partial key lengths, and a step each way.
void positions(Run &r, int keys, const uint8_t *data, size_t size) {
  for (int mode = 0; mode < 5 && keys > 0; ++mode) {
    fill(r, mode, data, size);
    if (v5_start(r.file, r.record.data(), mode % keys, 3 * mode, mode) != 1) continue;
    v5_next(r.file, r.record.data());
    v5_previous(r.file, r.record.data());
  }
}

// Writes, reads and deletes of records made from the input's bytes.
void change(Run &r, int keys, const uint8_t *data, size_t size) {
  size_t length = std::min(r.record.size(), kMadeBytes);
  for (int i = 0; i < 6; ++i) {
    fill(r, i, data, size);
    if (i % 3 != 2) {
      v5_write(r.file, r.record.data(),
               static_cast<uint32_t>(length - static_cast<size_t>(i) % length));
    } else {
      v5_read(r.file, r.record.data(), keys ? i % keys : 0);
      v5_delete(r.file, r.record.data());
    }
  }
}

void use(int32_t mode, const uint8_t *data, size_t size) {
  Run r;
  r.bound = size + 16;
  r.file = v5_open("f", mode, "0,0,0");
  if (r.file == nullptr) return;
  int keys = info_all(r);
  walks(r, keys);
  positions(r, keys, data, size);
  if ((mode & KEL_OPEN_ACCESS_MASK) == KEL_OPEN_IO) {
    change(r, keys, data, size);
    walks(r, keys);
  }
  v5_check(r.file, (mode & KEL_OPEN_ACCESS_MASK) == KEL_OPEN_IO ? V5_CHECK_CLEAR_DEAD_WRITERS : 0);
  v5_check_report();
  v5_close(r.file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 5) return 0;
  kel::fuzz::InScratch scratch(kel::fuzz::Guard::kEscape);
  kel::reset_fs_settings();
  v5_init_cfg();
  cfg_reset_all(0, 1);
  const uint8_t option = data[0];
  cfg_set_short("V_LOCK_METHOD", 0, static_cast<int16_t>((option & 3) % 3));
  cfg_set_short("V_FORCE_OPEN", 0, static_cast<int16_t>((option >> 2) & 1));
  size_t n = kel::load_be32(data + 1);
  data += 5;
  size -= 5;
  if (n > size) n = size;
  kel::fuzz::write_bytes("f", data, n);
  if (size > n) kel::fuzz::write_bytes("f.vix", data + n, size - n);
  use(KEL_OPEN_INPUT, data, size);
  use(KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, data, size);
  use(KEL_OPEN_IO | ((option >> 3) & 1 ? KEL_OPEN_EXCLUSIVE : 0), data, size);
  return 0;
}

// Seeds: small files of versions 3, 4 and 5 made by the engine, records of
// 20 to 60 bytes with a unique key at 0 and a duplicated one at 8, some
// deleted; version 5 compressed and with a translation table.
extern "C" int fuzz_make_seeds(const char *folder) {
  struct Shape {
    int version;
    const char *physical;
    bool table;
  } shapes[] = {{3, "1,1,1,0,0", false}, {4, "1,1,1,100,0", false}, {5, "1,1,1,100,1", true}};
  v5_init_cfg();
  const std::string out = std::filesystem::absolute(folder);  // written from the scratch folder
  for (const Shape &s : shapes) {
    kel::fuzz::InScratch in(kel::fuzz::Guard::kOff);
    cfg_set_short("V_VERSION", 0, static_cast<int16_t>(s.version));
    uint8_t table[256];
    for (int i = 0; i < 256; ++i)
      table[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    if (!v5_make("f", "seed", s.physical, "60,20,2", "1,0,8,0,1,1,4,8",
                 s.table ? reinterpret_cast<const char *>(table) : nullptr))
      return 0;
    DorvexFile *f = v5_open("f", KEL_OPEN_IO, "0,0,0");
    if (f == nullptr) return 0;
    char record[64];
    for (int i = 0; i < 40; ++i) {
      int length = snprintf(record, sizeof record, "%08d%.4s%.*s", i * 7919 % 1000,
                            &"ALPHBETAGAMMDELT"[4 * (i % 4)], 8 + i % 40,
                            "  1111    2222  xxxx  3333    4444    5555");
      v5_write(f, record, static_cast<uint32_t>(length < 20 ? 20 : length));
      if (i % 9 == 0) v5_delete(f, record);
    }
    v5_close(f);
    std::string d = kel::fuzz::read_bytes("f"), seed(5, '\0');
    kel::store_be32(seed.data() + 1, static_cast<uint32_t>(d.size()));
    seed += d + kel::fuzz::read_bytes("f.vix");
    kel::fuzz::write_bytes(out + "/v" + std::to_string(s.version), seed.data(), seed.size());
  }
  return 1;
}
