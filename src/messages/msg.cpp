// The message library: opening the message file and fetching texts from it
// (see msg.h for the file layout). Formatting lives in msg_format.cpp.
//
// Library state: initialised or not, the open message file (a layer stream
// opened "rb", shared by all threads) and the thread key of the per-thread
// state. Per-thread state ("msglib thread data"): the pool of ten 1024-byte
// result buffers ("message pool"), the buffer used last, and the read cache
// of the last sub-message fetched, so that a caller walking the sub-messages
// of one message in order reads each string once.
#include "messages/msg.h"

#include <cstdio>
#include <cstring>

#include "layer/layer.h"
#include "messages/diag.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/setting_lookup.h"
#include "support/thread_key.h"

namespace {

constexpr uint32_t kMagic = 0x514c016d;
constexpr uint16_t kVersion = 266;
constexpr int64_t kMagicOffset = 0;
constexpr int64_t kVersionOffset = 4;
constexpr int kHeaderBytes = 6;
constexpr int kIndexEntryBytes = 6;  // offset 32-bit, sub-message count 16-bit
constexpr int kEntryCountOffset = 4;
constexpr uint32_t kNoSuchMessage = 0xFFFFFFFF;
constexpr int kPoolBuffers = 10;
constexpr int kReadPiece = kel::kMsgBufferSize;
constexpr int32_t kNoCachedMessage = -9999;
constexpr const char *kDefaultFile = "/etc/quorlane.msg";
constexpr int kErrorTextBytes = 300;

// Returned for message 0 and for a failing seek while skipping strings; its
// %s takes "#<number>" for a message whose index entry says it is missing.
constexpr const char *kMissingTemplate = "\"Message %s missing\"";

struct MsgThreadData {
  char *pool;             // kPoolBuffers * kMsgBufferSize bytes
  int32_t last_buffer;    // index of the pool buffer used last
  int32_t cached_number;  // kNoCachedMessage when the cache is empty
  int32_t cached_sub;     // -1 when none
  int64_t cached_offset;  // where sub-message cached_sub starts
  int32_t cached_count;   // number of sub-messages of the last message
};

struct MsgLibrary {
  bool initialised = false;
  void *file = nullptr;
  kel::ThreadKey *key = nullptr;
  const char *default_file = kDefaultFile;  // tests may point it elsewhere
};

MsgLibrary g_lib;

void free_thread_data(MsgThreadData *t) {
  if (t == nullptr) return;
  KEL_FREE(t->pool);
  KEL_FREE(t);
}

// The calling thread's state, created on first use; null without memory.
MsgThreadData *thread_data() {
  if (g_lib.key != nullptr) {
    auto *t = static_cast<MsgThreadData *>(kel::thread_key_get(g_lib.key));
    if (t != nullptr) return t;
  }
  bool new_key = false;
  if (g_lib.key == nullptr) {
    g_lib.key = kel::thread_key_create();
    new_key = true;
  }
  MsgThreadData *t = nullptr;
  if (g_lib.key != nullptr) {
    t = static_cast<MsgThreadData *>(KEL_ALLOC(sizeof(MsgThreadData), "msglib thread data"));
    if (t != nullptr) {
      t->pool = static_cast<char *>(KEL_ALLOC(kPoolBuffers * kel::kMsgBufferSize, "message pool"));
      if (t->pool == nullptr) {
        KEL_FREE(t);
        t = nullptr;
      }
    }
  }
  if (t == nullptr) {
    if (new_key && g_lib.key != nullptr) {
      kel::thread_key_delete(g_lib.key);
      g_lib.key = nullptr;
    }
    eprintf("msglib: Not enough memory\n");
    return nullptr;
  }
  t->last_buffer = kPoolBuffers - 1;
  t->cached_number = kNoCachedMessage;
  t->cached_sub = -1;
  t->cached_offset = 0;
  t->cached_count = 0;
  kel::thread_key_set(g_lib.key, t);
  return t;
}

char *next_buffer(MsgThreadData *t) {
  t->last_buffer = (t->last_buffer + 1) % kPoolBuffers;
  return t->pool + static_cast<size_t>(t->last_buffer) * kel::kMsgBufferSize;
}

void forget_cache(MsgThreadData *t) {
  t->cached_number = kNoCachedMessage;
  t->cached_sub = -1;
}

bool read_at(int64_t offset, void *buffer, size_t length, size_t *got) {
  if (Astream_seek(g_lib.file, offset, SEEK_SET) != 0) return false;
  *got = Astream_read(buffer, 1, length, g_lib.file);
  return true;
}

// The message was not found: the default text, or "#number,sub".
const char *not_found(MsgThreadData *t, int32_t number, int32_t sub, const char *default_text) {
  if (default_text != nullptr) return default_text;
  char *buffer = next_buffer(t);
  snprintf(buffer, kel::kMsgBufferSize, "#%d,%d", number, sub);
  return buffer;
}

// The index marks the message as missing: the template with "#number".
const char *missing(MsgThreadData *t, int32_t number) {
  char tag[16];
  snprintf(tag, sizeof tag, "#%d", number);
  char *buffer = next_buffer(t);
  snprintf(buffer, kel::kMsgBufferSize, kMissingTemplate, tag);
  return buffer;
}

enum class Skip { kOk, kSeekFailed, kReadFailed };

// Steps over `count` NUL-terminated strings starting at *offset.
Skip skip_strings(int64_t *offset, int32_t count) {
  char piece[kReadPiece];
  int64_t at = *offset;
  while (count > 0) {
    if (Astream_seek(g_lib.file, at, SEEK_SET) != 0) return Skip::kSeekFailed;
    size_t got = Astream_read(piece, 1, sizeof piece, g_lib.file);
    if (got == 0) return Skip::kReadFailed;
    size_t i = 0;
    while (i < got && count > 0) {
      const void *nul = memchr(piece + i, '\0', got - i);
      if (nul == nullptr) {
        i = got;
        break;
      }
      i = static_cast<size_t>(static_cast<const char *>(nul) - piece) + 1;
      --count;
    }
    at += static_cast<int64_t>(i);
  }
  *offset = at;
  return Skip::kOk;
}

bool is_octal(char c) {
  return c >= '0' && c <= '7';
}

// Copies a stored text into `out` (kMsgBufferSize bytes), resolving the
// escapes \n, \t, \" and \0oo (two octal digits). Any other backslash pair,
// and a backslash at the very end, stay as they are. A text longer than the
// buffer is cut to fit.
void resolve_escapes(const char *in, size_t length, char *out) {
  size_t o = 0;
  const size_t limit = kel::kMsgBufferSize - 1;
  for (size_t i = 0; i < length && o < limit; ++i) {
    char c = in[i];
    if (c != '\\' || i + 1 >= length) {
      out[o++] = c;
      continue;
    }
    char next = in[i + 1];
    if (next == 'n' || next == 't' || next == '"') {
      out[o++] = next == 'n' ? '\n' : next == 't' ? '\t' : '"';
      ++i;
    } else if (next == '0' && i + 3 < length && is_octal(in[i + 2]) && is_octal(in[i + 3])) {
      out[o++] = static_cast<char>((in[i + 2] - '0') * 8 + (in[i + 3] - '0'));
      i += 3;
    } else {
      out[o++] = c;
      if (o < limit) out[o++] = next;
      ++i;
    }
  }
  out[o] = '\0';
}

// Reads the string at `offset` (one piece of at most 1024 bytes).
bool read_text(int64_t offset, char *buffer) {
  char piece[kReadPiece];
  size_t got = 0;
  if (!read_at(offset, piece, sizeof piece, &got) || got == 0) return false;
  const void *nul = memchr(piece, '\0', got);
  size_t length = nul ? static_cast<size_t>(static_cast<const char *>(nul) - piece) : got;
  resolve_escapes(piece, length, buffer);
  return true;
}

void set_error_text(char *error_text, const char *format, const char *name) {
  if (error_text != nullptr) snprintf(error_text, kErrorTextBytes, format, name);
}

}  // namespace

extern "C" int Amsg_init(char *error_text) {
  if (error_text != nullptr) error_text[0] = '\0';
  if (g_lib.initialised) return 1;
  const char *configured = kel::setting_text("A_MESSAGE");
  // The name stays where it is (the look-up's buffer, or the default's):
  // nothing below looks a setting up again before it is last used.
  const char *name = configured ? configured : g_lib.default_file;
  void *file = Astream_open(name, "rb");
  if (file == nullptr) {
    if (strcmp(name, g_lib.default_file) == 0) {
      g_lib.initialised = true;  // no file anywhere: the built-in texts
      return 1;
    }
    name = g_lib.default_file;
    file = Astream_open(name, "rb");
    if (file == nullptr) return 1;  // not initialised: a later call tries again
  }
  uint8_t header[kHeaderBytes];
  if (Astream_read(header, 1, sizeof header, file) != sizeof header) {
    Astream_close(file);
    set_error_text(error_text, "Corrupted message file '%s'", name);
    return 0;
  }
  if (kel::load_be32(header + kMagicOffset) != kMagic) {
    Astream_close(file);  // not a message file at all: the built-in texts
    g_lib.initialised = true;
    return 1;
  }
  if (kel::load_be16(header + kVersionOffset) != kVersion) {
    Astream_close(file);
    set_error_text(error_text, "Incorrect version for message file '%s'", name);
    return 0;
  }
  g_lib.file = file;
  g_lib.initialised = true;
  return 1;
}

extern "C" const char *Amsg_get(int32_t number, int32_t sub, const char *default_text) {
  if (!g_lib.initialised) return default_text;
  MsgThreadData *t = thread_data();
  if (t == nullptr) return default_text;
  if (g_lib.file == nullptr || sub < 0) return not_found(t, number, sub, default_text);

  int64_t offset;
  int32_t at_sub;  // the sub-message that starts at `offset`
  if (number == t->cached_number && sub > t->cached_sub && sub >= 1) {
    if (sub >= t->cached_count) return not_found(t, number, sub, default_text);
    offset = t->cached_offset;
    at_sub = t->cached_sub;
  } else {
    forget_cache(t);
    if (number == 0) return kMissingTemplate;
    if (number < 0) return missing(t, number);
    uint8_t entry[kIndexEntryBytes];
    size_t got = 0;
    int64_t entry_offset = kHeaderBytes + static_cast<int64_t>(kIndexEntryBytes) * number;
    if (!read_at(entry_offset, entry, sizeof entry, &got) || got != sizeof entry)
      return not_found(t, number, sub, default_text);
    uint32_t text_offset = kel::load_be32(entry);
    int32_t count = kel::load_be16(entry + kEntryCountOffset);
    if (sub >= count) return not_found(t, number, sub, default_text);
    t->cached_count = count;
    if (text_offset == kNoSuchMessage) return missing(t, number);
    offset = text_offset;
    at_sub = 0;
  }

  char *buffer = next_buffer(t);
  Skip skipped = skip_strings(&offset, sub - at_sub);
  if (skipped == Skip::kSeekFailed) return kMissingTemplate;
  if (skipped == Skip::kReadFailed || !read_text(offset, buffer)) {
    forget_cache(t);
    return not_found(t, number, sub, default_text);
  }
  t->cached_number = number;
  t->cached_sub = sub;
  t->cached_offset = offset;
  return buffer;
}

extern "C" void Amsg_shutdown(void) {
  if (g_lib.file != nullptr) Astream_close(g_lib.file);
  g_lib.file = nullptr;
  if (g_lib.key != nullptr) {
    free_thread_data(static_cast<MsgThreadData *>(kel::thread_key_get(g_lib.key)));
    kel::thread_key_delete(g_lib.key);
    g_lib.key = nullptr;
  }
  g_lib.initialised = false;
}

namespace kel {
void msg_default_file_for_tests(const char *path) {
  g_lib.default_file = path ? path : kDefaultFile;
}
}  // namespace kel
