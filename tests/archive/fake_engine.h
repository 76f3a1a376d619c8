// A stand-in for the indexed file engine behind kel's seam: indexed files
// kept in memory, with the texts that v5_info would return, records in
// primary-key order, and a log of what the reader asked to be made and
// written. Lets the tests reach what the real engine does not do on
// demand: a file that breaks while it is read, a table that cannot be
// read, makes that fail, and the make forms of old-style archives.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_model.h"
#include "archive/indexed_io.h"
#include "kelfs/errors.h"

namespace kel::test {

struct FakeIndexedFile : ModelIndexed {
  int fail_after = -1;  // next() fails with E_BROKEN (secondary 9) after this many records
  int32_t broken_info = INT32_MIN;  // info() of this code fails with E_BROKEN (secondary 4)
};

struct FakeEngine {
  std::map<std::string, FakeIndexedFile> files;  // what open_input finds
  std::vector<std::string> calls;                // "make(...)", "open(...)" and so on
  std::vector<std::string> written;
  int make_failures = 0;  // makes that fail with E_SYSERR/ENOENT first
  const FakeIndexedFile *open_file = nullptr;
  size_t next_record = 0;
};

inline FakeEngine &fake_engine() {
  static FakeEngine e;
  return e;
}

namespace fake {

inline int fail(int16_t code, int16_t secondary = 0) {
  *fs_error_code() = code;
  *fs_error_secondary() = secondary;
  return 0;
}

inline void *open_input(const char *path) {
  auto &e = fake_engine();
  auto it = e.files.find(path);
  if (it == e.files.end()) {
    fail(E_FILE_TYPE);
    return nullptr;
  }
  e.open_file = &it->second;
  e.next_record = 0;
  return &e;
}

inline int info(void *, int32_t code, char *out) {
  if (fake_engine().open_file == nullptr) return fail(E_PARAM);  // a file being restored
  const FakeIndexedFile &f = *fake_engine().open_file;
  const std::string *text = nullptr;
  if (code == f.broken_info) return fail(E_BROKEN, 4);
  if (code == archive::kInfoRecordCount) {
    sprintf(out, "%010ld", static_cast<long>(f.records.size()));
    return 1;
  }
  if (code == archive::kInfoTranslationTable) {
    if (f.table.empty()) return fail(E_UNSUPPORTED);
    memcpy(out, f.table.data(), 256);
    return 1;
  }
  if (code == archive::kInfoRecordParameters) text = &f.record_parameters;
  if (code == archive::kInfoPhysicalParameters) text = &f.physical_parameters;
  if (code == archive::kInfoComment) text = &f.comment;
  if (code >= 0 && code < static_cast<int32_t>(f.keys.size())) text = &f.keys[code];
  if (text == nullptr) return fail(E_PARAM);
  strcpy(out, text->c_str());
  return 1;
}

inline int start_first(void *, char *) {
  auto &e = fake_engine();
  e.next_record = 0;
  return e.open_file->records.empty() ? fail(E_NOT_FOUND) : 1;
}

inline uint32_t next(void *, char *record) {
  auto &e = fake_engine();
  const FakeIndexedFile &f = *e.open_file;
  if (f.fail_after >= 0 && e.next_record == static_cast<size_t>(f.fail_after))
    return fail(E_BROKEN, 9);
  if (e.next_record >= f.records.size()) return fail(E_NOT_FOUND);
  const std::string &r = f.records[e.next_record++];
  memcpy(record, r.data(), r.size());
  return static_cast<uint32_t>(r.size());
}

// Logs a call; a make fails while make_failures lasts.
inline int log(const std::string &call, bool is_make = false) {
  auto &e = fake_engine();
  e.calls.push_back(call);
  if (!is_make || e.make_failures == 0) return 1;
  --e.make_failures;
  errno = ENOENT;
  return fail(E_SYSERR);
}

inline std::string show(const char *s) {
  return s ? std::string(s) : std::string("<null>");
}

inline int close(void *) {
  return log("close");
}

inline int make(const char *name, const char *comment, const char *physical,
                const char *record_parameters, const char *keys, const char *table) {
  return log("make(" + show(name) + "|" + show(comment) + "|" + show(physical) + "|" +
                 show(record_parameters) + "|" + show(keys) + "|" +
                 (table ? std::string(table, 256) : "<null>") + ")",
             true);
}

inline int make_v4(const char *name, const char *keys, const char *comment) {
  return log("v_make(" + show(name) + "|" + show(keys) + "|" + show(comment) + ")", true);
}

inline int make_v2(const char *name, const char *p, const char *q) {
  return log("v2_make(" + show(name) + "|" + show(p) + "|" + show(q) + ")", true);
}

inline void *open_restore(const char *name) {
  log("open(" + show(name) + ")");
  return &fake_engine();
}

inline int write(void *, const char *record, uint32_t length) {
  fake_engine().written.emplace_back(record, length);
  return 1;
}

inline int remove(const char *name) {
  return log("remove(" + show(name) + ")");
}

}  // namespace fake

inline void install_fake_engine() {
  static const archive::IndexedOps ops = {
      fake::open_input, fake::info,    fake::start_first,  fake::next,  fake::close,  fake::make,
      fake::make_v4,    fake::make_v2, fake::open_restore, fake::write, fake::remove, nullptr};
  fake_engine() = FakeEngine{};
  archive::indexed_set_ops(&ops);
}

}  // namespace kel::test
