// Writing the variables of a set to a text file, and the usage statistics
// written when a set with statistics on is released.
//
// File layout, for each variable in name order: its comment line when it
// has one, then one entry per value (each text of its value list, else its
// value text, else one empty value): "NAME value\n", or, when the value is
// longer than 78 minus the length of the name, "NAME" followed by
// continuation lines "\n\t- " of 68 characters each and a final newline.
#include <cstring>
#include <string>
#include <vector>

#include "config_internal.h"
#include "layer/layer.h"

namespace kel::cfg {
namespace {

constexpr size_t kLineWidth = 78;
constexpr size_t kContinuationWidth = 68;
constexpr const char *kStatisticsFile = "cfgstats.out";

bool write_entry(void *f, const CfgString &name, const CfgString &value) {
  if (value.size() + name.size() <= kLineWidth)
    return Astream_printf(f, "%s %s\n", name.c_str(), value.c_str()) >= 0;
  bool ok = Astream_puts(name.c_str(), f) >= 0;
  for (size_t at = 0; at < value.size(); at += kContinuationWidth) {
    CfgString piece = value.substr(at, kContinuationWidth);
    ok = Astream_printf(f, "\n\t- %s", piece.c_str()) >= 0 && ok;
  }
  return Astream_puts("\n", f) >= 0 && ok;
}

std::vector<CfgString, Described<CfgString, kTextDescription>> values_of(const Variable &v) {
  std::vector<CfgString, Described<CfgString, kTextDescription>> values;
  for (const char *p = v.value_list.c_str(); !v.value_list.empty() && *p; p += strlen(p) + 1)
    values.emplace_back(p);
  if (values.empty()) values.push_back(v.has_value ? v.value : "");
  return values;
}

}  // namespace

void write_statistics(const Set &set) {
  void *f = Astream_open(kStatisticsFile, "w");
  if (f == nullptr) return;
  int32_t total = 0;
  for (const auto &[name, v] : set.variables) {
    if (v->set_count == 0 && v->query_count == 0) continue;
    Astream_printf(f, "%s: type %s, set %d times, queried %d times\n", name.c_str(),
                   type_name(v->type), v->set_count, v->query_count);
    total += v->set_count + v->query_count;
  }
  Astream_printf(f, "total variable lookups: %d\n", total);
  Astream_close(f);
}

}  // namespace kel::cfg

using namespace kel::cfg;

extern "C" int cfg_write_file(const char *path, int32_t set) {
  Set *s = set_in_use(set);
  if (s == nullptr || path == nullptr) return 0;
  void *f = Astream_open(path, "w");
  if (f == nullptr) return 0;
  bool ok = true;
  for (const auto &[name, v] : s->variables) {
    if (v->has_comment) ok = Astream_printf(f, "%s\n", v->comment.c_str()) >= 0 && ok;
    for (const CfgString &value : values_of(*v)) ok = write_entry(f, name, value) && ok;
  }
  ok = Astream_close(f) == 0 && ok;
  return ok ? 1 : 0;
}
