// The file system's table of configuration variables, and the working
// values that the shared change callback keeps current so that hot paths
// read a plain field instead of looking a name up.
//
// Module state: the guard flag of the definition and the working values.
// Two working values live in the layers below, which may not ask the
// configuration: USE_LARGE_FILE_API is bound to the layer files' own word,
// and V_TRACE is pushed to the diagnostic writer's trace switch.
#include "config/fs_config.h"

#include <bit>
#include <cstring>

#include "config/config.h"
#include "config_internal.h"
#include "layer/layer.h"
#include "messages/diag.h"

namespace {

intptr_t fs_changed(const char *name, const char *text, int32_t value, int verbose);

// Every entry: no keywords, flags 0. Order matters only for statistics and
// the file dump.
constexpr ConfigVarDef kFsTable[] = {
    {"CARRIAGE_CONTROL_FILTER", CFG_TINYINT, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"COMPRESS_FACTOR", CFG_TINYINT, 70, nullptr, nullptr, 0, nullptr, 0},
    {"DUPLICATES_LOG", CFG_STRING256, 0, "", nullptr, 0, nullptr, 0},
    {"EOL_CHAR", CFG_TINYINT, 10, nullptr, nullptr, 0, fs_changed, 0},
    {"LARGE_FILE_LIMIT_1TB", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"LARGE_FILE_LIMIT_2TB", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"LOCKS_PER_FILE", CFG_SHORT, 10, nullptr, nullptr, 0, fs_changed, 0},
    {"LOGGING", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"LOG_BUFFER_SIZE", CFG_SHORT, 512, nullptr, nullptr, 0, fs_changed, 0},
    {"LOG_DEVICE", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"LOG_DIR", CFG_STRING65, 0, "", nullptr, 0, fs_changed, 0},
    {"LOG_ENCRYPTION", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"LOG_FILE", CFG_STRING65, 0, "", nullptr, 0, fs_changed, 0},
    {"MAX_FILES", CFG_SHORT, 32, nullptr, nullptr, 0, fs_changed, 0},
    {"MAX_LOCKS", CFG_SHORT, 32, nullptr, nullptr, 0, fs_changed, 0},
    {"NO_LOG_FILE_OK", CFG_BOOL, 0, nullptr, nullptr, 0, nullptr, 0},
    {"OPEN_FILES_ONCE", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"QUEUE_READERS", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"REL_DELETED_VALUE", CFG_SHORT, 0, nullptr, nullptr, 0, nullptr, 0},
    {"TRX_HOLDS_LOCKS", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"USE_LARGE_FILE_API", CFG_BOOL, 0, nullptr, nullptr, 0, nullptr, 0},
    {"V_BASENAME_TRANSLATION", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"V_BUFFERS", CFG_LONG, -1, nullptr, nullptr, 0, nullptr, 0},  // -1: the built-in 64
    {"V_BUFFER_DATA", CFG_BOOL, 1, nullptr, nullptr, 0, nullptr, 0},
    {"V_BULK_MEMORY", CFG_LONG, 1048576, nullptr, nullptr, 0, nullptr, 0},
    {"V_CACHE_FLUSH_PERCENT", CFG_SHORT, 25, nullptr, nullptr, 0, fs_changed, 0},
    {"V_FORCE_OPEN", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"V_INDEX_BLOCK_PERCENT", CFG_SHORT, 100, nullptr, nullptr, 0, fs_changed, 0},
    {"V_INTERNAL_LOCKS", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"V_LOCK_METHOD", CFG_SHORT, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"V_MARK_READ_CORRUPT", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"V_NO_ASYNC_CACHE_DATA", CFG_BOOL, 0, nullptr, nullptr, 0, nullptr, 0},
    {"V_OPEN_STRICT", CFG_BOOL, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"V_READ_AHEAD", CFG_BOOL, 1, nullptr, nullptr, 0, nullptr, 0},
    {"V_SEG_SIZE", CFG_LONG, 0x7FFFFA00, nullptr, nullptr, 0, nullptr, 0},
    {"V_TRACE", CFG_LONG, 0, nullptr, nullptr, 0, fs_changed, 0},
    {"V_STRIP_DOT_EXTENSION", CFG_BOOL, 1, nullptr, nullptr, 0, fs_changed, 0},
    {"V_VERSION", CFG_SHORT, 5, nullptr, nullptr, 0, nullptr, 0},
    {"WAIT_FOR_ALL_PIPES", CFG_BOOL, 1, nullptr, nullptr, 0, nullptr, 0},
    {"A_SEQ_DEFAULT_BLOCK_SIZE", CFG_LONG, 0, nullptr, nullptr, 0, nullptr, 0},
};
constexpr int32_t kFsTableCount = sizeof kFsTable / sizeof kFsTable[0];
static_assert(kFsTableCount == 40);

struct FsConfigState {
  bool defined = false;
  // The configuration's removal count when the definition was last found
  // in place: every entry point asks, and a name lookup each time would
  // cost more than most of their work.
  uint32_t removals_seen = 0;
  kel::FsSettings settings;
};
// USE_LARGE_FILE_API is a Bool, and a bound Bool receives one byte: it
// lands in the low byte of the layer files' 16-bit word, whose high byte
// stays 0.
static_assert(std::endian::native == std::endian::little,
              "the bound Bool byte must be the low byte of the large-file word");

FsConfigState g_state;

void copy_text(char (&out)[66], const char *text) {
  strncpy(out, text ? text : "", sizeof out - 1);
  out[sizeof out - 1] = '\0';
}

bool lock_method_known(int32_t v) {
  return v == 1 || v == 2 || v == 257 || v == 258 || v == 514 || v == 770;
}

// Called with no text when a value is cleared: each working value falls
// back to its default. Out-of-range values are clamped here, where every
// reader gets them from.
intptr_t fs_changed(const char *name, const char *text, int32_t value, int) {
  kel::FsSettings &s = g_state.settings;
  const bool has = text != nullptr;
  auto is = [name](const char *n) { return strcmp(name, n) == 0; };
  auto flag = [&](bool fallback) { return has ? value != 0 : fallback; };
  auto number = [&](int32_t fallback) { return has ? value : fallback; };
  if (is("CARRIAGE_CONTROL_FILTER"))
    s.carriage_control_filter = static_cast<int8_t>(number(0));
  else if (is("EOL_CHAR"))
    s.eol_char = static_cast<int8_t>(number(10));
  else if (is("LARGE_FILE_LIMIT_1TB"))
    s.large_file_limit_1tb = flag(false);
  else if (is("LARGE_FILE_LIMIT_2TB"))
    s.large_file_limit_2tb = flag(false);
  else if (is("LOCKS_PER_FILE"))
    s.locks_per_file = static_cast<int16_t>(number(10));
  else if (is("LOGGING"))
    s.logging = static_cast<int16_t>(number(1));
  else if (is("LOG_BUFFER_SIZE"))
    s.log_buffer_size = static_cast<int16_t>(number(512));
  else if (is("LOG_DEVICE"))
    s.log_device = flag(false);
  else if (is("LOG_DIR"))
    copy_text(s.log_dir, text);
  else if (is("LOG_ENCRYPTION"))
    s.log_encryption = flag(false);
  else if (is("LOG_FILE"))
    copy_text(s.log_file, text);
  else if (is("MAX_FILES"))
    s.max_files = static_cast<int16_t>(has ? (value < 32768 ? value : 32767) : 32);
  else if (is("MAX_LOCKS"))
    s.max_locks = static_cast<int16_t>(number(32));
  else if (is("OPEN_FILES_ONCE"))
    s.open_files_once = flag(true);
  else if (is("QUEUE_READERS"))
    s.queue_readers = flag(false);
  else if (is("TRX_HOLDS_LOCKS"))
    s.trx_holds_locks = flag(false);
  else if (is("V_BASENAME_TRANSLATION"))
    s.basename_translation = flag(true);
  else if (is("V_CACHE_FLUSH_PERCENT"))
    s.cache_flush_percent = static_cast<int16_t>(has && value >= 1 && value <= 100 ? value : 25);
  else if (is("V_FORCE_OPEN"))
    s.force_open = flag(false);
  else if (is("V_INDEX_BLOCK_PERCENT"))
    s.index_block_percent = static_cast<int16_t>(has && value >= 1 && value <= 1000 ? value : 100);
  else if (is("V_INTERNAL_LOCKS"))
    s.internal_locks = flag(true);
  else if (is("V_LOCK_METHOD"))
    s.lock_method = static_cast<int16_t>(has && lock_method_known(value) ? value : 0);
  else if (is("V_MARK_READ_CORRUPT"))
    s.mark_read_corrupt = flag(true);
  else if (is("V_OPEN_STRICT"))
    s.open_strict = flag(false);
  else if (is("V_TRACE"))
    kel::set_trace_bits(static_cast<uint32_t>(number(0)));
  else if (is("V_STRIP_DOT_EXTENSION"))
    s.strip_dot_extension = flag(true);
  return 0;
}

// Whether the definition that the guard remembers is still in the
// configuration: cfg_release drops every definition with its set, and a
// guard that outlived it would keep the table from being defined again.
bool table_defined() {
  kel::cfg::Set *s = kel::cfg::existing_set(0);
  kel::cfg::Variable *v = s ? kel::cfg::find(*s, kFsTable[0].name) : nullptr;
  return v != nullptr && !v->user_defined();
}

// Back to no definition: the working values at their defaults.
void forget_definition() {
  g_state.defined = false;
  g_state.settings = kel::FsSettings{};
  kel::set_trace_bits(0);
  *kel::large_file_api_word() = 0;
}

}  // namespace

namespace kel {

void define_fs_table() {
  if (g_state.defined) {
    if (g_state.removals_seen == kel::cfg::removals()) return;
    if (table_defined()) {
      g_state.removals_seen = kel::cfg::removals();
      return;
    }
    forget_definition();  // cfg_release dropped it: its working values go too
  }
  cfg_define_table(kFsTable, kFsTableCount, 0);
  cfg_bind("USE_LARGE_FILE_API", 0, large_file_api_word());
  g_state.defined = true;
  g_state.removals_seen = kel::cfg::removals();
}

void undefine_fs_table() {
  if (!g_state.defined) return;
  if (table_defined()) cfg_undefine_table(kFsTable, kFsTableCount, 0);
  forget_definition();
}

FsSettings &fs_settings() {
  return g_state.settings;
}
int16_t use_large_file_api() {
  return *large_file_api_word();
}
void reset_fs_settings() {
  g_state.settings = FsSettings{};
  set_trace_bits(0);
  *large_file_api_word() = 0;
}
}  // namespace kel
