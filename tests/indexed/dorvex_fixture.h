// Shared set-up of the tests of the Dorvex storage layer: the file
// system's configuration defined, a fresh working folder, and helpers to
// make files, read information texts and build expected bytes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/fails.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/engine.h"
#include "indexed/storage/dorvex.h"
#include "indexed/storage/header.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"
#include "kelfs/kelfs.h"
#include "support/alloc.h"

namespace kel::test {

class DorvexTest : public ::testing::Test {
 protected:
  // Every variable starts from its default, also when the cases of this
  // program run one after the other in one process.
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
    indexed::set_interface_level(3);
  }
  void TearDown() override { indexed::shutdown(); }

  static void set_version(int v) { cfg_set_short("V_VERSION", 0, static_cast<int16_t>(v)); }

  // make with a record text and key text; physical, comment and table
  // optional.
  static int make(const char *name, const char *record, const char *keys,
                  const char *physical = nullptr, const char *comment = nullptr,
                  const uint8_t *table = nullptr) {
    return dorvex_make(name, comment, physical, record, keys, table);
  }

  // Makes `name` (version `version`) and opens it for update with the
  // header held for an update, as the storage layer's callers do.
  DorvexFile *open_update(const char *name, int version, const char *record, const char *keys,
                          const char *physical = nullptr) {
    set_version(version);
    EXPECT_EQ(1, make(name, record, keys, physical)) << error();
    DorvexFile *f = dorvex_open(name, 2);
    EXPECT_NE(nullptr, f) << error();
    if (f) {
      EXPECT_TRUE(indexed::header_read(f, indexed::HeaderAccess::kUpdate));
    }
    return f;
  }
  // Writes the header, lets it go and closes the file.
  static void finish(DorvexFile *f) {
    EXPECT_TRUE(indexed::header_write(f));
    indexed::header_release(f);
    EXPECT_EQ(1, dorvex_close(f));
  }
  static uint64_t slot(DorvexFile *f, indexed::Slot s) { return indexed::hget(f, s); }

  // A record added through the storage layer (the header held for an
  // update); its address.
  static indexed::SegAddr add(DorvexFile *f, const std::string &r, uint32_t sequence = 0) {
    indexed::SegAddr at{-1, 0};
    EXPECT_TRUE(indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()),
                                    static_cast<uint32_t>(r.size()), sequence, &at))
        << error() << "/" << secondary();
    return at;
  }
  // The record at `at`, or "<code,secondary>".
  static std::string read(DorvexFile *f, indexed::SegAddr at, uint32_t *sequence = nullptr) {
    std::string out(f->max_record, '\0');
    int64_t n = indexed::read_record(f, at, reinterpret_cast<uint8_t *>(&out[0]), sequence);
    if (n < 0) return "<" + std::to_string(error()) + "," + std::to_string(secondary()) + ">";
    out.resize(static_cast<size_t>(n));
    return out;
  }

  static std::string info(DorvexFile *f, int code) {
    char buf[4096] = {};
    if (!dorvex_info(f, code, buf)) return "<error " + std::to_string(*fs_error_code()) + ">";
    return buf;
  }

  static int16_t error() { return *fs_error_code(); }
  static int32_t secondary() { return *fs_error_secondary(); }

  TempDir dir_{true};
};

// Big-endian fields put at literal offsets: expected bytes built without
// the header layout table.
inline void put(std::string &bytes, size_t offset, int width, uint64_t value) {
  if (bytes.size() < offset + static_cast<size_t>(width)) bytes.resize(offset + width, '\0');
  for (int i = width - 1; i >= 0; --i) {
    bytes[offset + static_cast<size_t>(i)] = static_cast<char>(value & 0xFF);
    value >>= 8;
  }
}

// Expected bytes as (offset, width, value) fields.
struct Field {
  size_t offset;
  int width;
  uint64_t value;
};
inline void put(std::string &bytes, std::initializer_list<Field> fields) {
  for (const Field &f : fields) put(bytes, f.offset, f.width, f.value);
}

inline uint64_t get(const std::string &bytes, size_t offset, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; ++i)
    v = (v << 8) | static_cast<uint8_t>(bytes.at(offset + static_cast<size_t>(i)));
  return v;
}

// Whether the bytes hold every field.
inline ::testing::AssertionResult has_fields(const std::string &bytes,
                                             std::initializer_list<Field> fields) {
  for (const Field &f : fields)
    if (get(bytes, f.offset, f.width) != f.value)
      return ::testing::AssertionFailure()
             << "at " << f.offset << ": " << get(bytes, f.offset, f.width) << ", not " << f.value;
  return ::testing::AssertionSuccess();
}

inline std::string hex(const std::string &bytes, size_t from, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
    uint8_t b = static_cast<uint8_t>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    out += ' ';
  }
  return out;
}

// Offsets where two strings of bytes differ (the first few), for messages.
inline std::string differences(const std::string &a, const std::string &b) {
  std::string out;
  int shown = 0;
  size_t n = std::max(a.size(), b.size());
  for (size_t i = 0; i < n && shown < 8; ++i) {
    int x = i < a.size() ? static_cast<uint8_t>(a[i]) : -1;
    int y = i < b.size() ? static_cast<uint8_t>(b[i]) : -1;
    if (x != y) {
      out += "@" + std::to_string(i) + ": " + std::to_string(x) + " vs " + std::to_string(y) + "; ";
      ++shown;
    }
  }
  if (a.size() != b.size())
    out += "sizes " + std::to_string(a.size()) + " vs " + std::to_string(b.size());
  return out;
}

}  // namespace kel::test
