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
// (1024 bytes); a text that would be longer is cut and ends in "..." (and
// the newline of the full text). Every '%' not part of "%%" takes one
// string argument, at most six: the caller must pass that many.
void Amsg_format(char *buffer, const char *format, ...);
// Amsg_format, then written to `stream` (a stream of the stream layer); a
// result "#<number>" (a message not found) is shown as "Message #<number>".
void Amsg_print(void *stream, const char *format, ...);
// The same, written to the trace (error) output.
void Amsg_trace(const char *format, ...);
// Closes the file, frees the calling thread's pool and state, deletes the
// thread key; the library is uninitialised again (Amsg_init may follow).
void Amsg_shutdown(void);
}

namespace kel {
constexpr int kMsgBufferSize = 1024;

// The expansion behind Amsg_format, from an array of `count` string
// arguments: "%1".."%6" take the argument of that slot, a plain "%s" that
// is the k-th placeholder takes argument k, "%%" gives "%", any other '%'
// sequence is copied as it stands, and a slot beyond `count` is empty. C++
// callers use this form: a message file whose text names more placeholders
// than the call passes cannot make it read arguments that are not there.
void msg_expand(char *buffer, const char *format, const char *const *args, int count);

// Sub-message 0 of `number`, but only when its printf conversions are those
// of `default_text`: the same conversions in the same order, with the same
// '*' widths and length modifiers (flags and literal widths and precisions
// of up to 3 digits may differ), so that "%d" cannot become "%s" and no
// conversion can be added or dropped. Otherwise, and for texts with
// positional arguments, "%n", unknown conversions or longer literal widths,
// the default. Use it for every message text that is given to
// a printf-style writer (eprintf, Astream_printf) together with arguments.
const char *msg_printf_text(int32_t number, const char *default_text);

// Tests only: the file tried when A_MESSAGE names none or a missing one
// (null: "/etc/quorlane.msg" again).
void msg_default_file_for_tests(const char *path);
}  // namespace kel
