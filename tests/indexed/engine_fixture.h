// The one set-up of the indexed engine's tests: the file system's
// configuration defined with every variable at its default, a fresh
// working folder, and at the end the engine's shutdown (its buffers, the
// cache and the file table), so that the next case starts as a new program
// would. Helpers reach the records through the entry points.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/fails.h"
#include "common/faults.h"
#include "common/shapes.h"
#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/check/file_check.h"
#include "indexed/engine.h"
#include "indexed/storage/dorvex.h"
#include "indexed/storage/header.h"
#include "indexed/storage/records.h"
#include "indexed/storage/storage.h"
#include "kelfs/kelfs.h"
#include "support/alloc.h"

namespace kel::test {

// A record of 1000 bytes for the file of small segments that tells its
// number (8 digits and '#', then a letter).
inline std::string segment_record(int i) {
  std::string r(1000, static_cast<char>('a' + i % 26));
  snprintf(&r[0], 10, "%08d#", i);
  return r;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
    indexed::set_interface_level(3);
  }
  void TearDown() override { indexed::shutdown(); }

  static int16_t error() { return *fs_error_code(); }
  static std::string codes() {
    return std::to_string(error()) + "/" + std::to_string(*fs_error_secondary());
  }

  // --- the entry points; a failed read gives ""
  static int write(DorvexFile *f, const std::string &r) {
    return v5_write(f, r.data(), static_cast<uint32_t>(r.size()));
  }
  std::string next(DorvexFile *f) { return got(v5_next(f, buffer_)); }
  std::string previous(DorvexFile *f) { return got(v5_previous(f, buffer_)); }
  std::string read(DorvexFile *f, const std::string &r, int key) {
    memcpy(buffer_, r.data(), r.size());
    return got(v5_read(f, buffer_, key));
  }
  int start(DorvexFile *f, const std::string &r, int key, int length, int mode) {
    memcpy(buffer_, r.data(), r.size());
    return v5_start(f, buffer_, key, length, mode);
  }
  // The records of key `key` from the start on ("" before the first one
  // when the start failed); at most `limit` of them, so that a walk that
  // goes round in circles ends.
  std::string walk(DorvexFile *f, int key, size_t limit = 100000) {
    std::string out;
    if (start(f, std::string(sizeof buffer_ / 2, '\0'), key, 0, 1) != 1) return out;
    for (std::string r; limit-- > 0 && !(r = next(f)).empty();) out += r + "|";
    return out;
  }
  // The physical scan's records.
  std::string scan(DorvexFile *f) {
    std::string out;
    if (v5_nkrstart(f) == 0)
      for (uint32_t n; (n = v5_nkrnext(f, buffer_)) != 0;) out += std::string(buffer_, n) + "|";
    return out;
  }
  static std::string info(DorvexFile *f, int code) {
    char buf[4096] = {};
    if (!dorvex_info(f, code, buf)) return "<error " + std::to_string(error()) + ">";
    return buf;
  }
  // The structural check as an assertion.
  static ::testing::AssertionResult sound(DorvexFile *f) {
    indexed::CheckReport report;
    if (indexed::dorvex_check(f, &report)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << report.text;
  }

  char buffer_[70000] = {};
  TempDir dir_{true};

 private:
  std::string got(uint32_t n) { return n == 0 ? std::string() : std::string(buffer_, n); }
};

// Long texts (walks, scans, file images) compared with a short report.
inline ::testing::AssertionResult same(const std::string &want, const std::string &got) {
  if (want == got) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
  return ::testing::AssertionFailure() << want.size() << " bytes wanted, " << got.size()
                                       << " got; the first difference at " << at;
}

}  // namespace kel::test
