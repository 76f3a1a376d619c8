// Thread-specific-data keys. The program has one thread, so a key is a
// single process-wide pointer slot; the slot itself is allocated (described
// "Thread specific data") so that key creation can fail like the real thing.
#pragma once

namespace kel {

struct ThreadKey;

// Creates a key; null (and E_NO_MEMORY) when the slot cannot be allocated.
ThreadKey *thread_key_create();
void thread_key_delete(ThreadKey *key);
void *thread_key_get(const ThreadKey *key);
void thread_key_set(ThreadKey *key, void *value);

}  // namespace kel
