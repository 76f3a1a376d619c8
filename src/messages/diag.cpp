// The diagnostic writer and the double-byte text mode.
#include "messages/diag.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "config/fs_config.h"
#include "osfile/layer.h"
#include "support/alloc.h"

namespace {

uint16_t g_kanji_mode = kel::kKanjiUndecided;

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

extern "C" void Aset_kanji_mode(uint16_t mode) {
  if (g_kanji_mode != kel::kKanjiUndecided) return;
  if (mode == kel::kKanjiUndecided) {
    const char *lang = getenv("LANG");
    mode = (lang && (lang[0] == 'j' || lang[0] == 'J')) ? 1 : 0;
  }
  g_kanji_mode = mode;
}

namespace kel {

bool kanji_mode() {
  return g_kanji_mode == 1;
}

// EUC: a lead byte 0xA1-0xFE, or the single-shift bytes 0x8E and 0x8F,
// followed by a byte 0xA1-0xFE forms one character.
bool kanji_pair(const unsigned char *p) {
  unsigned char lead = p[0], trail = p[1];
  bool lead_ok = (lead >= 0xA1 && lead <= 0xFE) || lead == 0x8E || lead == 0x8F;
  return lead_ok && trail >= 0xA1 && trail <= 0xFE;
}

void reset_kanji_mode() {
  g_kanji_mode = kKanjiUndecided;
}

bool trace_on(uint32_t bit) {
  return (fs_settings().trace & bit) != 0;
}

}  // namespace kel
