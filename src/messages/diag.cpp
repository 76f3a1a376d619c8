// The diagnostic writer and the trace switch.
#include "messages/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "layer/layer.h"
#include "support/alloc.h"

namespace {

uint32_t g_trace_bits = 0;

// Texts shorter than this are formatted on the stack.
constexpr int kLocalBuffer = 300;

}  // namespace

// The length is measured by a first formatting pass, not estimated from the
// format: numbers can widen a text well past any estimate, and a text must
// never be cut. Short texts use a local buffer; longer ones a block
// ("eprintf buffer") that is freed at once; without memory the text is
// dropped.
extern "C" void eprintf(const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  int needed = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) {
    va_end(args);
    return;
  }
  char local[kLocalBuffer];
  char *text = local;
  if (needed >= kLocalBuffer) {
    text = static_cast<char *>(KEL_ALLOC_UNINIT(needed + 1, "eprintf buffer"));
    if (text == nullptr) {
      va_end(args);
      return;
    }
  }
  vsnprintf(text, static_cast<size_t>(needed) + 1, format, args);
  va_end(args);
  Astream_write(text, 1, static_cast<size_t>(needed), stderr);
  Astream_flush(stderr);
  if (text != local) KEL_FREE(text);
}

namespace kel {

bool trace_on(uint32_t bit) {
  return (g_trace_bits & bit) != 0;
}

uint32_t trace_bits() {
  return g_trace_bits;
}

void set_trace_bits(uint32_t bits) {
  g_trace_bits = bits;
}

}  // namespace kel
