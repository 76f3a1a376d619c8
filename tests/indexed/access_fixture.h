// Shared set-up of the tests of the record operations: files made through
// the entry points, records built from key values, and the whole-file
// check as an assertion.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "indexed/check/file_check.h"
#include "indexed/dorvex_fixture.h"

namespace kel::test {

class AccessTest : public DorvexTest {
 protected:
  // Makes `name` (version `version`) and opens it with `mode`.
  DorvexFile *make_open(const char *name, int version, const char *record, const char *keys,
                        const char *physical = nullptr, int32_t mode = 2,
                        const uint8_t *table = nullptr) {
    set_version(version);
    if (v5_make(name, nullptr, physical, record, keys, reinterpret_cast<const char *>(table)) != 1)
      return nullptr;
    return v5_open(name, mode, "0,0,0");
  }

  // A record of `length` bytes: `fill` everywhere, then each (offset,
  // text) part.
  static std::string record(size_t length, std::vector<std::pair<size_t, std::string>> parts,
                            char fill = '.') {
    std::string r(length, fill);
    for (auto &[offset, text] : parts) r.replace(offset, text.size(), text);
    return r;
  }

  static int write(DorvexFile *f, const std::string &r) {
    return v5_write(f, r.data(), static_cast<uint32_t>(r.size()));
  }

  // v5_next / v5_previous / v5_read into a string ("" on failure).
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

  static std::string check_text(DorvexFile *f) {
    indexed::CheckReport report;
    indexed::dorvex_check(f, &report);
    return report.text.c_str();
  }
  static ::testing::AssertionResult sound(DorvexFile *f) {
    indexed::CheckReport report;
    if (indexed::dorvex_check(f, &report)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << report.text;
  }

  char buffer_[70000] = {};

 private:
  std::string got(uint32_t n) { return n == 0 ? std::string() : std::string(buffer_, n); }
};

}  // namespace kel::test
