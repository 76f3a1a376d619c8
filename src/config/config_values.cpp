// Values of configuration variables: typed storage, applying a value text,
// the typed getters and the setters.
//
// Typed storage of a variable, by type (multi-byte numbers high byte
// first):
//
//   type        width  content
//   Bool        1      0 or 1
//   Tinyint     1      signed 8-bit
//   Byte        1      first character of the text, 0 when empty
//   short       2      signed 16-bit
//   long        4      signed 32-bit
//   16string    17     text of at most 16 characters, zero-filled
//   65string    66     text of at most 65 characters, zero-filled
//   256string   257    text of at most 256 characters, zero-filled
//
// Raw variables keep only their value text; a Func variable keeps what its
// callback returned.
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_internal.h"
#include "kelfs/config.h"  // the public declarations must match these definitions
#include "support/alloc.h"
#include "support/be.h"

namespace kel::cfg {
namespace {

constexpr ConfigKeyword kBoolKeywords[] = {
    {"1", 1}, {"0", 0}, {"ON", 1}, {"OFF", 0}, {"TRUE", 1}, {"FALSE", 0}, {"YES", 1}, {"NO", 0},
};
constexpr int32_t kBoolKeywordCount = sizeof kBoolKeywords / sizeof kBoolKeywords[0];
// Longer texts are shown cut in the verbose report.
constexpr size_t kShownText = 95;

int32_t storage_width(int32_t type) {
  switch (type) {
    case CFG_BOOL:
    case CFG_TINYINT:
    case CFG_BYTE:
      return 1;
    case CFG_SHORT:
      return 2;
    case CFG_LONG:
      return 4;
    case CFG_STRING16:
      return 17;
    case CFG_STRING65:
      return 66;
    case CFG_STRING256:
      return 257;
    default:
      return 0;
  }
}

bool is_number_type(int32_t type) {
  return type == CFG_BOOL || type == CFG_TINYINT || type == CFG_SHORT || type == CFG_LONG;
}

bool is_string_type(int32_t type) {
  return type == CFG_STRING16 || type == CFG_STRING65 || type == CFG_STRING256;
}

[[noreturn]] void out_of_memory() {
  say(827, 0, "*** Out of Memory ***\n", {});
  exit(255);
}

// The variable's typed storage, carved on first use. Without memory the
// process cannot go on with a consistent configuration and ends.
unsigned char *obtain_storage(Set &s, Variable &v) {
  if (v.storage != nullptr) return v.storage;
  int32_t width = storage_width(v.type);
  if (s.current_block < 0 || s.used + width > kStorageBlock) {
    if (s.current_block + 1 >= s.block_capacity) {
      int32_t grown = s.block_capacity + kStorageBlockGrowth;
      size_t bytes = sizeof(unsigned char *) * static_cast<size_t>(grown);
      auto **blocks = static_cast<unsigned char **>(
          s.blocks ? KEL_REALLOC(s.blocks, bytes) : KEL_ALLOC(bytes, "config storage blocks"));
      if (blocks == nullptr) out_of_memory();
      s.blocks = blocks;
      s.block_capacity = grown;
    }
    auto *block = static_cast<unsigned char *>(KEL_ALLOC(kStorageBlock, "config storage"));
    if (block == nullptr) out_of_memory();
    s.blocks[++s.current_block] = block;
    s.used = 0;
  }
  v.storage = s.blocks[s.current_block] + s.used;
  s.used += width;
  return v.storage;
}

void store_number(unsigned char *p, int32_t type, int32_t number) {
  switch (type) {
    case CFG_BOOL:
      p[0] = number != 0;
      break;
    case CFG_TINYINT:
    case CFG_BYTE:
      p[0] = static_cast<unsigned char>(number);
      break;
    case CFG_SHORT:
      store_be16(p, static_cast<uint16_t>(number));
      break;
    case CFG_LONG:
      store_be32(p, static_cast<uint32_t>(number));
      break;
    default:
      break;
  }
}

// Zero-filled, cut at the type's width.
void store_text(unsigned char *p, int32_t type, const char *text) {
  size_t width = static_cast<size_t>(storage_width(type));
  memset(p, 0, width);
  if (text != nullptr) strncpy(reinterpret_cast<char *>(p), text, width - 1);
}

int32_t stored_number(const Variable &v) {
  const unsigned char *p = v.storage;
  switch (v.type) {
    case CFG_BOOL:
      return p[0];
    case CFG_TINYINT:
    case CFG_BYTE:
      return static_cast<int8_t>(p[0]);
    case CFG_SHORT:
      return static_cast<int16_t>(load_be16(p));
    case CFG_LONG:
      return static_cast<int32_t>(load_be32(p));
    default:
      return 0;
  }
}

// The default word read in the width of the type.
int32_t default_number(const Variable &v) {
  switch (v.type) {
    case CFG_BOOL:
      return static_cast<int8_t>(v.default_number) != 0;
    case CFG_TINYINT:
    case CFG_BYTE:
      return static_cast<int8_t>(v.default_number);
    case CFG_SHORT:
      return static_cast<int16_t>(v.default_number);
    default:
      return v.default_number;
  }
}

// The text a getter or a callback sees.
const char *current_text(const Variable &v) {
  if (is_string_type(v.type) && v.storage) return reinterpret_cast<const char *>(v.storage);
  if (is_string_type(v.type)) return v.default_text;
  return v.has_value ? v.value.c_str() : v.default_text;
}

int32_t parse_as(const Variable &v, const char *text, bool verbose) {
  if (v.type == CFG_BOOL) return cfg_parse_number(text, kBoolKeywords, kBoolKeywordCount, verbose);
  return cfg_parse_number(text, v.keywords, v.keyword_count, verbose);
}

void report_user_set(const Variable &v) {
  say(1391, 0, "Set variable '%s' to value", {v.name.c_str()});
  say(1391, 1, " '%s'\n", {v.has_value ? v.value.c_str() : "(nil)"});
}

void report_text_set(const Variable &v) {
  CfgString shown = v.has_value ? v.value : "";
  if (shown.size() > kShownText) shown = shown.substr(0, kShownText) + " ...";
  say(706, 0, "Set parameter '%1' to '%2'\n", {v.name.c_str(), shown.c_str()});
}

// A user-defined variable read through a typed getter takes that type, and
// its text is parsed as such.
int32_t user_number(Variable &v, int32_t type) {
  v.type = type;
  if (!v.has_value) return 0;
  const char *text = v.value.c_str();
  if (type == CFG_BYTE) return static_cast<int8_t>(text[0]);
  if (type == CFG_BOOL) return cfg_parse_number(text, kBoolKeywords, kBoolKeywordCount, false) != 0;
  return cfg_parse_number(text, nullptr, 0, false);
}

Variable *query(const char *name, int32_t set) {
  Set *s = existing_set(set);
  if (s == nullptr || name == nullptr) return nullptr;
  Variable *v = find(*s, name);
  if (v != nullptr) ++v->query_count;
  return v;
}

int32_t get_number(const char *name, int32_t set, int32_t type) {
  Variable *v = query(name, set);
  if (v == nullptr) return 0;
  return v->user_defined() ? user_number(*v, type) : current_number(*v);
}

// The variable to set, a new user-defined one of `user_type` when unknown.
Variable *target(Set &s, const char *name, int32_t user_type) {
  Variable *v = find(s, name);
  if (v == nullptr) {
    v = add_user_variable(s, name);
    if (v == nullptr) return nullptr;
    v->type = user_type;
  }
  return v;
}

void take_text(Variable &v, const CfgString &text) {
  v.value = text;
  v.has_value = true;
  v.value_list.clear();
  ++v.set_count;
}

void notify(Set &s, Variable &v, const char *text, int32_t number) {
  if (v.callback == nullptr) return;
  intptr_t result = v.callback(v.name.c_str(), text, number, s.verbose());
  if (v.type == CFG_FUNC) v.func_value = result;
}

// The typed setters of numbers: the value is stored in the variable's own
// type (a string variable stores its decimal text).
int set_number(const char *name, int32_t set, int32_t user_type, int32_t number,
               const CfgString &text) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *found = target(*s, name, user_type);
  if (found == nullptr) return 0;
  Variable &v = *found;
  take_text(v, text);
  if (v.user_defined()) return 1;
  if (is_number_type(v.type) || v.type == CFG_BYTE) {
    if (v.type == CFG_BOOL) number = number != 0;
    store_number(obtain_storage(*s, v), v.type, number);
    write_bound(v, number);
  } else if (is_string_type(v.type)) {
    store_text(obtain_storage(*s, v), v.type, text.c_str());
  }
  notify(*s, v, v.value.c_str(), number);
  return 1;
}

}  // namespace

void apply_value(Set &s, Variable &v) {
  bool verbose = s.verbose();
  if (v.user_defined()) {
    if (verbose) report_user_set(v);
    return;
  }
  const char *text = v.has_value ? v.value.c_str() : nullptr;
  int32_t number = 0;
  if (is_number_type(v.type)) {
    unsigned char *p = obtain_storage(s, v);
    number = parse_as(v, text, verbose);
    if (v.type == CFG_BOOL) {
      number = number != 0;
      v.value = number ? "TRUE" : "FALSE";
    }
    store_number(p, v.type, number);
    write_bound(v, number);
    if (verbose) {
      CfgString shown = decimal(stored_number(v));
      say(707, 0, "Set parameter '%1' to %2\n", {v.name.c_str(), shown.c_str()});
    }
  } else if (v.type == CFG_BYTE) {
    number = text ? static_cast<int8_t>(text[0]) : 0;
    store_number(obtain_storage(s, v), v.type, number);
    write_bound(v, number);
  } else if (is_string_type(v.type)) {
    store_text(obtain_storage(s, v), v.type, text);
  } else if (v.type == CFG_FUNC) {
    v.func_value = v.callback ? v.callback(v.name.c_str(), text, 0, verbose) : 0;
  }
  if (v.type != CFG_FUNC && v.callback) {
    const char *seen = v.has_value ? current_text(v) : nullptr;
    v.callback(v.name.c_str(), seen, v.type == CFG_RAW ? 0 : number, 0);
  }
  if (verbose && !is_number_type(v.type)) report_text_set(v);
}

int32_t current_number(const Variable &v) {
  if (v.type == CFG_FUNC) return static_cast<int32_t>(v.func_value);
  if (is_number_type(v.type) || v.type == CFG_BYTE)
    return v.storage ? stored_number(v) : default_number(v);
  const char *text = current_text(v);
  return text ? parse_as(v, text, false) : 0;
}

// Bool and Byte: 1 byte; Tinyint (sign-extended) and short: 16 bits;
// long: 32 bits. Other types bind nothing.
void write_bound(const Variable &v, int32_t number) {
  if (v.bound == nullptr) return;
  switch (v.type) {
    case CFG_BOOL:
    case CFG_BYTE:
      *static_cast<uint8_t *>(v.bound) = static_cast<uint8_t>(number);
      break;
    case CFG_TINYINT:
      *static_cast<int16_t *>(v.bound) = static_cast<int8_t>(number);
      break;
    case CFG_SHORT:
      *static_cast<int16_t *>(v.bound) = static_cast<int16_t>(number);
      break;
    case CFG_LONG:
      *static_cast<int32_t *>(v.bound) = number;
      break;
    default:
      break;
  }
}

void clear_value(Variable &v) {
  v.has_value = false;
  v.value.clear();
  v.storage = nullptr;  // its bytes stay in the set's block until the set goes
  v.func_value = 0;
}

const char *type_name(int32_t type) {
  static const char *const kNames[] = {"Raw",  "Bool",     "Tinyint",  "Byte",      "short",
                                       "long", "16string", "65string", "256string", "Func"};
  return (type >= CFG_RAW && type <= CFG_FUNC) ? kNames[type - CFG_RAW] : "unknown";
}

}  // namespace kel::cfg

using namespace kel::cfg;

extern "C" int cfg_get_bool(const char *name, int32_t set) {
  return get_number(name, set, CFG_BOOL) != 0;
}
extern "C" int8_t cfg_get_tinyint(const char *name, int32_t set) {
  return static_cast<int8_t>(get_number(name, set, CFG_TINYINT));
}
extern "C" char cfg_get_byte(const char *name, int32_t set) {
  return static_cast<char>(get_number(name, set, CFG_BYTE));
}
extern "C" int16_t cfg_get_short(const char *name, int32_t set) {
  return static_cast<int16_t>(get_number(name, set, CFG_SHORT));
}
extern "C" int32_t cfg_get_long(const char *name, int32_t set) {
  return get_number(name, set, CFG_LONG);
}

extern "C" const char *cfg_get_string(const char *name, int32_t set) {
  Variable *v = query(name, set);
  if (v == nullptr) return nullptr;
  if (v->user_defined()) return v->has_value ? v->value.c_str() : nullptr;
  return current_text(*v);
}

extern "C" int32_t cfg_get_type(const char *name, int32_t set) {
  Set *s = existing_set(set);
  Variable *v = (s && name) ? find(*s, name) : nullptr;
  return v ? v->type : 0;
}

extern "C" const char *cfg_get_value_list(const char *name, int32_t set) {
  Set *s = existing_set(set);
  Variable *v = (s && name) ? find(*s, name) : nullptr;
  return (v && !v->value_list.empty()) ? v->value_list.data() : nullptr;
}

extern "C" const char *cfg_get_comment(const char *name, int32_t set) {
  Set *s = existing_set(set);
  Variable *v = (s && name) ? find(*s, name) : nullptr;
  return (v && v->has_comment) ? v->comment.c_str() : nullptr;
}

extern "C" uint8_t *cfg_get_base64(const char *name, int32_t set, int32_t *length) {
  if (length) *length = 0;
  Variable *v = query(name, set);
  if (v == nullptr || !v->has_value) return nullptr;
  size_t chars = v->value.size();
  auto *bytes = static_cast<uint8_t *>(KEL_ALLOC(3 * ((chars + 3) / 4) + 1, "config base64 value"));
  if (bytes == nullptr) return nullptr;
  int32_t n = kel::base64_decode(v->value.c_str(), bytes);
  if (length) *length = n;
  return bytes;
}

extern "C" int cfg_set_tinyint(const char *name, int32_t set, int8_t value) {
  return set_number(name, set, CFG_TINYINT, value, decimal(value));
}
extern "C" int cfg_set_byte(const char *name, int32_t set, char value) {
  return set_number(name, set, CFG_BYTE, static_cast<int8_t>(value),
                    value ? CfgString(1, value) : CfgString());
}
extern "C" int cfg_set_short(const char *name, int32_t set, int16_t value) {
  return set_number(name, set, CFG_SHORT, value, decimal(value));
}
extern "C" int cfg_set_long(const char *name, int32_t set, int32_t value) {
  return set_number(name, set, CFG_LONG, value, decimal(value));
}

// A string variable stores the text cut at its width; a number or Func
// variable parses it as a value text would be.
extern "C" int cfg_set_string(const char *name, int32_t set, const char *value) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *found = target(*s, name, CFG_STRING256);
  if (found == nullptr) return 0;
  Variable &v = *found;
  take_text(v, value ? value : "");
  if (v.user_defined()) return 1;
  if (is_string_type(v.type)) {
    store_text(obtain_storage(*s, v), v.type, v.value.c_str());
    notify(*s, v, current_text(v), 0);
  } else if (v.type == CFG_RAW) {
    notify(*s, v, v.value.c_str(), 0);
  } else {
    apply_value(*s, v);
  }
  return 1;
}

// The raw text replaces the value text without being parsed. A null text
// clears the value: typed storage is dropped as well, so that getters and
// the bound variable return to the default, and the callback hears of it
// with no value.
extern "C" int cfg_set_raw(const char *name, int32_t set, const char *text) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *v = find(*s, name);
  if (v == nullptr && text == nullptr) return 1;
  if (v == nullptr && (v = add_user_variable(*s, name)) == nullptr) return 0;
  if (text != nullptr) {
    take_text(*v, text);
  } else {
    clear_value(*v);
    v->value_list.clear();
    ++v->set_count;
    write_bound(*v, current_number(*v));
  }
  if (!v->user_defined()) notify(*s, *v, text, 0);
  return 1;
}

extern "C" int cfg_set_base64(const char *name, int32_t set, const uint8_t *bytes, int32_t length) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr || length < 0) return 0;
  CfgString text(4 * ((static_cast<size_t>(length) + 2) / 3) + 1, '\0');
  kel::base64_encode(bytes, length, text.data());
  text.resize(strlen(text.c_str()));
  Variable *v = find(*s, name);
  if (v == nullptr && (v = add_user_variable(*s, name)) == nullptr) return 0;
  v->value = text;
  v->has_value = true;
  v->value_list.clear();
  if (!v->user_defined()) notify(*s, *v, v->value.c_str(), 0);
  return 1;
}

extern "C" int cfg_set_value_list(const char *name, int32_t set, const char *const *strings) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *v = find(*s, name);
  if (v == nullptr && (v = add_user_variable(*s, name)) == nullptr) return 0;
  v->value_list.clear();
  for (const char *const *p = strings; p && *p && **p; ++p) {
    v->value_list += *p;
    v->value_list += '\0';
  }
  if (!v->value_list.empty()) v->value_list += '\0';
  return 1;
}

extern "C" int cfg_set_comment(const char *name, int32_t set, const char *text) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *v = find(*s, name);
  if (v == nullptr && text == nullptr) return 1;
  if (v == nullptr && (v = add_user_variable(*s, name)) == nullptr) return 0;
  v->has_comment = text != nullptr;
  v->comment = text ? text : "";
  ++v->set_count;
  return 1;
}

extern "C" int cfg_set_programmatic(const char *name, int32_t name_length, const char *value,
                                    int32_t value_length, int32_t set) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  CfgString key(name, name_length < 0 ? strlen(name) : static_cast<size_t>(name_length));
  for (char &c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  CfgString text;
  if (value)
    text.assign(value, value_length < 0 ? strlen(value) : static_cast<size_t>(value_length));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
  Variable *v = find(*s, key);
  if (v == nullptr) {
    Variable *u = add_user_variable(*s, key);
    if (u == nullptr) return 0;
    take_text(*u, text);
    if (s->verbose()) report_user_set(*u);
    return 1;
  }
  if (!v->user_defined() && v->definition_flags == 1) return 1;
  take_text(*v, text);
  apply_value(*s, *v);
  return 1;
}

extern "C" int cfg_apply_environment(int32_t set) {
  Set *s = set_in_use(set);
  if (s == nullptr) return 0;
  for (auto &[name, v] : s->variables) {
    if (v->user_defined()) continue;
    const char *env = getenv(name.c_str());
    if (env == nullptr || (v->has_value && v->value == env)) continue;
    take_text(*v, env);
    apply_value(*s, *v);
  }
  return 1;
}
