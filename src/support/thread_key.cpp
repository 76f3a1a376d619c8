#include "support/thread_key.h"

#include "support/alloc.h"

namespace kel {

struct ThreadKey {
  void *value;
};

ThreadKey *thread_key_create() {
  return static_cast<ThreadKey *>(KEL_ALLOC(sizeof(ThreadKey), "Thread specific data"));
}

void thread_key_delete(ThreadKey *key) {
  KEL_FREE(key);
}

void *thread_key_get(const ThreadKey *key) {
  return key ? key->value : nullptr;
}

void thread_key_set(ThreadKey *key, void *value) {
  if (key) key->value = value;
}

}  // namespace kel
