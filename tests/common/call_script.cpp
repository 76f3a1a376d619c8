#include "common/call_script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <stdexcept>

#include "common/golden.h"
#include "common/lock_probe.h"
#include "common/shapes.h"
#include "common/test_util.h"
#include "common/worker.h"
#include "kelfs/config.h"
#include "kelfs/kelfs.h"
#include "support/be.h"

namespace kel::test {
namespace {

// The primary codes by their names in <kelfs/errors.h>.
std::string code_name(int16_t code) {
  static const char *const names[] = {
      "E_INTERNAL",   "E_SYSERR",      "E_PARAM",       "E_TOO_MANY_FILES", "E_MODE_CLASH",
      "E_REC_LOCKED", "E_BROKEN",      "E_DUPLICATE",   "E_NOT_FOUND",      "E_NO_CURRENT",
      "E_DISK_FULL",  "E_FILE_LOCKED", "E_REC_SIZE",    "E_FILE_TYPE",      "E_NO_MEMORY",
      "E_NO_FILE",    "E_PERMISSION",  "E_UNSUPPORTED", "E_LOCK_TABLE_FULL"};
  if (code >= 0 && code <= E_LOCK_TABLE_FULL) return names[code];
  if (code == E_COPY_FAILED) return "E_COPY_FAILED";
  if (code == E_LOG_REFUSED) return "E_LOG_REFUSED";
  return code == E_DUPLICATE_ALTERNATE ? "E_DUPLICATE_ALTERNATE" : std::to_string(code);
}

std::string codes() {
  std::string out;
  if (*fs_error_code() != 0) {
    out += " " + code_name(*fs_error_code());
    if (*fs_error_secondary() != 0) out += "/" + std::to_string(*fs_error_secondary());
  }
  if (*Alog_error_code() != 0) out += " log error " + std::to_string(*Alog_error_code());
  return out;
}

// A text with its pointers (0x and 8 or more hexadecimal digits, as %p
// prints them) shown by the names `named` gives them, the others as "0x…":
// addresses change from run to run, what a pointer names does not.
std::string masked_pointers(const std::string &text,
                            const std::map<std::string, std::string> &named) {
  static const std::regex pointer("0x[0-9a-f]{8,}");
  std::string out;
  size_t done = 0;
  for (std::sregex_iterator m(text.begin(), text.end(), pointer), end; m != end; ++m) {
    auto name = named.find(m->str());
    out += text.substr(done, static_cast<size_t>(m->position()) - done) +
           (name == named.end() ? "0x…" : name->second);
    done = static_cast<size_t>(m->position() + m->length());
  }
  return out + text.substr(done);
}

}  // namespace

uint8_t *be_field(void *bytes, size_t size, int64_t at, int64_t width) {
  if ((width != 1 && width != 2 && width != 4 && width != 6 && width != 8) || at < 0 ||
      static_cast<uint64_t>(at + width) > size)
    throw std::out_of_range("no field of " + std::to_string(width) + " bytes at " +
                            std::to_string(at));
  return static_cast<uint8_t *>(bytes) + at;
}

std::string CallScript::result(int64_t r) {
  return std::to_string(r) + codes();
}

std::string CallScript::record(int64_t n, int64_t over) {
  if (n <= 0) return result(n);
  return std::to_string(n) + " " + as_record(std::string(buffer, static_cast<size_t>(n - over))) +
         codes();
}

std::string CallScript::opened(const Call &c, void *handle) {
  handles_[c.text(0)] = handle;
  return (handle ? c.text(0) : "null") + codes();
}

// A handle closed is named no more: its address may come back as another
// pointer.
std::string CallScript::closed(const Call &c, int64_t r) {
  if (r == 1) handles_.erase(c.text(0));
  return result(r);
}

CallScript::CallScript() {
  auto u32 = [](const std::string &s) { return static_cast<uint32_t>(s.size()); };
  auto i32 = [](const Call &c, size_t i) { return static_cast<int32_t>(c.num(i)); };
  auto df = [this](const Call &c) { return file<DorvexFile>(c.text(0)); };
  auto rf = [this](const Call &c) { return file<RelativeFile>(c.text(0)); };
  auto sf = [this](const Call &c) { return file<SequentialFile>(c.text(0)); };
  // The record argument copied into the buffer, for the calls that read
  // their key from it and give the record back there.
  auto keyed = [this](const Call &c) {
    memcpy(buffer, c.text(1).data(), std::min(c.text(1).size(), sizeof buffer));
    return buffer;
  };
  // Relative and sequential reads return the length + 1.
  auto plus = [this](int64_t n) { return record(n, 1); };
  // Texts written into the buffer: 1 and the text, or the failure.
  auto text = [this](int r) { return r ? "1 " + as_record(buffer) : result(r); };
  // The older information forms: both texts, what they left.
  auto old_info = [=](void (*info)(DorvexFile *, char *, char *)) {
    return [=](const Call &c) {
      char p[V_OLD_INFO_SIZE] = "", k[V_OLD_INFO_SIZE] = "";
      info(df(c), p, k);
      return as_record(p) + " " + as_record(k) + codes();
    };
  };
  std::map<std::string, Command> table = {
      // --- indexed files
      {"v5_make",
       [=](const Call &c) {
         // The collating table: "fold" the case-folding one, other bytes
         // as they are.
         FileShape fold;
         fold.case_folding = c.args.size() > 5 && c.text(5) == "fold";
         const char *table = c.args.size() > 5 && !fold.case_folding
                                 ? c.ptr(5)
                                 : reinterpret_cast<const char *>(fold.table());
         return result(v5_make(c.ptr(0), c.ptr(1), c.ptr(2), c.ptr(3), c.ptr(4), table));
       }},
      {"v5_open",
       [=, this](const Call &c) {
         return opened(c, v5_open(c.ptr(1), i32(c, 2), c.args.size() > 3 ? c.ptr(3) : "0,0,0"));
       }},
      {"v5_close", [=, this](const Call &c) { return closed(c, v5_close(df(c))); }},
      {"v5_unlock", [=](const Call &c) { return result(v5_unlock(df(c))); }},
      {"v5_nkrstart", [=](const Call &c) { return result(v5_nkrstart(df(c))); }},
      {"v5_write",
       [=](const Call &c) {
         uint32_t n = c.args.size() > 2 ? static_cast<uint32_t>(c.num(2)) : u32(c.text(1));
         return result(v5_write(df(c), c.ptr(1), n));
       }},
      {"v5_rewrite",
       [=](const Call &c) { return result(v5_rewrite(df(c), c.ptr(1), u32(c.text(1)))); }},
      {"v5_delete", [=](const Call &c) { return result(v5_delete(df(c), c.ptr(1))); }},
      {"v5_read", [=, this](const Call &c) { return record(v5_read(df(c), keyed(c), i32(c, 2))); }},
      {"v5_start",
       [=](const Call &c) {
         return result(v5_start(df(c), keyed(c), i32(c, 2), i32(c, 3), i32(c, 4)));
       }},
      {"v5_next", [=, this](const Call &c) { return record(v5_next(df(c), buffer)); }},
      {"v5_previous", [=, this](const Call &c) { return record(v5_previous(df(c), buffer)); }},
      {"v5_nkrnext", [=, this](const Call &c) { return record(v5_nkrnext(df(c), buffer)); }},
      {"v5_info", [=, this](const Call &c) { return text(v5_info(df(c), i32(c, 1), buffer)); }},
      {"v5_check", [=](const Call &c) { return result(v5_check(df(c), i32(c, 1))); }},
      {"v5_check_report", [](const Call &) { return as_record(v5_check_report()); }},
      {"v5_begin", [](const Call &) { return result(v5_begin()); }},
      {"v5_exit",
       [](const Call &) {
         v5_exit();
         return std::string();
       }},
      {"v5_commit", [=](const Call &c) { return result(v5_commit(i32(c, 0))); }},
      {"v5_rollback", [=](const Call &c) { return result(v5_rollback(i32(c, 0))); }},
      {"v5_copy", [=](const Call &c) { return result(v5_copy(c.ptr(0), c.ptr(1))); }},
      {"v5_remove", [=](const Call &c) { return result(v5_remove(c.ptr(0))); }},
      {"v5_rename", [=](const Call &c) { return result(v5_rename(c.ptr(0), c.ptr(1))); }},
      {"v_make", [=](const Call &c) { return result(v_make(c.ptr(0), c.ptr(1), c.ptr(2))); }},
      {"v2_make", [=](const Call &c) { return result(v2_make(c.ptr(0), c.ptr(1), c.ptr(2))); }},
      {"v2_open", [=, this](const Call &c) { return opened(c, v2_open(c.ptr(1), i32(c, 2))); }},
      {"v2_info", old_info(v2_info)},
      {"v_info", old_info(v_info)},
      // --- relative files
      {"Ar_make", [=](const Call &c) { return result(Ar_make(c.ptr(0), c.ptr(1), i32(c, 2))); }},
      {"Ar_open",
       [=, this](const Call &c) {
         return opened(c, Ar_open(c.ptr(1), i32(c, 2), static_cast<uint32_t>(c.num(3)),
                                  static_cast<uint32_t>(c.num(4)), i32(c, 5)));
       }},
      {"Ar_close", [=, this](const Call &c) { return closed(c, Ar_close(rf(c))); }},
      {"Ar_unlock", [=](const Call &c) { return result(Ar_unlock(rf(c))); }},
      {"Ar_info", [=, this](const Call &c) { return text(Ar_info(rf(c), i32(c, 1), buffer)); }},
      {"Ar_read", [=, this](const Call &c) { return plus(Ar_read(rf(c), buffer, i32(c, 1))); }},
      {"Ar_start", [=](const Call &c) { return result(Ar_start(rf(c), i32(c, 1), i32(c, 2))); }},
      {"Ar_next", [=, this](const Call &c) { return plus(Ar_next(rf(c), buffer)); }},
      {"Ar_previous", [=, this](const Call &c) { return plus(Ar_previous(rf(c), buffer)); }},
      {"Ar_write",
       [=](const Call &c) { return result(Ar_write(rf(c), c.ptr(1), u32(c.text(1)), i32(c, 2))); }},
      // --- sequential files and pipes
      {"As_open",
       [=, this](const Call &c) {
         return opened(c, As_open(c.ptr(1), i32(c, 2), static_cast<uint32_t>(c.num(3)), i32(c, 4),
                                  static_cast<uint32_t>(c.num(5)), i32(c, 6), c.ptr(7), i32(c, 8)));
       }},
      {"As_close", [=, this](const Call &c) { return closed(c, As_close(sf(c), i32(c, 1))); }},
      {"As_seek", [=](const Call &c) { return result(As_seek(sf(c), c.num(1), i32(c, 2))); }},
      {"As_read", [=, this](const Call &c) { return plus(As_read(sf(c), buffer)); }},
      {"As_write",
       [=](const Call &c) { return result(As_write(sf(c), c.ptr(1), u32(c.text(1)), i32(c, 2))); }},
      // --- settings, the files' bytes, the error block's other parts
      {"set",
       [](const Call &c) { return result(cfg_set_programmatic(c.ptr(0), -1, c.ptr(1), -1, 0)); }},
      {"env",
       [](const Call &c) {
         return result(c.ptr(1) ? setenv(c.ptr(0), c.ptr(1), 1) : unsetenv(c.ptr(0)));
       }},
      {"put",
       [](const Call &c) {
         std::string bytes;
         for (size_t i = 1; i < c.args.size(); ++i) bytes += c.text(i);
         write_file(c.text(0), bytes);
         return std::to_string(bytes.size());
       }},
      {"file",
       [](const Call &c) {
         return file_exists(c.text(0)) ? as_record(read_file(c.text(0))) : std::string("missing");
       }},
      {"size",
       [](const Call &c) {
         return file_exists(c.text(0)) ? std::to_string(read_file(c.text(0)).size())
                                       : std::string("missing");
       }},
      {"locks", [](const Call &c) { return lock_seen(c.text(0), c.num(1), c.num(2)); }},
      {"kind",
       [](const Call &c) {
         struct stat st;
         if (lstat(c.ptr(0), &st) != 0) return "missing";
         return S_ISLNK(st.st_mode) ? "link" : S_ISDIR(st.st_mode) ? "folder" : "file";
       }},
      {"unlink", [](const Call &c) { return std::to_string(unlink(c.ptr(0))); }},
      {"mkdir", [](const Call &c) { return std::to_string(mkdir(c.ptr(0), 0777)); }},
      {"poke",
       [](const Call &c) {
         std::string bytes = read_file(c.text(0));
         store_be(be_field(bytes.data(), bytes.size(), c.num(1), c.num(2)),
                  static_cast<int>(c.num(2)), static_cast<uint64_t>(c.num(3)));
         write_file(c.text(0), bytes);
         return std::string("done");
       }},
      {"field",
       [](const Call &c) {
         std::string bytes = read_file(c.text(0));
         return std::to_string(load_be(be_field(bytes.data(), bytes.size(), c.num(1), c.num(2)),
                                       static_cast<int>(c.num(2))));
       }},
      {"save",
       [this](const Call &c) {
         saved_[c.text(0)] = read_file(c.text(0));
         return std::string("saved");
       }},
      {"damage",
       [this](const Call &c) {
         write_file(c.text(0), saved_.at(c.text(0)));
         return commands_.at("poke")(c);
       }},
      // "unchanged", or the offsets where the bytes differ ("changed at 78
      // 94-95", at most eight places; "changed size" when the lengths
      // differ).
      {"same",
       [this](const Call &c) {
         std::string now = read_file(c.text(0)), out;
         std::string was = c.args.size() > 1 ? read_file(c.text(1)) : saved_.at(c.text(0));
         if (now.size() != was.size()) return std::string("changed size");
         int places = 0;
         // The byte at `end` is the same again, or past the end: the next
         // place can only begin after it.
         for (size_t at = 0; at < now.size() && places < 8; ++at) {
           if (now[at] == was[at]) continue;
           size_t end = at;
           while (end < now.size() && now[end] != was[end]) ++end;
           out += " " + std::to_string(at) + (end - at > 1 ? "-" + std::to_string(end - 1) : "");
           ++places;
           at = end;
         }
         return out.empty() ? std::string("unchanged") : "changed at" + out;
       }},
      {"fsize",
       [this](const Call &c) {
         limit_.reset();
         if (c.ptr(0)) limit_ = std::make_unique<FileSizeLimit>(c.num(0));
         return std::string("done");
       }},
      {"report",
       [](const Call &c) {
         StderrCapture err;
         report_fs_error(c.ptr(0));
         return as_record(err.text());
       }},
      {"ls",
       [](const Call &) {
         std::string out;
         for (const std::string &name : folder_entries(".")) out += (out.empty() ? "" : " ") + name;
         return out.empty() ? "nothing" : out;
       }},
      {"holder",
       [this](const Call &) {
         if (*fs_lock_holder() == getpid()) return std::string("self");
         return other_ && *fs_lock_holder() == other_->pid() ? std::string("other")
                                                             : std::to_string(*fs_lock_holder());
       }},
      {"missing", [](const Call &) { return as_record(fs_missing_file_name()); }},
      {"other", [this](const Call &c) { return other(c.args); }},
      {"stderr",
       [this](const Call &c) {
         // Lines of text follow the row, each behind "| "; other bytes
         // stay a word. Pointers show as the handles (open before or
         // after the call) and the buffer they are, or masked.
         std::map<std::string, std::string> named = {{pointer_text(buffer), "<buffer>"}};
         auto name_handles = [&] {
           for (const auto &[name, handle] : handles_)
             if (handle) named[pointer_text(handle)] = "<" + name + ">";
         };
         name_handles();
         StderrCapture err;
         std::string outcome = execute(c.text(0), Words(c.args.begin() + 1, c.args.end()));
         name_handles();
         std::string text = err.text();
         bool lines = !text.empty() && text.back() == '\n' &&
                      std::none_of(text.begin(), text.end(), [](char ch) {
                        auto c = static_cast<unsigned char>(ch);
                        return ch != '\n' && (c < 0x20 || c >= 0x7f);
                      });
         return outcome + ", error output" +
                (lines ? ":\n" + masked_pointers(text, named) : " " + as_record(text));
       }},
  };
  commands_ = std::move(table);
}

std::string CallScript::execute(const std::string &name, const Words &args) {
  auto command = commands_.find(name);
  if (command == commands_.end()) return "unknown call";
  // The rows that show what the call before left keep it, and so do the
  // rows that only pass a call on.
  static const std::set<std::string> keep = {"report", "holder", "missing", "stderr", "other"};
  if (!keep.count(name)) {
    *fs_error_code() = 0;
    *fs_error_secondary() = 0;
    *Alog_error_code() = 0;
  }
  try {
    return command->second(Call{args});
  } catch (const std::exception &e) {
    return std::string("bad row: ") + e.what();
  }
}

// The second process reads the call from one file and leaves the outcome
// in another (a worker's answers are numbers).
std::string CallScript::other(const Words &call) {
  // None outside run(), nor in the second process itself (it forks before
  // other_ is set).
  if (!other_) return "no second process";
  if (call == Words{"kill"}) {
    other_->kill();
    return "killed";
  }
  write_file(exchange_ / "row", as_row(call));
  return other_->run(0) == 0 ? read_file(exchange_ / "outcome") : "no answer";
}

::testing::AssertionResult CallScript::run(const std::string &name) {
  // The second process forks before the first call, so that it inherits
  // no open file.
  other_ = std::make_unique<Worker>(std::vector<Worker::Step>{[this](int64_t) -> int64_t {
    Words call = split(read_file(exchange_ / "row"));
    write_file(exchange_ / "outcome", execute(call.at(0), Words(call.begin() + 1, call.end())));
    return 0;
  }});
  Verbs verbs;
  for (const auto &[verb, command] : commands_)
    verbs[verb] = [this, verb](const Words &args) { return execute(verb, args); };
  ::testing::AssertionResult matched = run_rows(name, verbs);
  other_.reset();
  return matched;
}

}  // namespace kel::test
