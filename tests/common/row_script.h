// Fixed cases kept as rows of a golden file: each row is a call and what
// it gave, "verb arg... => result". A test names the verbs it knows; the
// interpreter runs the rows of tests/golden/<name> one after the other and
// writes each row again with the result of this run, and the text made so
// is compared whole with the file: a result that differs fails the test
// and shows the row. Lines that are blank or begin with '#' are kept as
// they are. A verb that returns an empty result shows as its call alone.
// The lines of a result after its first, and what `after` gives after
// each row (a trace, say), follow the row, each behind "| "; such lines
// are output, not input. A row whose verb the test does not know fails
// the test; a verb that throws (a malformed row) shows "bad row: " and
// the reason as its result, so that row fails and the others still run.
//
// Words are separated by blanks; "..." holds a word with blanks (or an
// empty one). In any word \xNN is a byte and \c the byte c (\" \\), and a
// word that ends in "~N" has its last byte repeated up to N bytes in all
// ("ab.~30": "ab" and 28 dots). Results use the same forms (as_word(),
// as_record()), so a word written by a result reads back as the same
// bytes. After a deliberate change, KEL_UPDATE_GOLDEN=1 rewrites the
// results as it does for every golden file.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kel::test {

using Words = std::vector<std::string>;
using Verb = std::function<std::string(const Words &args)>;
using Verbs = std::map<std::string, Verb>;

::testing::AssertionResult run_rows(const std::string &name, const Verbs &verbs,
                                    const std::function<std::string()> &after = nullptr);

// A verb that only acts: its rows show no result.
template <typename F>
Verb act(F f) {
  return [f](const Words &args) {
    if constexpr (std::is_invocable_v<F, const Words &>)
      f(args);
    else
      f();
    return std::string();
  };
}

// The words of a row as the interpreter reads them, and words written as a
// row that reads back as the same words.
Words split(const std::string &row);
std::string as_row(const Words &words);

// Bytes as every row, transcript and listing of the tests writes them: a
// control byte, DEL and every byte above it as \xNN (lowercase), a
// backslash as \\, other bytes as they are; in a word also '"' as \" and
// '~' as \x7e, which would end the word or repeat its last byte. So a byte
// that shows as \xNN was that byte, never the four characters.
std::string escaped(std::string_view text, bool in_word = false);

// A text as one word of a row: "..." with its escapes; a null text as null.
std::string as_word(const char *text);
std::string as_word(const std::string &text);
// The same, with a run of 12 or more bytes at its end written "~N".
std::string as_record(const std::string &bytes);

// Bytes as runs of one byte: "a*512 b*100 new" (a run of one, or a piece
// that is not a run, as its bytes), and back from such pieces as words.
// The bytes escaped() writes as \xNN are \xNN here too; so are the blank,
// '*' and the backslash, since a piece is read back without escapes.
std::string as_runs(const std::string &bytes);
std::string from_runs(const Words &pieces, size_t first = 0);
// A short text as a word, a long one (more than 64 bytes) as runs.
std::string as_text(const std::string &bytes);

// The argument as a number (decimal, or 0x... hexadecimal).
long long number(const std::string &word);

}  // namespace kel::test
