// info, check, copy and rebuild.
#include <cstring>

#include "tool.h"

namespace kel::tools {

namespace {

// An open file closed on every way out.
class OpenFile {
 public:
  explicit OpenFile(DorvexFile *file) : file_(file) {}
  ~OpenFile() {
    if (file_ != nullptr) v5_close(file_);
  }
  OpenFile(const OpenFile &) = delete;
  OpenFile &operator=(const OpenFile &) = delete;
  DorvexFile *get() const { return file_; }
  bool close() {
    DorvexFile *f = file_;
    file_ = nullptr;
    return v5_close(f) != 0;
  }

 private:
  DorvexFile *file_;
};

void print_key(int k, const std::string &text) {
  // "SS,D" then ",SIZE,OFFSET" per segment.
  int segments = 0, dups = 0;
  sscanf(text.c_str(), "%d,%d", &segments, &dups);
  printf("key %d: %s  (%s;", k, text.c_str(), dups ? "duplicates" : "unique");
  const char *p = text.c_str();
  for (int i = 0; i < 2 && p; ++i) p = strchr(p + 1, ',');
  for (int s = 0; s < segments && p; ++s) {
    long size = 0, offset = 0;
    if (sscanf(p, ",%ld,%ld", &size, &offset) != 2) break;
    printf(" %ld bytes at %ld", size, offset);
    for (int i = 0; i < 2 && p; ++i) p = strchr(p + 1, ',');
  }
  printf(")\n");
}

// Copies every record of `from`, an open file, into the file `to` made
// like it; `records` gets the count. The source of the records: key 0's
// order, or (physical) the data slots in stored order, which reads no
// tree.
bool copy_records(DorvexFile *from, const Layout &layout, const char *to, bool physical,
                  int64_t *records, int64_t *rejected, std::string *failed_name) {
  *failed_name = to;
  if (!make_like(to, layout)) return false;
  Loader loader;
  if (!loader.open(to)) return false;
  std::vector<char> record(static_cast<size_t>(layout.max_record) + 1);
  bool added = true, read;
  *records = 0;
  auto add = [&](const char *r, uint32_t n) {
    ++*records;
    return added = loader.add(r, n);
  };
  if (physical) {
    read = v5_nkrstart(from) >= 0;
    uint32_t n;
    while (read && (n = v5_nkrnext(from, record.data())) > 0) {
      if (!add(record.data(), n)) break;
    }
    read = read && added && *fs_error_code() == E_NOT_FOUND;
  } else {
    read = walk_key(from, layout, 0, record, add);
  }
  if (!added) return false;
  if (!read) {
    *failed_name = "";
    return false;
  }
  if (!loader.finish()) return false;
  *rejected = loader.rejected();
  return true;
}

}  // namespace

int info_command(const char *name) {
  // A file marked broken is shown too, with its mark.
  DorvexFile *f = v5_open(name, KEL_OPEN_INPUT, nullptr);
  std::string mark;
  if (f == nullptr && *fs_error_code() == E_BROKEN) {
    mark = fs_reason();
    // Every header read checks the mark again, so the setting stays on
    // for the rest of the command.
    force_open(true);
    f = v5_open(name, KEL_OPEN_INPUT, nullptr);
  }
  if (f == nullptr) return fail_fs(name);
  OpenFile file(f);
  Layout layout;
  std::string deleted, counts;
  char sizes[4096] = {};
  if (!describe(f, &layout) || !v5_info(f, V5_INFO_SEGMENT_COUNTS, sizes)) return fail_fs(name);
  counts = sizes;
  char text[512] = {};
  v5_info(f, V5_INFO_DELETED_COUNT, text);
  deleted = text;
  printf("file: %s\n", name);
  if (!mark.empty()) printf("marked: %s\n", mark.c_str());
  printf("version: %d\n", layout.version);
  printf("comment: %s\n", layout.comment.c_str());
  printf("record parameters: %s  (records of %lld to %lld bytes, %zu keys)\n",
         layout.record_parameters.c_str(), static_cast<long long>(layout.min_record),
         static_cast<long long>(layout.max_record), layout.keys.size());
  printf("physical parameters: %s  (node blocks, -, extension, compression, scrambling)\n",
         layout.physical_parameters.c_str());
  printf("translation table: %s\n", layout.has_table ? "yes" : "none");
  for (size_t k = 0; k < layout.keys.size(); ++k) print_key(static_cast<int>(k), layout.keys[k]);
  printf("records: %lld\n", static_cast<long long>(layout.records));
  printf("deleted records: %lld\n", atoll(deleted.c_str()));
  // Segment names and sizes: a 128-byte name and "%010ld" per segment.
  int data = 0, index = 0;
  sscanf(counts.c_str(), "%d,%d", &data, &index);
  const int segments = layout.version >= 4 ? data + index : 1;
  std::vector<char> names(static_cast<size_t>(segments) * 138 + 1);
  if (layout.version >= 4 && v5_info(f, V5_INFO_SEGMENT_NAMES, names.data())) {
    printf("segments: %d data, %d index\n", data, index);
    for (int s = 0; s < segments; ++s) {
      const char *entry = names.data() + s * 138;
      printf("  %-40.128s %lld bytes\n", entry, atoll(std::string(entry + 128, 10).c_str()));
    }
  } else {
    v5_info(f, V5_INFO_SEGMENT_SIZES, text);
    printf("segments: one file of %lld bytes\n", atoll(text));
  }
  return file.close() ? kExitOk : fail_fs(name);
}

// The check opens the file past its broken codes (V_FORCE_OPEN), so that
// it reports every problem, a broken or incomplete mark among them. It
// holds the file exclusively for update when it may: a file that a process
// left open for update when it ended, and that the check finds sound, gets
// its count of openers for update reset and opens normally again.
int check_command(const char *name) {
  force_open(true);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, nullptr);
  if (f == nullptr) f = v5_open(name, KEL_OPEN_INPUT, nullptr);
  force_open(false);
  if (f == nullptr) return fail_fs(name);
  OpenFile file(f);
  const bool sound = v5_check(f, V5_CHECK_CLEAR_DEAD_WRITERS) != 0;
  const bool checked = sound || (*fs_error_code() == E_BROKEN && *fs_error_secondary() == 27);
  fputs(v5_check_report(), stdout);
  if (!checked) return fail_fs(name);
  if (!file.close()) return fail_fs(name);
  return sound ? kExitOk : kExitProblems;
}

int copy_command(const char *from, const char *to) {
  if (indexed_file_exists(to)) return fail(to, "exists; remove it first");
  DorvexFile *f = v5_open(from, KEL_OPEN_INPUT | KEL_OPEN_DENY_WRITE, nullptr);
  if (f == nullptr) return fail_fs(from);
  OpenFile file(f);
  Layout layout;
  if (!describe(f, &layout)) return fail_fs(from);
  int64_t records = 0, rejected = 0;
  std::string failed_name;
  if (!copy_records(f, layout, to, false, &records, &rejected, &failed_name)) {
    int status = fail_fs(failed_name.empty() ? from : failed_name);
    v5_remove(to);
    return status;
  }
  if (records != layout.records) {
    v5_remove(to);
    return fail(from, "key 0 reaches " + std::to_string(records) + " records, the header counts " +
                          std::to_string(layout.records) + "; run \"dorvex-tool check\"");
  }
  fprintf(stderr, "dorvex-tool: %s: %lld records copied to %s\n", from,
          static_cast<long long>(records - rejected), to);
  if (rejected > 0) {
    fprintf(stderr, "dorvex-tool: %s: %lld records rejected as duplicates of a unique key\n", to,
            static_cast<long long>(rejected));
    return kExitProblems;
  }
  return kExitOk;
}

// The records are read from the data slots in stored order (versions 4
// and 5), so no tree is needed; version 2 and 3 files have no such scan
// here, and their records come from the first key whose order reaches
// every record the header counts. The new file is made beside the old
// one as rebuild-NAME, filled by bulk addition and checked; only then
// does it take the old one's name. The old file is removed, or kept as
// before-rebuild-NAME with --keep. The scan reads as many records as the
// header counts: a header whose count is wrong is beyond a rebuild.
int rebuild_command(const char *name, bool keep) {
  const std::string fresh = with_prefix(name, "rebuild-");
  const std::string kept = with_prefix(name, "before-rebuild-");
  if (indexed_file_exists(fresh.c_str())) return fail(fresh, "exists; remove it first");
  if (keep && indexed_file_exists(kept.c_str())) return fail(kept, "exists; remove it first");
  // On for the whole command: every header read of the old file, its
  // close among them, checks its marks again.
  force_open(true);
  DorvexFile *f = v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE, nullptr);
  if (f == nullptr) return fail_fs(name);
  OpenFile file(f);
  Layout layout;
  if (!describe(f, &layout)) return fail_fs(name);
  int64_t records = 0, rejected = 0;
  std::string failed_name;
  bool copied = false;
  if (layout.version >= 4) {
    copied = copy_records(f, layout, fresh.c_str(), true, &records, &rejected, &failed_name);
  } else {
    // The first key whose walk reaches every record.
    std::vector<char> record;
    for (size_t k = 0; k < layout.keys.size() && !copied; ++k) {
      int64_t count = 0;
      if (!walk_key(f, layout, static_cast<int>(k), record,
                    [&](const char *, uint32_t) { return ++count, true; }) ||
          count != layout.records)
        continue;
      copied = copy_records(f, layout, fresh.c_str(), false, &records, &rejected, &failed_name);
    }
    if (!copied && failed_name.empty()) {
      return fail(name, "no key's order reaches every record (a version " +
                            std::to_string(layout.version) + " file is rebuilt from one of them)");
    }
  }
  if (!copied) {
    int status = fail_fs(failed_name.empty() ? name : failed_name);
    v5_remove(fresh.c_str());
    return status;
  }
  if (rejected > 0) {
    v5_remove(fresh.c_str());
    return fail(name, std::to_string(rejected) +
                          " records hold a unique key's value twice; the file is left as it was");
  }
  DorvexFile *made = v5_open(fresh.c_str(), KEL_OPEN_INPUT, nullptr);
  if (made == nullptr || !v5_check(made, 0)) {
    int status = fail_fs(fresh);
    if (made) fputs(v5_check_report(), stderr), v5_close(made);
    v5_remove(fresh.c_str());
    return status;
  }
  v5_close(made);
  if (!file.close()) return fail_fs(name);
  if (!(keep ? v5_rename(name, kept.c_str()) : v5_remove(name))) {
    int status = fail_fs(name);
    fprintf(stderr, "dorvex-tool: the rebuilt file is %s\n", fresh.c_str());
    return status;
  }
  if (!v5_rename(fresh.c_str(), name)) {
    int status = fail_fs(fresh);
    fprintf(stderr, "dorvex-tool: the rebuilt file is %s; rename it to %s\n", fresh.c_str(), name);
    return status;
  }
  fprintf(stderr, "dorvex-tool: %s: rebuilt, %lld records, %zu keys%s\n", name,
          static_cast<long long>(records), layout.keys.size(),
          keep ? (", the old file kept as " + kept).c_str() : "");
  return kExitOk;
}

}  // namespace kel::tools
