// PLACEHOLDER until the configuration library lands: the environment only.
#include "config/config.h"

#include <cstdlib>

extern "C" const char *Agetenv(const char *name) {
  const char *v = getenv(name);
  return (v && *v) ? v : nullptr;
}
extern "C" int cfg_set_long(const char *, int32_t, int32_t) { return 1; }
extern "C" int cfg_set_short(const char *, int32_t, int16_t) { return 1; }
extern "C" int32_t cfg_get_long(const char *, int32_t) { return 0; }
extern "C" int16_t cfg_get_short(const char *, int32_t) { return 0; }
extern "C" int cfg_get_bool(const char *, int32_t) { return 0; }
extern "C" const char *cfg_translate_name(const char *name, int32_t *kind) {
  if (kind) *kind = 2;
  return name;
}
