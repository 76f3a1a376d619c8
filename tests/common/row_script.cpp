#include "common/row_script.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/golden.h"
#include "common/test_util.h"

namespace kel::test {
namespace {

constexpr char kArrow[] = " => ";

// The words of a call; a quoted word loses its quotes and escapes.
Words split(const std::string &call) {
  Words words;
  for (size_t at = call.find_first_not_of(' '); at < call.size();
       at = call.find_first_not_of(' ', at)) {
    if (call[at] != '"') {
      size_t end = std::min(call.find(' ', at), call.size());
      words.push_back(call.substr(at, end - at));
      at = end;
      continue;
    }
    std::string word;
    for (++at; at < call.size() && call[at] != '"'; ++at) {
      if (call[at] == '\\' && call[++at] == 'x') {
        word += static_cast<char>(std::stoi(call.substr(at + 1, 2), nullptr, 16));
        at += 2;
      } else {
        word += call[at];
      }
    }
    words.push_back(word);
    ++at;
  }
  return words;
}

}  // namespace

std::string as_word(const std::string &text) {
  std::string out = "\"";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += ch == '"' || ch == '\\' ? std::string{'\\', ch}
           : c < 0x20 || c >= 0x7f ? std::string(hex)
                                   : std::string(1, ch);
  }
  return out + "\"";
}

std::string as_word(const char *text) {
  return text ? as_word(std::string(text)) : "null";
}

long long number(const std::string &word) {
  return strtoll(word.c_str(), nullptr, 0);
}

::testing::AssertionResult run_rows(const std::string &name, const Verbs &verbs) {
  std::istringstream rows(read_file(std::string(KEL_GOLDEN_DIR) + "/" + name));
  std::string out;
  for (std::string line; std::getline(rows, line); out += "\n") {
    if (line.empty() || line[0] == '#') {
      out += line;
      continue;
    }
    std::string call = line.substr(0, line.find(kArrow));
    Words words = split(call);
    auto verb = verbs.find(words.at(0));
    std::string result = "unknown verb";
    if (verb != verbs.end()) result = verb->second(Words(words.begin() + 1, words.end()));
    out += call + (result.empty() ? "" : kArrow + result);
  }
  return matches_golden(name, out);
}

}  // namespace kel::test
