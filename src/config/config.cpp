// The configuration library and its sets: start on first use, definition
// tables, binding of program variables, reset, flags and release.
//
// Library state: the array of sets (grown one at a time; this program only
// ever uses set 0, created in use when the library starts) and the thread
// key of the per-thread record. All of it is released by cfg_release.
#include <cstdio>
#include <cstring>
#include <new>

#include "config_internal.h"
#include "messages/diag.h"
#include "messages/msg.h"
#include "support/alloc.h"
#include "support/setting_lookup.h"
#include "support/thread_key.h"

namespace kel::cfg {
namespace {

// This program only ever uses set 0, which lives in the library itself.
struct Library {
  Set set0;
  ThreadKey *key = nullptr;
};

Library *g_library = nullptr;
// Variables removed since the process started (undefined, freed with their
// set, or released with the library); kept outside the library so that it
// survives cfg_release.
uint32_t g_removals = 0;

bool start_library() {
  if (g_library != nullptr) return true;
  ThreadKey *key = thread_key_create();
  if (key == nullptr) return false;
  auto *thread = static_cast<ThreadData *>(KEL_ALLOC(sizeof(ThreadData), "config lib thread data"));
  if (thread == nullptr) {
    thread_key_delete(key);
    return false;
  }
  void *memory = KEL_ALLOC(sizeof(Library), "config library");
  if (memory == nullptr) {
    KEL_FREE(thread);
    thread_key_delete(key);
    return false;
  }
  thread_key_set(key, thread);
  // From now on the layers below answer their settings through Agetenv.
  install_setting_lookup(Agetenv);
  g_library = new (memory) Library;
  g_library->key = key;
  g_library->set0.flags = kInUse;
  return true;
}

void destroy_variable(Variable *v) {
  ++g_removals;
  v->~Variable();
  KEL_FREE(v);
}

// Statistics first, then every variable and the storage blocks.
void empty_set(Set &s) {
  if (s.flags & kStatistics) write_statistics(s);
  for (auto &entry : s.variables) destroy_variable(entry.second);
  s.variables.clear();
  for (int32_t i = 0; i <= s.current_block; ++i) KEL_FREE(s.blocks[i]);
  KEL_FREE(s.blocks);
  s.blocks = nullptr;
  s.block_capacity = 0;
  s.current_block = -1;
  s.used = 0;
}

void copy_definition(Variable &v, const ConfigVarDef &d) {
  v.type = d.type;
  v.default_number = d.default_number;
  v.default_text = d.default_text;
  v.keywords = d.keywords;
  v.keyword_count = d.keyword_count;
  v.callback = d.callback;
  v.definition_flags = d.flags;
}

int set_flag(int on, int32_t set, uint8_t flag) {
  Set *s = set_in_use(set);
  if (s == nullptr) return 0;
  int old = (s->flags & flag) != 0;
  if (on) {
    s->flags |= flag;
  } else {
    s->flags &= static_cast<uint8_t>(~flag);
  }
  return old;
}

}  // namespace

Set *existing_set(int32_t set) {
  if (g_library == nullptr || set != 0) return nullptr;
  Set *s = &g_library->set0;
  return (s->flags & kInUse) ? s : nullptr;
}

Set *set_in_use(int32_t set) {
  return start_library() ? existing_set(set) : nullptr;
}

ThreadData *thread_data() {
  return g_library ? static_cast<ThreadData *>(thread_key_get(g_library->key)) : nullptr;
}

uint32_t removals() {
  return g_removals;
}

Variable *find(Set &set, std::string_view name) {
  auto it = set.variables.find(name);
  return it == set.variables.end() ? nullptr : it->second;
}

Variable *add_user_variable(Set &set, std::string_view name) {
  void *memory = KEL_ALLOC(sizeof(Variable), "config variable");
  if (memory == nullptr) return nullptr;
  auto *v = new (memory) Variable;
  v->name = name;
  v->flags = kNameOwned | kUserDefined;
  set.variables.emplace(v->name, v);
  return v;
}

CfgString decimal(int32_t value) {
  char text[16];
  snprintf(text, sizeof text, "%d", static_cast<int>(value));
  return CfgString(text);
}

void say(int32_t number, int32_t sub, const char *default_text,
         std::initializer_list<const char *> args) {
  char buffer[kMsgBufferSize];
  msg_expand(buffer, Amsg_get(number, sub, default_text), args.begin(),
             static_cast<int>(args.size()));
  eprintf("%s", buffer);
}

}  // namespace kel::cfg

using namespace kel::cfg;

// A name already set by the program (user-defined) takes the definition
// and has its value applied now; a name defined by several tables counts
// its definitions and lives until the last is undefined.
extern "C" void cfg_define_table(const ConfigVarDef *definitions, int32_t count, int32_t set) {
  Set *s = set_in_use(set);
  if (s == nullptr) return;
  for (int32_t i = 0; i < count; ++i) {
    const ConfigVarDef &d = definitions[i];
    Variable *v = find(*s, d.name);
    if (v == nullptr) {
      v = add_user_variable(*s, d.name);
      if (v == nullptr) return;
      v->flags = 0;
      copy_definition(*v, d);
    } else if (v->user_defined()) {
      copy_definition(*v, d);
      v->flags &= static_cast<uint8_t>(~kUserDefined);
      v->definition_count = 1;
    } else if (s->verbose()) {
      say(859, 0, "Configuration variable '%s' has previously been defined\n", {d.name});
    }
    ++v->definition_count;
    if (v->definition_count > 1 && v->has_value) apply_value(*s, *v);
    if (v->bound != nullptr) write_bound(*v, current_number(*v));
  }
}

extern "C" void cfg_undefine_table(const ConfigVarDef *definitions, int32_t count, int32_t set) {
  Set *s = existing_set(set);
  if (s == nullptr) return;
  for (int32_t i = count - 1; i >= 0; --i) {
    Variable *v = find(*s, definitions[i].name);
    if (v == nullptr || v->user_defined()) continue;
    if (--v->definition_count > 0) continue;
    if (v->type == CFG_FUNC && v->callback) v->callback(v->name.c_str(), nullptr, 0, s->verbose());
    s->variables.erase(v->name);
    destroy_variable(v);
  }
}

// The bound variable receives the variable's current value at once: the
// default unless a value was set before the binding.
extern "C" int cfg_bind(const char *name, int32_t set, void *address) {
  Set *s = set_in_use(set);
  if (s == nullptr || name == nullptr) return 0;
  Variable *v = find(*s, name);
  if (v == nullptr || v->user_defined()) return 0;
  v->bound = address;
  write_bound(*v, current_number(*v));
  return 1;
}

// Besides a Func variable's callback, every other callback is told that
// the value is gone too, so that working copies kept by callbacks go back
// to their defaults together with the variables.
extern "C" void cfg_reset_all(int32_t set, int include_user_defined) {
  Set *s = existing_set(set);
  if (s == nullptr) return;
  for (auto &[name, v] : s->variables) {
    if (v->user_defined() && !include_user_defined) continue;
    clear_value(*v);
    if (v->user_defined()) continue;
    if (v->callback) v->callback(name.c_str(), nullptr, 0, s->verbose());
    if (v->bound) write_bound(*v, current_number(*v));
  }
}

extern "C" int cfg_set_verbose(int on, int32_t set) {
  return set_flag(on, set, kVerbose);
}
extern "C" int cfg_set_statistics(int on, int32_t set) {
  return set_flag(on, set, kStatistics);
}

extern "C" void cfg_free_set(int32_t set) {
  Set *s = existing_set(set);
  if (s == nullptr) return;
  empty_set(*s);
  s->flags = 0;
}

extern "C" void cfg_release(void) {
  if (g_library == nullptr) return;
  if (g_library->set0.flags & kInUse) empty_set(g_library->set0);
  ThreadData *t = thread_data();
  if (t != nullptr) pool_release(*t);
  KEL_FREE(t);
  kel::thread_key_delete(g_library->key);
  g_library->~Library();
  KEL_FREE(g_library);
  g_library = nullptr;
}
