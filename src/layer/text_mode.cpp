// The double-byte text mode.
#include "layer/text_mode.h"

#include <cstdlib>

namespace {

uint16_t g_kanji_mode = kel::kKanjiUndecided;

}  // namespace

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

}  // namespace kel
