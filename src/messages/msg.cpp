// PLACEHOLDER until the message library lands: default texts only.
#include "messages/msg.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "messages/diag.h"

extern "C" int Amsg_init(char *error_text) {
  if (error_text) error_text[0] = '\0';
  return 1;
}

extern "C" const char *Amsg_get(int32_t, int32_t, const char *default_text) {
  return default_text;
}

extern "C" void Amsg_format(char *buffer, const char *format, ...) {
  snprintf(buffer, kel::kMsgBufferSize, "%s", format);
}

extern "C" void Amsg_print(void *, const char *format, ...) { eprintf("%s", format); }
extern "C" void Amsg_trace(const char *format, ...) { eprintf("%s", format); }
extern "C" void Amsg_shutdown(void) {}

namespace kel {
const char *msg_printf_text(int32_t, const char *default_text) { return default_text; }
}  // namespace kel
