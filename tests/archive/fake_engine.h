// A stand-in for the indexed file engine behind kel's seam: indexed files
// kept in memory, with the texts that v5_info would return, records in
// primary-key order, and a log of what the reader asked to be made and
// written. Lets the writer's indexed branch and the reader's restore be
// tested before the engine exists.
#pragma once

#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "archive/indexed_io.h"
#include "kelfs/errors.h"

namespace kel::test {

struct FakeIndexedFile {
  std::string record_parameters;  // "%010d,%010d,%03d"
  std::string physical_parameters;
  std::string comment;
  std::string table;  // empty: none
  std::vector<std::string> keys;
  std::vector<std::string> records;
  int fail_after = -1;  // next() fails with E_BROKEN (secondary 9) after this many records
  int32_t broken_info = INT32_MIN;  // info() of this code fails with E_BROKEN (secondary 4)
};

struct FakeEngine {
  std::map<std::string, FakeIndexedFile> files;  // what open_input finds
  // Reader side.
  std::vector<std::string> calls;  // "make(...)", "write(...)" and so on
  std::vector<std::string> written;
  int fail_write_at = -1;  // the n-th write fails with fail_code
  int16_t fail_code = E_BROKEN;
  int make_failures = 0;  // makes that fail with E_SYSERR/ENOENT first
  int closes = 0;
  // Open state.
  const FakeIndexedFile *open_file = nullptr;
  size_t next_record = 0;
};

inline FakeEngine &fake_engine() {
  static FakeEngine e;
  return e;
}

namespace fake {

inline void *open_input(const char *path) {
  auto &e = fake_engine();
  auto it = e.files.find(path);
  if (it == e.files.end()) {
    *fs_error_code() = E_FILE_TYPE;
    return nullptr;
  }
  e.open_file = &it->second;
  e.next_record = 0;
  return &e;
}

inline int info(void *, int32_t code, char *out) {
  const FakeIndexedFile &f = *fake_engine().open_file;
  if (code == f.broken_info) {
    *fs_error_code() = E_BROKEN;
    *fs_error_secondary() = 4;
    return 0;
  }
  switch (code) {
    case archive::kInfoRecordParameters:
      strcpy(out, f.record_parameters.c_str());
      return 1;
    case archive::kInfoPhysicalParameters:
      strcpy(out, f.physical_parameters.c_str());
      return 1;
    case archive::kInfoComment:
      strcpy(out, f.comment.c_str());
      return 1;
    case archive::kInfoRecordCount:
      sprintf(out, "%010ld", static_cast<long>(f.records.size()));
      return 1;
    case archive::kInfoTranslationTable:
      if (f.table.empty()) {
        *fs_error_code() = E_UNSUPPORTED;
        return 0;
      }
      memcpy(out, f.table.data(), 256);
      return 1;
    default:
      if (code < 0 || code >= static_cast<int32_t>(f.keys.size())) {
        *fs_error_code() = E_PARAM;
        return 0;
      }
      strcpy(out, f.keys[static_cast<size_t>(code)].c_str());
      return 1;
  }
}

inline int start_first(void *, char *) {
  auto &e = fake_engine();
  e.next_record = 0;
  if (e.open_file->records.empty()) {
    *fs_error_code() = E_NOT_FOUND;
    return 0;
  }
  return 1;
}

inline uint32_t next(void *, char *record) {
  auto &e = fake_engine();
  const FakeIndexedFile &f = *e.open_file;
  if (f.fail_after >= 0 && e.next_record == static_cast<size_t>(f.fail_after)) {
    *fs_error_code() = E_BROKEN;
    *fs_error_secondary() = 9;
    return 0;
  }
  if (e.next_record >= f.records.size()) {
    *fs_error_code() = E_NOT_FOUND;
    return 0;
  }
  const std::string &r = f.records[e.next_record++];
  memcpy(record, r.data(), r.size());
  return static_cast<uint32_t>(r.size());
}

inline int close(void *) {
  ++fake_engine().closes;
  fake_engine().calls.push_back("close");
  return 1;
}

inline std::string show(const char *s) {
  return s ? std::string(s) : std::string("<null>");
}

inline int fail_make_once() {
  auto &e = fake_engine();
  if (e.make_failures > 0) {
    --e.make_failures;
    *fs_error_code() = E_SYSERR;
    errno = ENOENT;
    return 1;
  }
  return 0;
}

inline int make(const char *name, const char *comment, const char *physical,
                const char *record_parameters, const char *keys, const char *table) {
  fake_engine().calls.push_back("make(" + show(name) + "|" + show(comment) + "|" + show(physical) +
                                "|" + show(record_parameters) + "|" + show(keys) + "|" +
                                (table ? std::string(table, 256) : "<null>") + ")");
  return fail_make_once() ? 0 : 1;
}

inline int make_v4(const char *name, const char *keys, const char *comment) {
  fake_engine().calls.push_back("v_make(" + show(name) + "|" + show(keys) + "|" + show(comment) +
                                ")");
  return fail_make_once() ? 0 : 1;
}

inline int make_v2(const char *name, const char *p, const char *q) {
  fake_engine().calls.push_back("v2_make(" + show(name) + "|" + show(p) + "|" + show(q) + ")");
  return fail_make_once() ? 0 : 1;
}

inline void *open_restore(const char *name) {
  fake_engine().calls.push_back("open(" + show(name) + ")");
  return &fake_engine();
}

inline int write(void *, const char *record, uint32_t length) {
  auto &e = fake_engine();
  int n = static_cast<int>(e.written.size());
  e.written.emplace_back(record, length);
  if (n == e.fail_write_at) {
    *fs_error_code() = e.fail_code;
    return 0;
  }
  return 1;
}

inline int remove(const char *name) {
  fake_engine().calls.push_back("remove(" + show(name) + ")");
  return 1;
}

}  // namespace fake

inline void install_fake_engine() {
  static const archive::IndexedOps ops = {
      fake::open_input, fake::info,    fake::start_first,  fake::next,  fake::close, fake::make,
      fake::make_v4,    fake::make_v2, fake::open_restore, fake::write, fake::remove};
  fake_engine() = FakeEngine{};
  archive::indexed_set_ops(&ops);
}

}  // namespace kel::test
