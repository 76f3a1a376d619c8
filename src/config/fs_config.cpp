// PLACEHOLDER until the configuration library lands: working values only.
#include "config/fs_config.h"

namespace {
kel::FsSettings g_settings;
int16_t g_use_large_file_api = 0;
}  // namespace

extern "C" void v5_init_cfg(void) {}
extern "C" void v5_deinit_cfg(void) {}

namespace kel {
FsSettings &fs_settings() {
  return g_settings;
}
int16_t use_large_file_api() {
  return g_use_large_file_api;
}
void reset_fs_settings() {
  g_settings = FsSettings{};
}
}  // namespace kel
