// dorvex-tool: the operator's tool for indexed files. It sits above the
// file system and reaches it through the public headers of include/kelfs/
// alone (it links libkelfs.a, whose only global names are the public
// ones), and kel's member codec for the unload form.
//
// Exit status, for every command:
//   0  done (check: the file is sound)
//   1  check: the file has problems (listed on standard output); load,
//      copy: records were rejected as duplicates of a unique key
//   2  usage: an unknown command, option or a missing argument
//   3  the command could not be done: the file is missing, no indexed
//      file, locked, damaged beyond what the command can read, or the
//      disk refused; the message names the file and the reason
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kelfs/kelfs.h"

namespace kel::tools {

constexpr int kExitOk = 0;
constexpr int kExitProblems = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

// "dorvex-tool: NAME: REASON" on the error output; returns kExitFailed.
int fail(const std::string &name, const std::string &reason);
// The same with the reason the file system left in its error codes (the
// missing file's own name for E_NO_FILE, the secondary code of E_BROKEN).
int fail_fs(const std::string &name);
std::string fs_reason();

// What describes an indexed file, as v5_info gives it (interface level
// 3): enough for v5_make to make an empty file of the same layout.
struct Layout {
  int version = 5;
  std::string record_parameters, physical_parameters, comment;
  bool has_table = false;
  std::array<char, 256> table{};
  std::vector<std::string> keys;
  int64_t max_record = 0;
  int64_t min_record = 0;
  int64_t records = 0;                 // the header's count
  std::string key_parameters() const;  // the key texts joined by commas
};

// Fills `out` from an open file; false with the file system's codes.
bool describe(DorvexFile *file, Layout *out);
// Checks a layout read from an unload file (numbers where numbers belong)
// and takes the record sizes from it; false with a reason.
bool complete_layout(Layout *layout, std::string *reason);
// Makes `name` empty with the layout, in the layout's format version.
bool make_like(const char *name, const Layout &layout);
// True when `name` (or its index segment) exists: the commands that make
// a file refuse to replace one.
// The index segment's own name is checked as the engine forms it without
// NAME_INDEX_FMT settings.
bool indexed_file_exists(const char *name);
// `name` with `prefix` in front of its base name: a name beside it whose
// segments cannot meet its own (a suffix could, as the engine replaces
// the base name's extension to name the segments).
std::string with_prefix(const char *name, const char *prefix);

// Sets V_FORCE_OPEN for the opens that follow, so that a file marked
// broken or incomplete can still be read, checked or rebuilt. The engine
// checks the marks at every header read, not only at the open: a command
// that reads such a file keeps the setting on while it does.
void force_open(bool on);

// Reads every record in the order of key `key`: calls `each` for each
// record; false with the file system's codes (true at the end).
template <typename Each>
bool walk_key(DorvexFile *file, const Layout &layout, int key, std::vector<char> &record,
              Each each);
// Fills `record` so that v5_start with V5_START_NOT_LESS on `key` lands
// on the first record: the key's bytes hold the byte whose translation is
// smallest (0 without a translation table).
void lowest_key_record(const Layout &layout, int key, std::vector<char> &record);

// Adds records to a file just made, by bulk addition: the file is marked
// incomplete until finish() closed it with every key sorted in.
class Loader {
 public:
  Loader() = default;
  Loader(const Loader &) = delete;
  Loader &operator=(const Loader &) = delete;
  ~Loader();
  bool open(const char *name);
  bool add(const char *record, uint32_t length);
  // Closes the file; the records rejected as duplicates of a unique key
  // are counted in rejected().
  bool finish();
  int64_t added() const { return added_; }
  int64_t rejected() const { return rejected_; }

 private:
  DorvexFile *file_ = nullptr;
  int64_t added_ = 0;
  int64_t rejected_ = 0;
};

// The commands.
int info_command(const char *name);
int check_command(const char *name);
int unload_command(const char *name, const char *out, int key, bool text);
int load_command(const char *in, const char *name);
int rebuild_command(const char *name, bool keep);
int copy_command(const char *from, const char *to);
// The transaction log (log_commands.cpp). transact: changes to FILE read
// from standard input, one a line ("+record" writes, "=record" rewrites,
// "-record" deletes the record with that primary key, "commit" and
// "rollback" end the transaction the changes began; a transaction still
// open at the end is committed), with LOG as the shared log. recover:
// replays LOG into the files it names, from the current folder.
int transact_command(const char *name, const char *log);
int recover_command(const char *log);

template <typename Each>
bool walk_key(DorvexFile *file, const Layout &layout, int key, std::vector<char> &record,
              Each each) {
  lowest_key_record(layout, key, record);
  if (!v5_start(file, record.data(), key, 0, V5_START_NOT_LESS))
    return *fs_error_code() == E_NOT_FOUND;  // an empty file
  uint32_t n;
  while ((n = v5_next(file, record.data())) > 0) {
    if (!each(record.data(), n)) return false;
  }
  return *fs_error_code() == E_NOT_FOUND;
}

}  // namespace kel::tools
