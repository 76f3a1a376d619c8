// The setting look-up hook: one process-wide function pointer.
#include "support/setting_lookup.h"

#include <cstdlib>

namespace {

kel::SettingLookup g_lookup = nullptr;

}  // namespace

namespace kel {

void install_setting_lookup(SettingLookup lookup) {
  g_lookup = lookup;
}

const char *setting_text(const char *name) {
  if (g_lookup != nullptr) return g_lookup(name);
  const char *text = getenv(name);
  return (text != nullptr && text[0] != '\0') ? text : nullptr;
}

}  // namespace kel
