// The operator dialogues of kel through a pseudo-terminal, as rows of
// archive/dialogues.txt: the test reads each prompt, changes the "media"
// (renames files) and answers; the volumes kel writes are compared with
// the model, those it reads are built by the model. Nothing sleeps; every
// step waits for the text it needs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <string>

#include "archive/archive_model.h"
#include "archive/kel_script.h"

namespace kel::test {
namespace {

// A word's bytes: random:SIZE:SEED, or the word itself.
std::string bytes_of(const std::string &word) {
  if (word.rfind("random:", 0) != 0) return word;
  return random_data(number(word.substr(7)), number(word.substr(word.rfind(':') + 1)));
}

using KelDialogue = KelScript;

// Rows of archive/dialogues.txt. "write NAME BYTES", "mkdir NAME";
// "stream PIECE..." sets the member stream (TYPE:NAME:BYTES a plain
// member of that type, raw:BYTES) that "volume NAME NUMBER MEDIA
// [FROM LENGTH|rest]..." writes behind the model's volume header. "kel
// ARG..." runs kel with its terminal: input=TEXT its standard input,
// stdin=NAME a file as it, stdout=NAME its standard output, in=FOLDER its
// folder, fsize=N its file size limit, eject=COMMAND as KEL_EJECT; answers
// PROMPT=LINE (mount, again, path, start) are typed at that prompt, each
// after the acts behind it (mv:FROM:TO, touch:NAME); <dir> in an argument
// is the test's folder. "run ARG..." is the same without a terminal.
// "volumes FILE MEDIA VOL..." tells whether the volumes' whole records are
// the model's archive of FILE, and of each volume (numbered from 1) its
// header, its whole records and the bytes after them. "show NAME" and
// "holds NAME BYTES" tell of files.
TEST_F(KelDialogue, Dialogues) {
  const std::map<std::string, std::string> prompts = {
      {"mount", "press return when ready: "},
      {"again", "press return to try again: "},
      {"path", "Enter archive's filename to continue: "},
      {"start", "Start recovery from here? "}};
  std::string records;  // the member stream and trailer the volumes are cut from
  auto write = [&](const Words &a) { write_file(dir_ / a.at(0), bytes_of(a.at(1))); };
  auto stream = [&](const Words &a) {
    std::string members;
    for (const std::string &w : a) {
      const size_t colon = w.find(':'), second = w.find(':', colon + 1);
      members += w.rfind("raw:", 0) == 0 ? w.substr(4)
                                         : model_plain(w.substr(colon + 1, second - colon - 1),
                                                       bytes_of(w.substr(second + 1)), w.at(0));
    }
    records = model_records(members + model_trailer(), 512);
  };
  auto volume = [&](const Words &a) {
    std::string v = model_volume_header(6, static_cast<int>(number(a.at(1))),
                                        static_cast<int>(number(a.at(2))), 512, 512);
    for (size_t i = 3; i + 1 < a.size(); i += 2)
      v += records.substr(static_cast<size_t>(number(a[i])),
                          a[i + 1] == "rest" ? std::string::npos : number(a[i + 1]));
    write_file(dir_ / a.at(0), v);
  };
  auto kel = [&](const Words &a, bool terminal) {
    SpawnOptions o = options({});
    // The settings that name a file or folder of the test's folder.
    const std::map<std::string, std::string *> paths = {
        {"stdin", &o.stdin_path}, {"stdout", &o.stdout_path}, {"in", &o.cwd}};
    std::vector<Answer> answers;
    for (const std::string &w : a) {
      const size_t colon = w.find(':'), last = w.rfind(':'), eq = w.find('=');
      const std::string key = w.substr(0, std::min(eq, colon)), value = w.substr(eq + 1);
      const std::string from = dir_ / w.substr(colon + 1, last - colon - 1);
      const std::string to = dir_ / w.substr(last + 1);
      if (key == "input")
        write_file(o.stdin_path, value);
      else if (paths.count(key))
        *paths.at(key) = dir_ / value;
      else if (key == "fsize")
        o.fsize_limit = number(value);
      else if (key == "eject")
        o.env["KEL_EJECT"] = value;
      else if (prompts.count(key))
        answers.push_back({prompts.at(key), value});
      // The acts behind an answer are done in turn before it is typed.
      else if ((key == "mv" || key == "touch") && answers.empty())
        ADD_FAILURE() << "an act before any answer: " << w;
      else if (key == "mv" || key == "touch") {
        std::function<void()> &acts = answers.back().act;
        acts = [before = acts, mv = key == "mv", from, to] {
          if (before) before();
          EXPECT_EQ(0, mv ? rename(from.c_str(), to.c_str()) : (write_file(to, ""), 0)) << from;
        };
      } else if (key == w)  // neither a setting nor an answer
        o.args.push_back(replace_all(w, "<dir>", dir_.path()));
      else  // a misspelt setting would otherwise change nothing
        ADD_FAILURE() << "not a setting: " << w;
    }
    script_.clear();
    if (terminal)
      dialogue("", o, answers);
    else
      run("", o);
    return replace_all(script_.substr(script_.find('\n', 1)), dir_.path(), "<dir>");
  };
  auto volumes = [&](const Words &a) {
    const std::string model =
        model_records(model_file_member(dir_.path(), a.at(0), 'T') + model_trailer(), 512);
    std::string payload, said;
    for (size_t i = 2; i < a.size(); ++i) {
      const std::string v = read_file(dir_ / a[i]),
                        header = model_volume_header(6, static_cast<int>(i) - 1,
                                                     static_cast<int>(number(a[1])), 512, 512);
      if (v.size() < 512) {  // a header cut short: told, not a crash of the test
        said += "\n" + a[i] + ": " + std::to_string(v.size()) + " bytes, no header";
        continue;
      }
      const size_t whole = (v.size() - 512) / 512 * 512, rest = v.size() - 512 - whole;
      said += "\n" + a[i] + ": " + std::to_string(whole / 512) + " records" +
              (masked(v.substr(0, 512)) == masked(header) ? "" : ", not the model's header") +
              (!rest ? ""
               : model.compare(std::min(payload.size() + whole, model.size()), rest, v, 512 + whole)
                   ? ", then " + std::to_string(rest) + " bytes not the next record's"
                   : ", the next record's first " + std::to_string(rest) + " bytes");
      payload += v.substr(512, whole);
    }
    return (payload == model ? "the model's archive of " : "not the model's archive of ") + a[0] +
           said;
  };
  EXPECT_TRUE(
      run_rows("archive/dialogues.txt",
               {{"write", act(write)},
                {"mkdir", act([&](const Words &a) { mkdir((dir_ / a.at(0)).c_str(), 0755); })},
                {"stream", act(stream)},
                {"volume", act(volume)},
                {"kel", [&](const Words &a) { return kel(a, true); }},
                {"run", [&](const Words &a) { return kel(a, false); }},
                {"volumes", volumes},
                {"show", [&](const Words &a) { return shown(read_file(dir_ / a.at(0)), ""); }},
                {"holds", [&](const Words &a) {
                   return read_file(dir_ / a.at(0)) == bytes_of(a.at(1)) ? "yes" : "no";
                 }}}));
}

}  // namespace
}  // namespace kel::test
