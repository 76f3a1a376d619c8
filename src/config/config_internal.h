// The configuration library's own types, shared by its source files only.
//
//   config.cpp            library and sets: start, define, bind, reset, release
//   config_values.cpp     typed storage, applying texts, getters and setters
//   config_parse.cpp      numbers with keywords and unit letters
//   config_base64.cpp     Base64 in the configuration's alphabet
//   config_translate.cpp  Agetenv and its buffer pool, name translation
//   config_file.cpp       writing variables to a file, statistics
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>

#include "config/config.h"
#include "support/described_allocator.h"

namespace kel::cfg {

// The texts of the variables (names, values, value lists, comments) and
// the table of a set's variables are standard containers over the
// describing allocator; the variables themselves are plain blocks.
inline constexpr char kTextDescription[] = "config text";
inline constexpr char kTableDescription[] = "config variable table";
using CfgString =
    std::basic_string<char, std::char_traits<char>, Described<char, kTextDescription>>;
struct Variable;
using VariableTable =
    std::map<CfgString, Variable *, std::less<>,
             Described<std::pair<const CfgString, Variable *>, kTableDescription>>;

enum VariableFlag : uint8_t {
  kNameOwned = 1,    // the name text belongs to the variable
  kUserDefined = 2,  // set before or without any definition: no type, default or callback
};

enum SetFlag : uint8_t {
  kVerbose = 1,     // report every value set
  kStatistics = 2,  // write "cfgstats.out" when the set is released
  kInUse = 4,
};

// One named variable of a set: the definition's fields, what was set, and
// the counters of the statistics.
struct Variable {
  CfgString name;
  int32_t type = CFG_RAW;
  int32_t default_number = 0;
  const char *default_text = nullptr;
  const ConfigKeyword *keywords = nullptr;
  int32_t keyword_count = 0;
  ConfigCallback callback = nullptr;
  int32_t definition_flags = 0;

  bool has_value = false;  // a value text was set
  CfgString value;         // the value text
  CfgString value_list;    // texts, each ended by NUL, the whole by an extra NUL
  bool has_comment = false;
  CfgString comment;
  unsigned char *storage = nullptr;  // typed storage, carved from the set's blocks
  intptr_t func_value = 0;           // what a Func variable's callback returned
  void *bound = nullptr;             // bound program variable

  uint8_t flags = 0;
  int32_t set_count = 0;
  int32_t query_count = 0;
  int32_t definition_count = 0;

  bool user_defined() const { return (flags & kUserDefined) != 0; }
};

// Typed storage is carved from 1024-byte blocks in the order values are
// first stored; a value that does not fit in the rest of the current block
// starts a new one. Blocks are released only with their set.
constexpr int32_t kStorageBlock = 1024;
constexpr int32_t kStorageBlockGrowth = 10;

struct Set {
  VariableTable variables;  // by exact name bytes; each variable a "config variable" block
  unsigned char **blocks = nullptr;
  int32_t block_capacity = 0;
  int32_t current_block = -1;
  int32_t used = 0;  // bytes used in the current block
  uint8_t flags = 0;

  bool verbose() const { return (flags & kVerbose) != 0; }
};

// The per-thread record ("config lib thread data"): the Agetenv pool of
// ten result buffers used in turn, each enlarged when a text does not fit.
constexpr int kPoolBuffers = 10;
constexpr uint32_t kPoolInitialSize = 30;

struct ThreadData {
  char *buffers[kPoolBuffers];
  uint32_t sizes[kPoolBuffers];
  int32_t last;  // index of the buffer used last
  bool pool_ready;
};

// --- config.cpp
// The set, when it exists and is in use; the first starts the library.
Set *set_in_use(int32_t set);
// The same without starting the library (getters: an unstarted library
// knows no variable).
Set *existing_set(int32_t set);
ThreadData *thread_data();
Variable *find(Set &set, std::string_view name);
// How many variables were ever removed: a definition known to be in place
// stays in place while this count does not move.
uint32_t removals();
// A new user-defined variable of type Raw; null (E_NO_MEMORY) without
// memory for it.
Variable *add_user_variable(Set &set, std::string_view name);
// The decimal text of a number.
CfgString decimal(int32_t value);
// Fetches a message and expands its placeholders with `args`, then writes
// it to the error output.
void say(int32_t number, int32_t sub, const char *default_text,
         std::initializer_list<const char *> args);

// --- config_values.cpp
// Applies the value text to a defined variable (parse, store, bound
// variable, callback, verbose report); a user-defined one is only reported.
void apply_value(Set &set, Variable &v);
// The variable's number: typed storage when a value is stored, else the
// default; texts are parsed.
int32_t current_number(const Variable &v);
// Writes a number into the bound program variable in the width of the type.
void write_bound(const Variable &v, int32_t number);
// Forgets what was set (value text, typed storage, Func result).
void clear_value(Variable &v);
const char *type_name(int32_t type);

// --- config_translate.cpp
// Copies a text into the next pool buffer; null without memory.
const char *pool_copy(const char *text);
void pool_release(ThreadData &t);

// --- config_file.cpp
void write_statistics(const Set &set);

}  // namespace kel::cfg
