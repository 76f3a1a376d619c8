// The file system's table of configuration variables and the working
// variables that most of them are copied into, so that hot paths read a
// plain field instead of looking a name up.
#pragma once

#include <cstdint>

namespace kel {

// Defines the 40 variables into set 0 (once) and binds USE_LARGE_FILE_API.
// Values set before (user-defined variables) are applied now. Reached
// through the entry point v5_init_cfg.
void define_fs_table();
// Undefines them again; the working values return to their defaults
// (entry point v5_deinit_cfg).
void undefine_fs_table();

// Working values, kept current by the table's shared change callback. They
// hold the defaults before the table is defined. V_TRACE's working value
// is the diagnostic writer's trace switch (messages/diag.h), where the
// layers below the configuration can read it.
struct FsSettings {
  int8_t carriage_control_filter = 0;
  int8_t eol_char = 10;
  bool large_file_limit_1tb = false;
  bool large_file_limit_2tb = false;
  int16_t locks_per_file = 10;
  int16_t logging = 1;
  int16_t log_buffer_size = 512;
  bool log_device = false;
  char log_dir[66] = "";  // a copy: the variable's text may go away
  bool log_encryption = false;
  char log_file[66] = "";
  int16_t max_files = 32;  // the archive utility writes this one directly
  int16_t max_locks = 32;
  bool open_files_once = true;
  bool queue_readers = false;
  bool trx_holds_locks = false;
  bool basename_translation = true;
  int16_t cache_flush_percent = 25;
  bool force_open = false;
  int16_t index_block_percent = 100;
  bool internal_locks = true;
  int16_t lock_method = 0;
  bool mark_read_corrupt = true;
  bool open_strict = false;
  bool strip_dot_extension = true;
};

FsSettings &fs_settings();

// The program variable bound to USE_LARGE_FILE_API (16-bit).
int16_t use_large_file_api();

// Tests only: put every working value back to its default.
void reset_fs_settings();

}  // namespace kel
