// Text lookups: Agetenv (a variable's value text, else the environment)
// with its pool of result buffers, and the translation of names through
// chains of variables.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_internal.h"
#include "messages/diag.h"
#include "support/alloc.h"

namespace kel::cfg {
namespace {

constexpr int kMaxTranslationSteps = 1000;

bool pool_ready(ThreadData &t) {
  if (t.pool_ready) return true;
  for (int i = 0; i < kPoolBuffers; ++i) {
    t.buffers[i] = static_cast<char *>(KEL_ALLOC(kPoolInitialSize, "Agetenv buffer"));
    if (t.buffers[i] == nullptr) {
      for (int k = 0; k < i; ++k) KEL_FREE(t.buffers[k]);
      eprintf("config: Not enough memory\n");
      return false;
    }
    t.sizes[i] = kPoolInitialSize;
  }
  t.last = kPoolBuffers - 1;
  t.pool_ready = true;
  return true;
}

CfgString trimmed(const char *text) {
  const char *begin = text;
  while (isspace(static_cast<unsigned char>(*begin))) ++begin;
  const char *end = begin + strlen(begin);
  while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
  return CfgString(begin, end);
}

CfgString upper(CfgString s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

// One step of a translation: the variable's value text (or its default
// text), else the environment through Agetenv; null ends the chain.
const char *translate_step(const CfgString &key) {
  Set *s = set_in_use(0);
  Variable *v = s ? find(*s, key) : nullptr;
  if (v != nullptr) return v->has_value ? v->value.c_str() : v->default_text;
  return Agetenv(key.c_str());
}

}  // namespace

const char *pool_copy(const char *text) {
  ThreadData *t = thread_data();
  if (t == nullptr || !pool_ready(*t)) return nullptr;
  int i = (t->last + 1) % kPoolBuffers;
  uint32_t need = static_cast<uint32_t>(strlen(text)) + 1;
  if (need > t->sizes[i]) {
    auto *bigger = static_cast<char *>(KEL_REALLOC(t->buffers[i], need));
    if (bigger == nullptr) return nullptr;
    t->buffers[i] = bigger;
    t->sizes[i] = need;
  }
  t->last = i;
  memcpy(t->buffers[i], text, need);
  return t->buffers[i];
}

void pool_release(ThreadData &t) {
  if (!t.pool_ready) return;
  for (int i = 0; i < kPoolBuffers; ++i) KEL_FREE(t.buffers[i]);
  t.pool_ready = false;
}

}  // namespace kel::cfg

using namespace kel::cfg;

// An empty value text answers none: it does not fall back to the
// environment, so a program can hide an environment variable.
extern "C" const char *Agetenv(const char *name) {
  if (name == nullptr) return nullptr;
  Set *s = set_in_use(0);
  if (s == nullptr) return nullptr;
  Variable *v = find(*s, name);
  const char *found = nullptr;
  if (v != nullptr && v->has_value) {
    ++v->query_count;
    found = v->value.c_str();
  } else {
    found = getenv(name);
  }
  if (found == nullptr || *found == '\0') return nullptr;
  return pool_copy(found);
}

// Names are looked up trimmed and upper-cased, but the text of each step
// keeps its case: a name that translates to nothing comes back as given
// (trimmed), so that file names keep their spelling. The chain stops at a
// text beginning with '-' (an option), at a step that repeats the previous
// name, or at a name that has no translation; a longer cycle runs the 1000
// steps and is reported. A final "-X rest" sets the kind from X (D 0, F 1,
// P 3, Q 4) and leaves "rest". The result lives in the Agetenv pool.
extern "C" const char *cfg_translate_name(const char *name, int32_t *kind) {
  if (kind != nullptr) *kind = 2;
  if (name == nullptr) return nullptr;
  CfgString current = trimmed(name);
  CfgString previous;
  int step = 0;
  for (; step < kMaxTranslationSteps; ++step) {
    CfgString key = upper(current);
    if (!key.empty() && key[0] == '-') break;
    if (step > 0 && key == previous) break;
    previous = key;
    const char *next = translate_step(key);
    if (next == nullptr) break;
    current = trimmed(next);
  }
  if (step == kMaxTranslationSteps)
    say(725, 0, "INFINITE LOOP TRANSLATING '%s'\n", {current.c_str()});
  if (current.size() >= 2 && current[0] == '-') {
    switch (toupper(static_cast<unsigned char>(current[1]))) {
      case 'D':
        if (kind) *kind = 0;
        break;
      case 'F':
        if (kind) *kind = 1;
        break;
      case 'P':
        if (kind) *kind = 3;
        break;
      case 'Q':
        if (kind) *kind = 4;
        break;
      default:
        break;
    }
    current = trimmed(current.c_str() + 2);
  }
  const char *result = pool_copy(current.c_str());
  return result ? result : name;
}
