// Numbers with keywords: the text of a numeric variable is either a list
// of keywords OR'd together ("ON", "READ,WRITE") or a decimal number with
// an optional unit letter ("64K", "-2k", "12-").
#include <cctype>
#include <cstring>
#include <string>

#include "config_internal.h"
#include "messages/diag.h"

using kel::cfg::CfgString;

namespace {

constexpr size_t kTokenMax = 30;

bool is_separator(char c) {
  return c == ',' || c == '=' || c == ':';
}
bool is_blank(char c) {
  return isspace(static_cast<unsigned char>(c)) != 0;
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The next token: the longest run of characters that are neither
// separators nor white space (at most 30 of them kept, upper-cased), or a
// separator on its own. False at the end of the text.
bool next_token(const char *&p, CfgString *token) {
  while (is_blank(*p)) ++p;
  if (*p == '\0') return false;
  token->clear();
  if (is_separator(*p)) {
    *token = *p++;
    return true;
  }
  for (; *p && !is_blank(*p) && !is_separator(*p); ++p) {
    if (token->size() < kTokenMax)
      *token += static_cast<char>(toupper(static_cast<unsigned char>(*p)));
  }
  return true;
}

// A token abbreviates a keyword when it is a prefix of it ("T" for "TRUE").
bool abbreviates(const CfgString &token, const char *keyword) {
  size_t n = strlen(keyword);
  if (token.size() > n) return false;
  for (size_t i = 0; i < token.size(); ++i) {
    if (token[i] != toupper(static_cast<unsigned char>(keyword[i]))) return false;
  }
  return true;
}

bool signed_digits(const CfgString &token) {
  size_t i = (token[0] == '+' || token[0] == '-') ? 1 : 0;
  if (i >= token.size()) return false;
  for (; i < token.size(); ++i) {
    if (!is_digit(token[i])) return false;
  }
  return true;
}

void warn_unmatched(const CfgString &token, const ConfigKeyword *keywords, int32_t count) {
  kel::cfg::say(1392, 0,
                "Warning: %s does not match any of the following keywords:", {token.c_str()});
  for (int32_t i = 0; i < count; ++i) {
    if (keywords[i].text) kel::cfg::say(1392, 1, " '%s'", {keywords[i].text});
  }
  eprintf("\n");
}

// An optional sign; digits; without a leading sign a '-' right after the
// digits negates; white space; a unit letter k, m or g (either case). The
// arithmetic is that of 32-bit words.
int32_t parse_decimal(const char *p) {
  while (is_blank(*p)) ++p;
  bool negative = false, signed_first = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    signed_first = true;
    ++p;
  }
  uint32_t value = 0;
  for (; is_digit(*p); ++p) value = value * 10u + static_cast<uint32_t>(*p - '0');
  if (!signed_first && *p == '-') {
    negative = true;
    ++p;
  }
  while (is_blank(*p)) ++p;
  switch (*p) {
    case 'k':
    case 'K':
      value *= 1024u;
      break;
    case 'm':
    case 'M':
      value *= 1048576u;
      break;
    case 'g':
    case 'G':
      value *= 1073741824u;
      break;
    default:
      break;
  }
  return static_cast<int32_t>(negative ? 0u - value : value);
}

}  // namespace

namespace kel {

// Every token but "," is tried against the keywords in table order; the
// first keyword it abbreviates ORs its value into the result. A keyword
// without text catches any token that matches no other keyword. An
// unmatched token that is not a number is reported when verbose (only when
// the variable has keywords at all: a plain number variable has nothing to
// list). Without any match the whole text is a decimal number.
int32_t cfg_parse_number(const char *text, const ConfigKeyword *keywords, int32_t count,
                         bool verbose) {
  if (text == nullptr) return 0;
  int32_t result = 0;
  bool matched = false;
  CfgString token;
  for (const char *p = text; next_token(p, &token);) {
    if (token == ",") continue;
    const ConfigKeyword *hit = nullptr;
    const ConfigKeyword *catch_all = nullptr;
    for (int32_t i = 0; i < count && hit == nullptr; ++i) {
      if (keywords[i].text == nullptr) {
        if (catch_all == nullptr) catch_all = &keywords[i];
      } else if (abbreviates(token, keywords[i].text)) {
        hit = &keywords[i];
      }
    }
    if (hit == nullptr) hit = catch_all;
    if (hit != nullptr) {
      result |= hit->value;
      matched = true;
    } else if (verbose && count > 0 && !signed_digits(token)) {
      warn_unmatched(token, keywords, count);
    }
  }
  return matched ? result : parse_decimal(text);
}

}  // namespace kel
