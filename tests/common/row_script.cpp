#include "common/row_script.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "common/golden.h"
#include "common/test_util.h"

namespace kel::test {
namespace {

constexpr char kArrow[] = " => ";

// Where the digits of a "~N" that starts at `at` end, when they run to the
// end of the word (a blank, or the closing quote); npos when it is no such.
size_t repeat_end(const std::string &call, size_t at, bool quoted) {
  size_t end = std::min(call.find(quoted ? '"' : ' ', at), call.size());
  bool digits = end > at + 1 && call.find_first_not_of("0123456789", at + 1) >= end;
  return digits ? end : std::string::npos;
}

}  // namespace

Words split(const std::string &call) {
  Words words;
  for (size_t at = call.find_first_not_of(' '); at < call.size();
       at = call.find_first_not_of(' ', at)) {
    bool quoted = call[at] == '"';
    std::string word;
    for (at += quoted; at < call.size() && call[at] != (quoted ? '"' : ' '); ++at) {
      size_t end =
          call[at] == '~' && !word.empty() ? repeat_end(call, at, quoted) : std::string::npos;
      if (end != std::string::npos) {
        size_t n = std::stoul(call.substr(at + 1, end - at - 1));
        if (n > word.size()) word.append(n - word.size(), word.back());
        at = end - 1;
      } else if (call[at] == '\\' && at + 1 < call.size() && call[++at] == 'x') {
        word += static_cast<char>(std::stoi(call.substr(at + 1, 2), nullptr, 16));
        at += 2;
      } else {
        word += call[at];
      }
    }
    words.push_back(word);
    at += quoted;
  }
  return words;
}

std::string as_row(const Words &words) {
  std::string row;
  for (const std::string &w : words) row += (row.empty() ? "" : " ") + as_word(w);
  return row;
}

std::string escaped(std::string_view text, bool in_word) {
  std::string out;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    char hex[8];
    snprintf(hex, sizeof hex, "\\x%02x", c);
    out += ch == '\\' || (in_word && ch == '"')              ? std::string{'\\', ch}
           : c < 0x20 || c >= 0x7f || (in_word && ch == '~') ? std::string(hex)
                                                             : std::string(1, ch);
  }
  return out;
}

std::string as_word(const std::string &text) {
  return "\"" + escaped(text, true) + "\"";
}

std::string as_record(const std::string &bytes) {
  size_t run = 0;
  while (run < bytes.size() && bytes[bytes.size() - 1 - run] == bytes.back()) ++run;
  if (run < 12) return as_word(bytes);
  std::string word = as_word(bytes.substr(0, bytes.size() - run + 1));
  return word.insert(word.size() - 1, "~" + std::to_string(bytes.size()));
}

std::string as_word(const char *text) {
  return text ? as_word(std::string(text)) : "null";
}

std::string as_runs(const std::string &bytes) {
  std::string out;
  bool literal = false;  // the last piece is bytes that are not a run
  for (size_t at = 0, end; at < bytes.size(); at = end) {
    end = std::min(bytes.find_first_not_of(bytes[at], at), bytes.size());
    auto c = static_cast<unsigned char>(bytes[at]);
    bool plain = c > 0x20 && c < 0x7f && c != '*' && c != '\\';
    char piece[32];
    snprintf(piece, sizeof piece, plain ? "%c" : "\\x%02x", c);
    if (!(literal && plain && end - at == 1) && !out.empty()) out += " ";
    out += piece;
    if (end - at > 1) out += "*" + std::to_string(end - at);
    literal = plain && end - at == 1;
  }
  return out;
}

std::string from_runs(const Words &pieces, size_t first) {
  std::string bytes;
  for (size_t i = first; i < pieces.size(); ++i) {
    const std::string &p = pieces[i];
    size_t star = p.rfind('*');
    size_t width = p.rfind("\\x", 0) == 0 ? 4 : 1;
    char c = width == 4 ? static_cast<char>(std::stoi(p.substr(2, 2), nullptr, 16)) : p[0];
    if (star == width)
      bytes.append(static_cast<size_t>(number(p.substr(star + 1))), c);
    else
      bytes += width == 4 && p.size() == 4 ? std::string(1, c) : p;
  }
  return bytes;
}

std::string as_text(const std::string &bytes) {
  return bytes.size() > 64 ? as_runs(bytes) : as_word(bytes);
}

long long number(const std::string &word) {
  return strtoll(word.c_str(), nullptr, 0);
}

::testing::AssertionResult run_rows(const std::string &name, const Verbs &verbs,
                                    const std::function<std::string()> &after) {
  std::istringstream rows(read_file(std::string(KEL_GOLDEN_DIR) + "/" + name));
  std::string out;
  for (std::string line; std::getline(rows, line);) {
    if (line.rfind('|', 0) == 0) continue;
    if (line.empty() || line[0] == '#') {
      out += line + "\n";
      continue;
    }
    std::string call = line.substr(0, line.find(kArrow));
    Words words = split(call);
    auto verb = verbs.find(words.at(0));
    if (verb == verbs.end()) {  // kept as it is, even when the file is rewritten
      ADD_FAILURE() << name << ": no verb " << words[0] << " for the row " << line;
      out += line + "\n";
      continue;
    }
    // A malformed row (an argument missing, a name never given) fails
    // that row alone; the rows after it still run.
    std::string result;
    try {
      result = verb->second(Words(words.begin() + 1, words.end()));
    } catch (const std::exception &e) {
      result = std::string("bad row: ") + e.what();
    }
    size_t first = result.find('\n');
    out += call + (result.empty() || first == 0 ? "" : kArrow + result.substr(0, first)) + "\n";
    std::string more = first == std::string::npos ? "" : result.substr(first + 1);
    if (!more.empty() && more.back() != '\n') more += '\n';
    std::istringstream shown(more + (after ? after() : ""));
    for (std::string said; std::getline(shown, said);)
      out += "|" + (said.empty() ? "" : " " + said) + "\n";
  }
  return matches_golden(name, out);
}

}  // namespace kel::test
