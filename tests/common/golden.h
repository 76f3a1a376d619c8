// Expected texts kept as files: trace lines, listings, information texts,
// message and report texts are produced by one scripted run and compared
// whole with tests/golden/<name>. After a deliberate change of such texts
//
//   KEL_UPDATE_GOLDEN=1 make test      (or: make golden)
//
// writes the files from what the runs produced; the diff is then reviewed
// and committed with the change.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace kel::test {

// `text` against the golden file `name` (a path below tests/golden).
::testing::AssertionResult matches_golden(const std::string &name, const std::string &text);

// `text` with every `from` replaced by `to`: addresses, process ids and
// other parts that change from run to run get a fixed name before the
// comparison.
std::string replace_all(std::string text, const std::string &from, const std::string &to);

// printf's %p form of a pointer, as the trace lines show it.
std::string pointer_text(const void *p);

}  // namespace kel::test
