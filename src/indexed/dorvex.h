// Make, open, close and information of indexed (Dorvex) files: the
// operations behind v5_make, v5_open, v5_close and v5_info.
//
// Open flags: bits 0-1 the access (0 input, 1 output, 2 input-output,
// 3 extend; output first makes the file anew from its own information
// texts, then output and extend work as input-output), 0x100 / 0x200 /
// 0x400 the sharing and deferred-write bits of the file table and the
// cache, 0x4000 and 0x10 kept, 0x8000 with 0x600 and a writing access asks
// for bulk addition.
#pragma once

#include <cstdint>

#include "indexed/dorvex_file.h"

extern "C" {

// 1, or 0 with E_PARAM, E_UNSUPPORTED, E_NO_MEMORY, E_DISK_FULL,
// E_SYSERR or the OS layer's error; a failed make leaves no file behind.
// `table` (256 bytes) may be null.
int32_t dorvex_make(const char *name, const char *comment, const char *physical, const char *record,
                    const char *keys, const uint8_t *table);
DorvexFile *dorvex_open(const char *name, int32_t flags);
// 1, or 0 when writing the header or a segment failed; the file is closed
// and its state freed either way.
int32_t dorvex_close(DorvexFile *file);
// Marks the file open for update as incomplete until this open's final
// successful close: a restore, a bulk load, any filling that must not be
// mistaken for a whole file when it is cut short (killed, a full disk, a
// failing close). The broken code kBrokenIncomplete goes into the header's
// broken-code field and reaches the file at once (the cache writes it
// through), so that every other open, in this process or another, fails
// with E_BROKEN and that code unless V_FORCE_OPEN is on, and the
// structural check reports it. This open goes on as before. Its close
// writes every block of every segment first and only then clears the mark
// and writes the header; a close that fails on the way leaves the mark.
// 1, or 0 with E_PARAM (not open for update) or the header's error.
int32_t dorvex_mark_incomplete(DorvexFile *file);
// The information texts (see info.cpp). 1, or 0 with E_PARAM or
// E_UNSUPPORTED.
int32_t dorvex_info(DorvexFile *file, int32_t code, char *out);
}

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
