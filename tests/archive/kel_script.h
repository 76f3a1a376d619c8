// Scripted kel runs whose texts are compared with golden files: each run
// adds to one transcript its command, what it wrote on standard output and
// on the error output, and its exit status; a test may add the entries of
// a folder or other facts. Bytes show as the rows write them (escaped()),
// so that a golden file holds only text and a raw escape sequence that kel
// lets through shows as one. The test's folder shows as <dir>, the version as
// <version>.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/golden.h"
#include "common/row_script.h"
#include "common/spawn.h"

namespace kel::test {

// `text` line by line, each behind `mark`.
inline std::string shown(std::string_view text, const std::string &mark) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    out += mark + escaped(text.substr(at, end - at));
    out += end == std::string::npos ? " (no newline)\n" : "\n";
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return out;
}

class KelScript : public KelTest {
 protected:
  // Runs kel and writes the run into the script under the heading `what`.
  // The standard output of an output run is the archive: its size shows.
  RunResult run(const std::string &what, const SpawnOptions &o, const std::string &input = "") {
    RunResult r = spawn_kel(o);
    command(what, o, input);
    bool archive = !o.args.empty() && o.args[0].size() > 1 && (o.args[0][1] | 0x20) == 'o';
    if (archive && !r.out.empty())
      script_ += "out: an archive of " + std::to_string(r.out.size()) + " bytes\n";
    else
      script_ += shown(r.out, "out: ");
    script_ += shown(r.err, "err: ") + "status " + std::to_string(r.status) + "\n";
    return r;
  }
  // kel with its operator's terminal: each answer waits for its prompt,
  // does its act (changes the medium, say) and types its line ("\x04":
  // the end of input). The script shows what kel wrote on the terminal
  // with the answers where they were typed. Returns the exit status.
  struct Answer {
    std::string prompt, line;
    std::function<void()> act = nullptr;
  };
  int dialogue(const std::string &what, const SpawnOptions &o, const std::vector<Answer> &answers) {
    PtySession s(o);
    std::vector<std::pair<size_t, std::string>> typed;
    for (const Answer &a : answers) {
      if (!s.expect(a.prompt)) {
        ADD_FAILURE() << "no prompt " << a.prompt << " in:\n" << s.transcript();
        break;
      }
      if (a.act) a.act();
      typed.emplace_back(s.consumed(), a.line);
      a.line == "\x04" ? s.send_eof() : s.send(a.line);
    }
    int status = s.wait();
    command(what, o, "");
    size_t from = 0;
    for (const auto &[at, line] : typed) {
      script_ +=
          shown(s.transcript().substr(from, at - from), "tty: ") + "key: " + escaped(line) + "\n";
      from = at;
    }
    script_ +=
        shown(s.transcript().substr(from), "tty: ") + "status " + std::to_string(status) + "\n";
    return status;
  }
  RunResult run(const std::string &what, std::vector<std::string> args,
                const std::string &input = "", const std::string &cwd = "",
                long long fsize_limit = -1) {
    SpawnOptions o = options(std::move(args), input, cwd);
    o.fsize_limit = fsize_limit;
    return run(what, o, input);
  }
  // What a run left in the folder `sub`: every entry below it, sorted,
  // with the permission bits of files and their bytes (up to 40 as a word
  // of the rows, longer contents by size and checksum). The sums of indexed
  // files hold because the engine writes the same bytes for the same
  // records in the same order.
  void show_folder(const std::string &sub) {
    namespace fs = std::filesystem;
    std::vector<std::string> lines;
    for (const auto &e : fs::recursive_directory_iterator(dir_ / sub)) {
      std::string name = fs::relative(e.path(), dir_ / sub).string();
      if (e.is_directory()) {
        lines.push_back(name + "/");
        continue;
      }
      std::string bytes = read_file(e.path().string());
      uint32_t sum = 2166136261u;
      for (char c : bytes) sum = (sum ^ static_cast<uint8_t>(c)) * 16777619u;
      char mode[16], digest[48];
      snprintf(mode, sizeof mode, " %04o ", static_cast<unsigned>(e.status().permissions()));
      snprintf(digest, sizeof digest, "%zu bytes, sum %08x", bytes.size(), sum);
      lines.push_back(escaped(name) + mode + (bytes.size() <= 40 ? as_word(bytes) : digest));
    }
    std::sort(lines.begin(), lines.end());
    script_ += "files in " + sub + ":" + (lines.empty() ? " none" : "") + "\n";
    for (const std::string &l : lines) script_ += "  " + l + "\n";
  }
  void command(const std::string &what, const SpawnOptions &o, const std::string &input) {
    script_ += "\n# " + what + "\n$";
    for (const auto &[name, value] : o.env)
      if (name != "TZ") script_ += " " + name + "=" + value;
    script_ += " kel";
    for (const std::string &a : o.args) script_ += " " + escaped(a);
    if (!input.empty()) script_ += " < " + std::to_string(input.size()) + " bytes";
    script_ += "\n";
  }
  ::testing::AssertionResult matches(const std::string &golden) const {
    return matches_golden(
        "archive/" + golden,
        replace_all(replace_all(script_, dir_.path(), "<dir>"), KEL_VERSION_STRING, "<version>"));
  }
  std::string script_;
};

}  // namespace kel::test
