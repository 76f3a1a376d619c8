// The older make descriptions and their information forms (make_old.h).
#include "storage/make_old.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "indexed/engine.h"
#include "kelfs/errors.h"
#include "storage/dorvex.h"
#include "storage/header.h"
#include "storage/make_internal.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::indexed {

static_assert(kOldInfoSize == V_OLD_INFO_SIZE);

namespace {

// Reads a description as scanf's "%d", "," and "%c" would.
class Cursor {
 public:
  explicit Cursor(const char *text) : p_(text ? text : "") {}
  // "%d": blanks, an optional sign, at least one digit. Values beyond any
  // file's limits are held at a size that make still refuses.
  bool number(long *value) {
    const char *p = p_;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    long v = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p)
      if (v < kHeld) v = v * 10 + (*p - '0');
    *value = negative ? -v : v;
    p_ = p;
    return true;
  }
  bool comma() { return *p_ == ',' ? (++p_, true) : false; }
  bool comma_number(long *value) { return comma() && number(value); }
  // "%c": the next character, whatever it is.
  bool character(char *c) {
    if (*p_ == '\0') return false;
    *c = *p_++;
    return true;
  }
  // ",y" or ",n" (either case) standing alone before a comma or the end.
  bool flag(bool *set) {
    const char c = p_[0] == ',' ? static_cast<char>(tolower(static_cast<unsigned char>(p_[1]))) : 0;
    if ((c != 'y' && c != 'n') || (p_[2] != ',' && p_[2] != '\0')) return false;
    *set = c == 'y';
    p_ += 2;
    return true;
  }
  const char *rest() const { return p_; }

 private:
  static constexpr long kHeld = 1L << 40;
  const char *p_;
};

// Appends to a text of `size` bytes; false when it would not fit.
class Text {
 public:
  Text(char *out, size_t size) : out_(out), size_(size) { out_[0] = '\0'; }
  template <typename... Args>
  bool add(const char *format, Args... args) {
    int n = snprintf(out_ + used_, size_ - used_, format, args...);
    if (n < 0 || static_cast<size_t>(n) >= size_ - used_) return ok_ = false;
    used_ += static_cast<size_t>(n);
    return true;
  }
  bool ok() const { return ok_; }

 private:
  char *out_;
  size_t size_;
  size_t used_ = 0;
  bool ok_ = true;
};

char yes_no(bool set) {
  return set ? 'Y' : 'N';
}

// The old key text of an open file, without its flags and comment; false
// with E_UNSUPPORTED when a key has several segments or key 0 allows
// duplicates.
bool old_keys_of(const DorvexFile *f, Text *keys) {
  for (int k = 0; k < f->key_count; ++k)
    if (f->keys[k].segments != 1) return fs_fail(E_UNSUPPORTED);
  if (f->keys[0].duplicates) return fs_fail(E_UNSUPPORTED);
  keys->add("%u,%d,%u,%u", f->max_record, f->key_count, f->keys[0].segment_size[0],
            f->keys[0].segment_offset[0]);
  for (int k = 1; k < f->key_count; ++k)
    keys->add(",%u,%u,%c", f->keys[k].segment_size[0], f->keys[k].segment_offset[0],
              yes_no(f->keys[k].duplicates != 0));
  return true;
}

int node_blocks_of(const DorvexFile *f) {
  return f->node_size / kHeaderBlock;
}

}  // namespace

bool old_make_texts(const char *physical, const char *keys, OldMakeTexts *out) {
  if (physical == nullptr || keys == nullptr) return fs_fail(E_PARAM);
  Cursor c(keys);
  long max = 0, count = 0, size = 0, offset = 0;
  if (!c.number(&max) || !c.comma_number(&count) || !c.comma_number(&size) ||
      !c.comma_number(&offset) || count < 1 || count > kMaxKeys)
    return fs_fail(E_PARAM);
  Text key_text(out->keys, sizeof out->keys);
  key_text.add("1,0,%ld,%ld", size, offset);
  long farthest = size + offset;
  for (long k = 1; k < count; ++k) {
    char duplicates = 0;
    if (!c.comma_number(&size) || !c.comma_number(&offset) || !c.comma() ||
        !c.character(&duplicates))
      return fs_fail(E_PARAM);
    key_text.add(",1,%d,%ld,%ld", duplicates == 'y' || duplicates == 'Y' ? 1 : 0, size, offset);
    if (size + offset > farthest) farthest = size + offset;
  }
  bool flags[3] = {false, false, false};  // variable length, compression, scrambling
  for (bool &set : flags)
    if (!c.flag(&set)) break;
  const char *comment = c.rest();
  if (*comment == ',')
    ++comment;
  else if (*comment != '\0')
    return fs_fail(E_PARAM);
  Text record(out->record, sizeof out->record);
  record.add("%ld,%ld,%ld", max, flags[0] ? farthest : max, count);
  Text physical_text(out->physical, sizeof out->physical);
  physical_text.add("%s,1,%d,%d", physical, flags[1] ? 1 : 0, flags[2] ? 1 : 0);
  Text comment_text(out->comment, sizeof out->comment);
  comment_text.add("%s", comment);
  if (!key_text.ok() || !record.ok() || !physical_text.ok() || !comment_text.ok())
    return fs_fail(E_PARAM);
  return true;
}

bool oldest_to_old(const char *text, const char *extra, char *physical, size_t physical_size,
                   char *keys, size_t keys_size) {
  Cursor c(text);
  long first = 0, second = 0, third = 0;
  if (!c.number(&first) || !c.comma_number(&second) || !c.comma_number(&third) || !c.comma())
    return fs_fail(E_PARAM);
  // "%s": the rest from its first character that is not a blank to the
  // next blank.
  const char *rest = c.rest();
  while (isspace(static_cast<unsigned char>(*rest))) ++rest;
  int length = 0;
  while (rest[length] != '\0' && !isspace(static_cast<unsigned char>(rest[length]))) ++length;
  if (length == 0) return fs_fail(E_PARAM);
  Text p(physical, physical_size), k(keys, keys_size);
  p.add("%ld,%ld", third, first);
  k.add("%.*s,N,N,N,%s", length, rest, extra ? extra : "");
  return (p.ok() && k.ok()) || fs_fail(E_PARAM);
}

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t dorvex_make_old(const char *name, const char *physical, const char *keys) {
  if (name == nullptr) return kel::fs_fail(E_PARAM);
  kel::MemPtr<OldMakeTexts> texts;
  if (!texts.allocate(1, "dorvex make parameters") || !old_make_texts(physical, keys, texts.get()))
    return 0;
  const OldMakeTexts &t = *texts.get();
  return make_file(name, choose_version(name), t.comment, t.physical, t.record, t.keys, nullptr)
             ? 1
             : 0;
}

extern "C" int32_t dorvex_make_oldest(const char *name, const char *text, const char *extra) {
  if (name == nullptr || text == nullptr) return kel::fs_fail(E_PARAM);
  char physical[64];
  const size_t keys_size = strlen(text) + (extra ? strlen(extra) : 0) + 8;
  kel::MemPtr<char> keys;
  if (!keys.allocate(keys_size, "dorvex make parameters") ||
      !oldest_to_old(text, extra, physical, sizeof physical, keys.get(), keys_size))
    return 0;
  return dorvex_make_old(name, physical, keys.get());
}

extern "C" int32_t dorvex_old_info(DorvexFile *f, char *physical, char *keys) {
  if (physical) physical[0] = '\0';
  if (keys) keys[0] = '\0';
  if (f == nullptr || physical == nullptr || keys == nullptr) return kel::fs_fail(E_PARAM);
  Text k(keys, kOldInfoSize);
  if (!old_keys_of(f, &k)) return 0;
  k.add(",%c,%c,%c,%s", yes_no(f->min_record != f->max_record), yes_no(f->header_factor != 0),
        yes_no(f->scramble != 0), f->comment);
  snprintf(physical, kOldInfoSize, "%d,%u", node_blocks_of(f),
           static_cast<unsigned>(hget(f, kPreallocation)));
  return 1;
}

extern "C" int32_t dorvex_oldest_info(DorvexFile *f, char *text, char *extra) {
  if (text) text[0] = '\0';
  if (extra) extra[0] = '\0';
  if (f == nullptr || text == nullptr || extra == nullptr) return kel::fs_fail(E_PARAM);
  if (f->min_record != f->max_record || f->header_factor != 0 || f->scramble != 0)
    return kel::fs_fail(E_UNSUPPORTED);
  Text t(text, kOldInfoSize);
  t.add("%u,1,%d,", static_cast<unsigned>(hget(f, kPreallocation)), node_blocks_of(f));
  if (!old_keys_of(f, &t)) {
    text[0] = '\0';
    return 0;
  }
  snprintf(extra, kOldInfoSize, "%s", f->comment);
  return 1;
}
