// Configuration texts over arbitrary bytes. The library reads no
// configuration file (it only writes one); its untrusted texts are the
// values given to cfg_set_programmatic and taken from the environment, the
// numbers with keywords and unit letters, Base64 and name translations.
//
// Input: lines "NAME value". Each sets NAME (defined variables of every
// type, or user-defined ones) through cfg_set_programmatic; afterwards
// every name is read back through every typed getter, Agetenv, Base64 and
// name translation, each value is parsed as a number with keywords, the
// set is written out as a file, and the library is released.
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "fuzz/fuzz.h"
#include "support/alloc.h"

namespace {

const ConfigKeyword kKeywords[] = {{"READ", 1}, {"WRITE", 2}, {"SHARED", 4}, {nullptr, 64}};

intptr_t on_change(const char *, const char *text, int32_t value, int) {
  return text ? static_cast<intptr_t>(strlen(text)) + value : 0;
}

const ConfigVarDef kTable[] = {
    {"F_RAW", CFG_RAW, 0, "raw", nullptr, 0, on_change, 0},
    {"F_BOOL", CFG_BOOL, 1, nullptr, nullptr, 0, on_change, 0},
    {"F_TINY", CFG_TINYINT, -3, nullptr, kKeywords, 4, on_change, 0},
    {"F_BYTE", CFG_BYTE, 'b', nullptr, nullptr, 0, on_change, 0},
    {"F_SHORT", CFG_SHORT, 300, nullptr, kKeywords, 3, on_change, 0},
    {"F_LONG", CFG_LONG, 70000, nullptr, kKeywords, 4, on_change, 0},
    {"F_S16", CFG_STRING16, 0, "sixteen", nullptr, 0, on_change, 0},
    {"F_S65", CFG_STRING65, 0, "sixty-five", nullptr, 0, on_change, 0},
    {"F_S256", CFG_STRING256, 0, "", nullptr, 0, on_change, 0},
    {"F_FUNC", CFG_FUNC, 0, nullptr, nullptr, 0, on_change, 0},
    {"F_FIXED", CFG_LONG, 5, nullptr, nullptr, 0, nullptr, 1},
};
constexpr int32_t kCount = sizeof kTable / sizeof kTable[0];

void read_back(const std::string &name, const std::string &value) {
  const char *n = name.c_str();
  cfg_get_bool(n, 0);
  cfg_get_tinyint(n, 0);
  cfg_get_byte(n, 0);
  cfg_get_short(n, 0);
  cfg_get_long(n, 0);
  cfg_get_string(n, 0);
  cfg_get_type(n, 0);
  cfg_get_value_list(n, 0);
  cfg_get_comment(n, 0);
  Agetenv(n);
  int32_t length = 0;
  if (uint8_t *decoded = cfg_get_base64(n, 0, &length)) KEL_FREE(decoded);
  int32_t kind = 0;
  cfg_translate_name(n, &kind);
  kel::cfg_parse_number(value.c_str(), kKeywords, 4, true);
  std::vector<uint8_t> bytes(3 * (value.size() / 4 + 1));
  kel::base64_decode(value.c_str(), bytes.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  kel::fuzz::InScratch scratch(kel::fuzz::Guard::kEscape);
  cfg_define_table(kTable, kCount, 0);
  cfg_set_verbose(1, 0);
  cfg_set_statistics(1, 0);
  std::vector<std::pair<std::string, std::string>> lines;
  std::istringstream text(std::string(reinterpret_cast<const char *>(data), size));
  for (std::string line; std::getline(text, line);) {
    size_t blank = line.find(' ');
    std::string name = line.substr(0, blank);
    std::string value = blank == std::string::npos ? "" : line.substr(blank + 1);
    cfg_set_programmatic(name.data(), static_cast<int32_t>(name.size()), value.data(),
                         static_cast<int32_t>(value.size()), 0);
    lines.emplace_back(name, value);
  }
  for (const auto &[name, value] : lines) read_back(name, value);
  for (const ConfigVarDef &d : kTable) read_back(d.name, "");
  if (!lines.empty()) {
    const std::string &v = lines[0].second;
    const char *list[] = {v.c_str(), "second", ""};
    cfg_set_value_list("F_S65", 0, list);
    cfg_set_comment("F_S65", 0, v.c_str());
    cfg_set_base64("F_RAW", 0, reinterpret_cast<const uint8_t *>(v.data()),
                   static_cast<int32_t>(v.size()));
    read_back("F_RAW", v);
  }
  cfg_write_file("written", 0);
  cfg_reset_all(0, 1);
  cfg_undefine_table(kTable, kCount, 0);
  cfg_release();
  return 0;
}
