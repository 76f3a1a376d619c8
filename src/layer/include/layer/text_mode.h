// The double-byte text mode, decided once from LANG: in it the path
// helpers and the message formatter step over EUC character pairs whole.
#pragma once

#include <cstdint>

extern "C" {
// Decides the double-byte mode once: kKanjiUndecided means "take it from
// LANG" (1 when LANG begins with 'j' or 'J', else 0). Ignored once decided.
void Aset_kanji_mode(uint16_t mode);
}

namespace kel {

constexpr uint16_t kKanjiUndecided = 0xFFFF;
// 1 in double-byte mode, 0 otherwise (an undecided mode counts as 0).
bool kanji_mode();
// In double-byte mode: does the byte pair at p form one character?
bool kanji_pair(const unsigned char *p);
// Tests only: forget the decision.
void reset_kanji_mode();

}  // namespace kel
