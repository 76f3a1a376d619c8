// Make, open and close of indexed (Dorvex) files, inside the engine: the
// hooks through which the layers above the storage hang their state on an
// open file, opens that take a file as a whole, and the version a make
// chooses. The operations themselves are declared in indexed/engine.h.
#pragma once

#include <cstdint>

#include "storage/dorvex_file.h"

namespace kel::indexed {

// The layers above the storage (trees, reading, locks, bulk addition) hang
// their per-file state on the open file through these hooks. Any of them
// may be null.
struct UpperLayerHooks {
  // At the end of a successful open; false fails the open (the error set).
  bool (*attach)(DorvexFile *file);
  // First step of close: ends a bulk addition; false makes close report a
  // failure (the file is closed all the same).
  bool (*finish)(DorvexFile *file);
  // Releases the file's record locks (close, before the last header read).
  void (*release_locks)(DorvexFile *file);
  // Frees the state attached (close, and a failed open after attach).
  void (*detach)(DorvexFile *file);
  // Record locks held, for information code -6.
  int32_t (*locks_in_use)(const DorvexFile *file);
};
// dorvex_open with `as_a_whole` as a choice: such an open passes over the
// broken codes of the header (as with V_FORCE_OPEN), for the operations
// that take a file as a whole and need only its segment counts: removing,
// copying, renaming or replacing a file that is marked broken or
// incomplete must work all the same.
DorvexFile *open_file_with(const char *name, int32_t flags, bool as_a_whole);
DorvexFile *open_as_a_whole(const char *name);

// Installs the hooks (null: none). The table must outlive its use.
void set_upper_layer_hooks(const UpperLayerHooks *hooks);
const UpperLayerHooks *upper_layer_hooks();

// The format version a make of `name` creates: V_VERSION (outside 2-5
// means 5), overridden by the variable <BASE>_VERSION when it holds 2-5.
// BASE is the base name of the file (after basename translation when
// V_BASENAME_TRANSLATION is on, without its extension when
// V_STRIP_DOT_EXTENSION is on) upper-cased, every character that is not a
// letter or digit an underscore.
int choose_version(const char *name);
// The name of that variable ("" when it cannot be formed).
void version_variable_name(const char *name, char *out, size_t size);

// A name upper-cased with every character that is not a letter or digit
// turned into an underscore, as variables named after files are.
void variable_name_of(const char *text, char *out, size_t size);

}  // namespace kel::indexed
