// Formatting of message texts: the placeholders %1 ... %6 with string
// arguments, the printing forms, and the check that keeps printf-style
// callers safe from a message file whose text asks for other arguments.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "layer/layer.h"
#include "messages/diag.h"
#include "messages/msg.h"
#include "support/alloc.h"

namespace {

constexpr int kMaxSlots = 6;
// A text that does not fit keeps its first 1014 bytes, then "..." and the
// final newline of the full text when it had one.
constexpr size_t kCutLength = 1014;

// Number of string arguments a format takes: every '%' that is not part of
// "%%" takes the next one, at most six.
int count_placeholders(const char *format) {
  int n = 0;
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    ++n;
  }
  return n < kMaxSlots ? n : kMaxSlots;
}

// Walks the format once; `emit` receives each piece of the expansion.
// "%1".."%6" take the argument of that slot; a plain "%s" that is the k-th
// placeholder takes argument k; "%%" gives "%". Any other '%' sequence is
// copied as it stands (the arguments are strings, so no other conversion
// could be honoured). A slot without an argument expands to nothing.
template <typename Emit>
void expand(const char *format, const char *const *args, int count, Emit emit) {
  int placeholder = 0;
  auto arg = [&](int slot) -> const char * {
    if (slot < 1 || slot > count || args[slot - 1] == nullptr) return "";
    return args[slot - 1];
  };
  const char *p = format;
  while (*p) {
    const char *pct = strchr(p, '%');
    if (pct == nullptr) {
      emit(p, strlen(p));
      break;
    }
    emit(p, static_cast<size_t>(pct - p));
    p = pct + 1;
    if (*p == '%') {
      emit("%", 1);
      ++p;
      continue;
    }
    ++placeholder;
    if (*p >= '1' && *p <= '0' + kMaxSlots) {
      const char *a = arg(*p - '0');
      emit(a, strlen(a));
      ++p;
    } else if (*p == 's') {
      const char *a = arg(placeholder);
      emit(a, strlen(a));
      ++p;
    } else {
      emit("%", 1);
    }
  }
}

}  // namespace

namespace kel {

void msg_expand(char *buffer, const char *format, const char *const *args, int count) {
  if (format == nullptr) format = "";
  size_t length = 0;
  bool ends_newline = false;
  expand(format, args, count, [&](const char *s, size_t n) {
    length += n;
    if (n > 0) ends_newline = s[n - 1] == '\n';
  });
  auto write_into = [&](char *out) {
    size_t o = 0;
    expand(format, args, count, [&](const char *s, size_t n) {
      memcpy(out + o, s, n);
      o += n;
    });
    out[o] = '\0';
  };
  if (length < static_cast<size_t>(kMsgBufferSize)) {
    write_into(buffer);
    return;
  }
  auto *full = static_cast<char *>(KEL_ALLOC_UNINIT(length + 1, "Message temp string"));
  if (full == nullptr) {
    snprintf(buffer, kMsgBufferSize, "out of memory in mvsprintf()");
    return;
  }
  write_into(full);
  memcpy(buffer, full, kCutLength);
  strcpy(buffer + kCutLength, ends_newline ? "...\n" : "...");
  KEL_FREE(full);
}

}  // namespace kel

namespace {

void vformat(char *buffer, const char *format, va_list args) {
  int n = count_placeholders(format ? format : "");
  const char *slots[kMaxSlots] = {};
  for (int i = 0; i < n; ++i) slots[i] = va_arg(args, const char *);
  kel::msg_expand(buffer, format, slots, n);
}

// "#<number>" is what a fetch returns for a message it could not find
// without a default text; it is shown as "Message #<number>".
bool missing_form(const char *text, int *number) {
  if (text[0] != '#') return false;
  const char *p = text + 1;
  if (*p == '-') ++p;
  if (!isdigit(static_cast<unsigned char>(*p))) return false;
  *number = atoi(text + 1);
  return true;
}

}  // namespace

extern "C" void Amsg_format(char *buffer, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vformat(buffer, format, args);
  va_end(args);
}

namespace {

// Amsg_print and Amsg_trace: the expansion, or "Message #<number>" for a
// message that was not found, handed to `write`.
template <typename Write>
void print_expansion(const char *format, va_list args, Write write) {
  char buffer[kel::kMsgBufferSize];
  vformat(buffer, format, args);
  int number;
  if (missing_form(buffer, &number)) snprintf(buffer, sizeof buffer, "Message #%d\n", number);
  write(buffer);
}

}  // namespace

extern "C" void Amsg_print(void *stream, const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_expansion(format, args, [stream](const char *text) { Astream_puts(text, stream); });
  va_end(args);
}

extern "C" void Amsg_trace(const char *format, ...) {
  va_list args;
  va_start(args, format);
  print_expansion(format, args, [](const char *text) { eprintf("%s", text); });
  va_end(args);
}

// --- printf compatibility ---------------------------------------------------
//
// A message text handed to a printf-style writer must consume exactly the
// arguments the call site passes. The signature of a format lists, for every
// conversion in order, the '*' widths and precisions it takes, its length
// modifier and its argument class (int, unsigned, double, char, string,
// pointer). Flags, literal widths and precisions may differ freely, up to
// kMaxLiteralDigits digits: a file text such as "%999999999s" would make
// every report that uses it allocate and write a gigabyte of blanks. Formats
// with positional arguments ("%1$s"), "%n", "%m", an unknown conversion or
// a longer literal width or precision have no signature and are never
// accepted from the file.
namespace {

constexpr int kMaxLiteralDigits = 3;

// Steps over the digits of a literal width or precision; false when there
// are more than kMaxLiteralDigits of them.
bool skip_literal(const char *&p) {
  int digits = 0;
  while (isdigit(static_cast<unsigned char>(*p))) ++p, ++digits;
  return digits <= kMaxLiteralDigits;
}

// A signature, built in place: a text with more conversions than it holds
// has none (and so is not accepted from the file).
struct Signature {
  char text[1024];
  size_t used = 0;
  bool whole = true;
  Signature &operator+=(char c) {
    if (used + 1 < sizeof text)
      text[used++] = c;
    else
      whole = false;
    text[used] = '\0';
    return *this;
  }
  bool operator==(const Signature &o) const {
    return used == o.used && memcmp(text, o.text, used) == 0;
  }
};

bool printf_signature(const char *format, Signature *sig) {
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0'", *p)) ++p;
    if (*p == '*') {
      *sig += '*';
      ++p;
    } else {
      if (!skip_literal(p) || *p == '$') return false;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        *sig += '*';
        ++p;
      } else if (!skip_literal(p)) {
        return false;
      }
    }
    while (*p && strchr("hlLqjzt", *p)) *sig += *p++;
    char c = *p;
    if (c == '\0') return false;
    if (strchr("di", c)) {
      *sig += 'd';
    } else if (strchr("uoxX", c)) {
      *sig += 'u';
    } else if (strchr("eEfFgGaA", c)) {
      *sig += 'f';
    } else if (strchr("csp", c)) {
      *sig += c;
    } else {
      return false;
    }
    *sig += ';';
  }
  return sig->whole;
}

}  // namespace

namespace kel {

const char *msg_printf_text(int32_t number, const char *default_text) {
  const char *text = Amsg_get(number, 0, default_text);
  if (text == default_text || text == nullptr || default_text == nullptr) return default_text;
  Signature want, have;
  if (!printf_signature(default_text, &want) || !printf_signature(text, &have)) return default_text;
  return want == have ? text : default_text;
}

}  // namespace kel
