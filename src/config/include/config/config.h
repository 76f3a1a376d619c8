// Configuration variables: named, typed values with compiled-in defaults.
// A module defines its variables once as a table of ConfigVarDef; any
// module then reads a value by name with a typed getter. A value comes from
// what was set (by a program call or by cfg_apply_environment), else from
// the definition's default. Typed getters never read the environment by
// themselves; Agetenv answers with the value text and falls back to the
// process environment.
#pragma once

#include <cstdint>

extern "C" {

enum ConfigType : int32_t {
  CFG_RAW = 1,        // only the value text
  CFG_BOOL = 2,       // 1 byte, 0 or 1
  CFG_TINYINT = 3,    // 1 byte, signed 8-bit
  CFG_BYTE = 4,       // 1 byte, first character of the text
  CFG_SHORT = 5,      // 2 bytes, signed 16-bit, high byte first
  CFG_LONG = 6,       // 4 bytes, 32-bit, most significant byte first
  CFG_STRING16 = 7,   // 17 bytes, text of at most 16 characters, zero-filled
  CFG_STRING65 = 8,   // 66 bytes
  CFG_STRING256 = 9,  // 257 bytes
  CFG_FUNC = 10,      // whatever the callback returns
};

struct ConfigKeyword {
  const char *text;  // null: catch-all, used when nothing else matches
  int32_t value;
};

// Called as (name, value text or null, parsed number, verbose); for a Func
// variable its result becomes the value.
typedef intptr_t (*ConfigCallback)(const char *name, const char *text, int32_t value, int verbose);

struct ConfigVarDef {
  const char *name;          // upper case, e.g. "V_BUFFERS"
  int32_t type;              // ConfigType
  int32_t default_number;    // default of types 2-6
  const char *default_text;  // default of types 1 and 7-9
  const ConfigKeyword *keywords;
  int32_t keyword_count;
  ConfigCallback callback;
  int32_t flags;  // 1: cfg_set_programmatic may not set it
};

// Defines each variable of the table. A name set before its definition
// takes the definition and has its value applied now; a name defined by
// several tables lives until the last of them is undefined.
void cfg_define_table(const ConfigVarDef *definitions, int32_t count, int32_t set);
// Undoes one definition of each entry, last to first.
void cfg_undefine_table(const ConfigVarDef *definitions, int32_t count, int32_t set);
// Binds a program variable (1 byte for Bool and Byte, 16 bits for Tinyint
// (sign-extended) and short, 32 bits for long) and writes the current value
// (the default unless one was set) into it; every value applied later is
// written there too. 0 for an unknown or undefined name.
int cfg_bind(const char *name, int32_t set, void *address);

// Typed getters: 0 (or null) for an unknown name. A defined variable
// answers its stored value, else its default; a user-defined one parses its
// value text as the type asked for. Each call counts as a query.

int cfg_get_bool(const char *name, int32_t set);
int8_t cfg_get_tinyint(const char *name, int32_t set);
char cfg_get_byte(const char *name, int32_t set);
int16_t cfg_get_short(const char *name, int32_t set);
int32_t cfg_get_long(const char *name, int32_t set);
const char *cfg_get_string(const char *name, int32_t set);
int32_t cfg_get_type(const char *name, int32_t set);
// The value list as its texts one after the other, each ended by a NUL and
// the whole by an empty text ("a\0b\0\0"); null when there is none.
const char *cfg_get_value_list(const char *name, int32_t set);
const char *cfg_get_comment(const char *name, int32_t set);
// Decodes the value text from Base64 into a new block (free with M_free).
uint8_t *cfg_get_base64(const char *name, int32_t set, int32_t *length);

// Typed setters: an unknown name becomes a user-defined variable of the
// setter's type (Tinyint, Byte, short, long, 256string). The value text
// becomes the decimal form (the character for Byte, the text for strings),
// the value list is dropped, and a defined variable stores the value in
// its own type, writes its bound variable and calls its callback.
int cfg_set_tinyint(const char *name, int32_t set, int8_t value);
int cfg_set_byte(const char *name, int32_t set, char value);
int cfg_set_short(const char *name, int32_t set, int16_t value);
int cfg_set_long(const char *name, int32_t set, int32_t value);
int cfg_set_string(const char *name, int32_t set, const char *value);
// Replaces the value text without parsing it (for Raw variables); a null
// text clears the value, typed storage included, so that the variable and
// its bound variable read the default again and the callback hears "no
// value".
int cfg_set_raw(const char *name, int32_t set, const char *text);
int cfg_set_base64(const char *name, int32_t set, const uint8_t *bytes, int32_t length);
// `strings` ends with an empty string.
int cfg_set_value_list(const char *name, int32_t set, const char *const *strings);
int cfg_set_comment(const char *name, int32_t set, const char *text);
// Sets a variable from texts (a negative length means NUL-terminated): the
// name is upper-cased, trailing blanks of the value dropped, and the value
// applied as its type says. A definition with flags 1 refuses it.
int cfg_set_programmatic(const char *name, int32_t name_length, const char *value,
                         int32_t value_length, int32_t set);
// Every defined variable whose name is in the environment with a text other
// than its value text takes that text.
int cfg_apply_environment(int32_t set);

// Value text of a variable, else the environment; null when neither exists
// or the text is empty. Valid until ten further calls.
const char *Agetenv(const char *name);
// Follows a chain of name translations; `kind` receives 2, or the kind of
// a final "-D", "-F", "-P", "-Q" option (0, 1, 3, 4).
const char *cfg_translate_name(const char *name, int32_t *kind);

// Flag setters; they return the old setting.
int cfg_set_verbose(int on, int32_t set);
int cfg_set_statistics(int on, int32_t set);
// Every variable (user-defined ones only when asked) forgets its value;
// callbacks are called with no value and bound variables get the default.
void cfg_reset_all(int32_t set, int include_user_defined);
// Writes every variable as "NAME value" lines (see config_file.cpp); 1/0.
int cfg_write_file(const char *path, int32_t set);
// Statistics ("cfgstats.out") when on, then every variable and storage
// block is released; the set is no longer in use.
void cfg_free_set(int32_t set);
// Releases the whole library (a later call starts it afresh).
void cfg_release(void);
}

namespace kel {
// Parses a text as a number with keywords (tokens OR'd together; a plain
// decimal with optional sign and unit letter k/m/g otherwise).
int32_t cfg_parse_number(const char *text, const ConfigKeyword *keywords, int32_t count,
                         bool verbose);
// Base64 in the configuration's own alphabet
// "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789[]", no padding.
// `out` needs 4 * ceil(length / 3) + 1 bytes.
void base64_encode(const uint8_t *bytes, int32_t length, char *out);
// `out` needs 3 * ceil(strlen(text) / 4) bytes; returns the decoded length.
int32_t base64_decode(const char *text, uint8_t *out);
}  // namespace kel
