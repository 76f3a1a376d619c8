// Describing an indexed file, making one like it, and the pieces every
// command shares: error lines, forced opens, bulk loading.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "kelfs/config.h"
#include "tool.h"

namespace kel::tools {

namespace {

// Every v5_info text but the segment names fits 512 bytes.
constexpr size_t kInfoText = 512;

bool info(DorvexFile *file, int32_t code, std::string *out) {
  char text[kInfoText] = {};
  if (!v5_info(file, code, text)) return false;
  *out = text;
  return true;
}

// The comma-separated numbers of a parameter text; false for anything else.
bool numbers_of(const std::string &text, std::vector<int64_t> *out) {
  out->clear();
  const char *p = text.c_str();
  while (*p != '\0') {
    char *end;
    long long v = strtoll(p, &end, 10);
    if (end == p || v < 0) return false;
    out->push_back(v);
    p = end;
    if (*p == ',')
      ++p;
    else if (*p != '\0')
      return false;
  }
  return !out->empty();
}

}  // namespace

std::string fs_reason() {
  int code = *fs_error_code();
  std::string reason = fs_error_text(code);
  if (code == E_BROKEN) {
    reason += " (code " + std::to_string(*fs_error_secondary()) + ")";
    if (*fs_error_secondary() == 25) reason += "; \"dorvex-tool check\" clears it when sound";
  } else if (code == E_NO_FILE && fs_missing_file_name()[0] != '\0') {
    reason += std::string(" (") + fs_missing_file_name() + ")";
  } else if (code == E_FILE_LOCKED && *fs_lock_holder() != 0) {
    reason += " (by process " + std::to_string(*fs_lock_holder()) + ")";
  }
  return reason;
}

int fail(const std::string &name, const std::string &reason) {
  fprintf(stderr, "dorvex-tool: %s: %s\n", name.c_str(), reason.c_str());
  return kExitFailed;
}

int fail_fs(const std::string &name) {
  return fail(name, fs_reason());
}

void force_open(bool on) {
  cfg_set_short("V_FORCE_OPEN", KELFS_CONFIG_SET, on ? 1 : 0);
}

std::string Layout::key_parameters() const {
  std::string joined;
  for (const std::string &k : keys) joined += (joined.empty() ? "" : ",") + k;
  return joined;
}

bool describe(DorvexFile *file, Layout *out) {
  std::string version, count;
  if (!info(file, V5_INFO_VERSION, &version) || !info(file, V5_INFO_RECORD_COUNT, &count) ||
      !info(file, V5_INFO_RECORD_PARAMS, &out->record_parameters) ||
      !info(file, V5_INFO_PHYSICAL_PARAMS, &out->physical_parameters) ||
      !info(file, V5_INFO_COMMENT, &out->comment))
    return false;
  out->version = atoi(version.c_str());
  out->records = atoll(count.c_str());
  char table[kInfoText];
  out->has_table = v5_info(file, V5_INFO_TRANSLATION_TABLE, table) != 0;
  if (!out->has_table && *fs_error_code() != E_UNSUPPORTED) return false;
  if (out->has_table) memcpy(out->table.data(), table, out->table.size());
  std::vector<int64_t> n;
  if (!numbers_of(out->record_parameters, &n) || n.size() < 3) {
    *fs_error_code() = E_BROKEN;
    return false;
  }
  out->keys.resize(static_cast<size_t>(n[2]));
  for (size_t k = 0; k < out->keys.size(); ++k) {
    if (!info(file, static_cast<int32_t>(k), &out->keys[k])) return false;
  }
  std::string reason;
  return complete_layout(out, &reason) || (*fs_error_code() = E_BROKEN, false);
}

bool complete_layout(Layout *layout, std::string *reason) {
  std::vector<int64_t> n;
  if (!numbers_of(layout->record_parameters, &n) || n.size() < 3 || n.size() > 4) {
    *reason = "record parameters \"" + layout->record_parameters + "\" are no \"MAX,MIN,KEYS\"";
    return false;
  }
  if (n[2] < 1 || static_cast<size_t>(n[2]) != layout->keys.size()) {
    *reason = "record parameters name " + std::to_string(n[2]) + " keys, " +
              std::to_string(layout->keys.size()) + " are described";
    return false;
  }
  layout->max_record = n[0];
  layout->min_record = n[1] == 0 ? n[0] : n[1];
  for (const std::string &k : layout->keys) {
    if (!numbers_of(k, &n) || n.size() < 4 || n.size() != static_cast<size_t>(2 + 2 * n[0])) {
      *reason = "key description \"" + k + "\" is no \"SEGMENTS,DUPS,SIZE,OFFSET...\"";
      return false;
    }
  }
  return true;
}

bool make_like(const char *name, const Layout &layout) {
  // The format version follows the original; V_VERSION is the file
  // system's own choice for every make, so it is put back afterwards.
  const int16_t version = cfg_get_short("V_VERSION", KELFS_CONFIG_SET);
  cfg_set_short("V_VERSION", KELFS_CONFIG_SET, static_cast<int16_t>(layout.version));
  const int made = v5_make(name, layout.comment.c_str(), layout.physical_parameters.c_str(),
                           layout.record_parameters.c_str(), layout.key_parameters().c_str(),
                           layout.has_table ? layout.table.data() : nullptr);
  const int16_t code = *fs_error_code();
  cfg_set_short("V_VERSION", KELFS_CONFIG_SET, version);
  *fs_error_code() = code;
  return made != 0;
}

// The index segment's name as the engine forms it by default
// (V_STRIP_DOT_EXTENSION on): the base name's extension replaced by
// ".vix", or ".vix" appended. "cust.dat" and "cust" share "cust.vix".
std::string index_segment_name(const std::string &name) {
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  const bool has_extension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (has_extension ? name.substr(0, dot) : name) + ".vix";
}

bool indexed_file_exists(const char *name) {
  struct stat st;
  return stat(name, &st) == 0 || stat(index_segment_name(name).c_str(), &st) == 0 ||
         stat((std::string(name) + ".vix").c_str(), &st) == 0;
}

std::string with_prefix(const char *name, const char *prefix) {
  const std::string n = name;
  const size_t slash = n.rfind('/');
  const size_t base = slash == std::string::npos ? 0 : slash + 1;
  return n.substr(0, base) + prefix + n.substr(base);
}

void lowest_key_record(const Layout &layout, int key, std::vector<char> &record) {
  record.assign(static_cast<size_t>(layout.max_record) + 1, 0);
  if (!layout.has_table) return;
  const auto *table = reinterpret_cast<const uint8_t *>(layout.table.data());
  int lowest = 0;
  for (int b = 1; b < 256; ++b) {
    if (table[b] < table[lowest]) lowest = b;
  }
  std::vector<int64_t> n;
  if (!numbers_of(layout.keys[static_cast<size_t>(key)], &n)) return;
  for (size_t i = 2; i + 1 < n.size(); i += 2) {
    if (n[i + 1] + n[i] <= layout.max_record)
      memset(record.data() + n[i + 1], lowest, static_cast<size_t>(n[i]));
  }
}

// ---------------------------------------------------------------- loader --

// The tool installs the duplicate hook while it loads: one loader at a
// time, so the count is process-wide.
namespace {
int64_t g_rejected = 0;
void count_rejected(DorvexFile *, const char *, uint32_t) {
  ++g_rejected;
}
}  // namespace

Loader::~Loader() {
  if (file_ != nullptr) v5_close(file_);
  v5_register_duplicate(nullptr);
}

bool Loader::open(const char *name) {
  g_rejected = 0;
  v5_register_duplicate(count_rejected);
  file_ =
      v5_open(name, KEL_OPEN_IO | KEL_OPEN_EXCLUSIVE | KEL_OPEN_DEFERRED | KEL_OPEN_BULK, nullptr);
  if (file_ == nullptr) return false;
  return v5_mark_incomplete(file_) != 0;
}

bool Loader::add(const char *record, uint32_t length) {
  if (v5_write(file_, record, length)) {
    ++added_;
    return true;
  }
  if (*fs_error_code() != E_DUPLICATE) return false;
  ++rejected_;
  return true;
}

bool Loader::finish() {
  if (file_ == nullptr) return false;
  const int closed = v5_close(file_);
  file_ = nullptr;
  rejected_ += g_rejected;
  added_ -= g_rejected;
  return closed != 0;
}

}  // namespace kel::tools
