// The message library: every text shown to a person is a numbered message
// with a built-in default, taken from the binary message file (A_MESSAGE,
// else "/etc/quorlane.msg") when one is present.
//
// Message file, all integers big-endian:
//
//   offset     width  content
//   0          4      magic 0x514c016d
//   4          2      version 266
//   6 + 6*n    6      index entry of message n (n >= 1): text offset
//                     (32-bit; 0xFFFFFFFF = no such message), number of
//                     sub-messages (16-bit)
//   text off.  -      sub-messages 0, 1, ... as NUL-terminated strings
#pragma once

#include <cstdint>

extern "C" {
// Opens the message file. 0 means the file exists but cannot be used, and
// `error_text` (at least 300 bytes) then holds the reason with the name.
int Amsg_init(char *error_text);
// The text of sub-message `sub` of message `number`, or `default_text`.
// The result lives in a pool of 10 buffers: valid for the next 9 fetches.
const char *Amsg_get(int32_t number, int32_t sub, const char *default_text);
// Expands the placeholders %1 ... %6 with string arguments into `buffer`
// (1024 bytes); a text that would be longer is cut and ends in "...".
void Amsg_format(char *buffer, const char *format, ...);
// Amsg_format, then written to `stream` (a stream of the stream layer).
void Amsg_print(void *stream, const char *format, ...);
// Amsg_format, then written to the trace (error) output.
void Amsg_trace(const char *format, ...);
void Amsg_shutdown(void);
}

namespace kel {
constexpr int kMsgBufferSize = 1024;
// The message text, but only when its printf conversions are the same as
// the default's; otherwise the default. Use this for every text that is
// then given to a printf-style writer with numbers, so that a damaged or
// hostile message file cannot make the program read arguments that are not
// there.
const char *msg_printf_text(int32_t number, const char *default_text);
}  // namespace kel
