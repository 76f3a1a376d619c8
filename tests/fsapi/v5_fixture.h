// Shared set-up of the tests of the indexed family's entry points: the
// file system's configuration defined, a fresh working folder, and the
// trace lines of one call.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/test_util.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "kelfs/kelfs.h"
#include "messages/diag.h"

namespace kel::test {

inline std::string pointer(const void *p) {
  char buf[32];
  snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// The two lines an entry point traces: its call and its result (`entered`
// is the name it enters under when that differs).
inline std::string call_lines(const std::string &name, const std::string &arguments,
                              const std::string &result, const std::string &entered = "") {
  return "V: " + (entered.empty() ? name : entered) + "(" + arguments + ")\nV: " + name +
         "() returning " + result + "\n";
}

class V5Test : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_fs_settings();
    v5_init_cfg();
    cfg_reset_all(0, 1);
  }
  TempDir dir_{true};
};

}  // namespace kel::test
