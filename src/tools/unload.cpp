// unload and load: every record of an indexed file, in the order of one
// of its keys, to a portable file, and an indexed file made from one.
//
// Two forms. The member form (the default) is kel's archive member of an
// indexed file (archive/member_codec.h): the 48-character member header
// with type V and the file's name, the texts that describe the file, the
// records (each a 2-byte big-endian length and its bytes, so records of
// up to 65535 bytes), then the trailer member. The text form (--text) is
// lines:
//
//   dorvex-tool unload 1                  the first line, as it stands
//   version 5                             the format version
//   record-parameters 0000000040,0000000040,002
//   physical-parameters 01,0000000,0000001,000,0
//   comment TEXT                          (escaped as records are)
//   translation-table none                or 512 hexadecimal digits
//   key 0 01,0,008,0000000000             one line per key, in order
//   key 1 01,1,012,0000000028
//   records 2                             the number of record lines
//   RECORD                                one line per record
//
// A record line holds the record's bytes: 0x20 to 0x7E as they are but
// the backslash, which is "\\"; every other byte "\xHH". The member form
// carries no version: load makes the version V_VERSION says (5 unless set).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "archive/member_codec.h"
#include "kelfs/config.h"
#include "support/be.h"
#include "tool.h"

namespace kel::tools {

namespace {

using kel::archive::MemberHeader;

constexpr char kTextMagic[] = "dorvex-tool unload 1";
constexpr uint32_t kMaxMemberRecord = 0xFFFF;

class Output {
 public:
  ~Output() {
    if (f_ != nullptr) fclose(f_);
  }
  bool open(const char *name) {
    f_ = fopen(name, "wbx");
    return f_ != nullptr;
  }
  bool put(const void *bytes, size_t n) { return fwrite(bytes, 1, n, f_) == n; }
  bool put(const std::string &s) { return put(s.data(), s.size()); }
  bool close() {
    FILE *f = f_;
    f_ = nullptr;
    return fflush(f) == 0 && fsync(fileno(f)) == 0 && fclose(f) == 0;
  }

 private:
  FILE *f_ = nullptr;
};

std::string escaped(const char *bytes, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b <= 0x7E) {
      out += static_cast<char>(b);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
  return out;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool unescaped(const std::string &line, std::string *out) {
  out->clear();
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] != '\\') {
      *out += line[i];
    } else if (i + 1 < line.size() && line[i + 1] == '\\') {
      *out += '\\';
      ++i;
    } else if (i + 3 < line.size() && line[i + 1] == 'x' && hex_digit(line[i + 2]) >= 0 &&
               hex_digit(line[i + 3]) >= 0) {
      *out += static_cast<char>(hex_digit(line[i + 2]) * 16 + hex_digit(line[i + 3]));
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

std::string text_header(const Layout &l, int key) {
  std::string h = std::string(kTextMagic) + "\nversion " + std::to_string(l.version) +
                  "\nrecord-parameters " + l.record_parameters + "\nphysical-parameters " +
                  l.physical_parameters + "\ncomment " +
                  escaped(l.comment.data(), l.comment.size()) + "\ntranslation-table ";
  if (l.has_table) {
    for (char c : l.table) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02X", static_cast<uint8_t>(c));
      h += hex;
    }
  } else {
    h += "none";
  }
  for (size_t k = 0; k < l.keys.size(); ++k) h += "\nkey " + std::to_string(k) + " " + l.keys[k];
  h += "\nkey-order " + std::to_string(key);
  return h + "\nrecords " + std::to_string(l.records) + "\n";
}

std::string member_start(const char *name, const Layout &l, std::string *reason) {
  std::vector<const char *> keys;
  for (const std::string &k : l.keys) keys.push_back(k.c_str());
  kel::archive::IndexedTexts texts;
  texts.record_parameters = l.record_parameters.c_str();
  texts.physical_parameters = l.physical_parameters.c_str();
  texts.comment = l.comment.c_str();
  texts.table = l.has_table ? l.table.data() : nullptr;
  texts.key_count = static_cast<int32_t>(keys.size());
  texts.keys = keys.data();
  const size_t size = kel::archive::indexed_texts_size(texts);
  const int64_t data_size = (l.max_record + 2) * l.records;
  if (size == 0 || l.max_record > kMaxMemberRecord || data_size > kel::archive::kMaxDataSize ||
      strlen(name) > static_cast<size_t>(kel::archive::kMaxNameLength)) {
    *reason =
        "its layout or size does not fit the member form (records of at most 65535 "
        "bytes); use --text";
    return "";
  }
  MemberHeader h;
  struct stat st;
  if (stat(name, &st) == 0) {
    h.mode = st.st_mode;
    h.owner = static_cast<int32_t>(st.st_uid);
    h.group = static_cast<int32_t>(st.st_gid);
    h.mtime = st.st_mtime;
  }
  h.type = kel::archive::kTypeIndexed;
  h.data_size = data_size;
  std::string out(kel::archive::kMemberHeaderSize + strlen(name) + 1 + size, '\0');
  size_t n = kel::archive::format_member_header(h, name, out.data());
  n += kel::archive::format_indexed_texts(texts, out.data() + n);
  out.resize(n);
  return out;
}

// ------------------------------------------------------------- reading --

struct Input {
  FILE *f = nullptr;
  ~Input() {
    if (f != nullptr) fclose(f);
  }
  bool exactly(char *out, size_t n) { return fread(out, 1, n, f) == n; }
  bool line(std::string *out) {
    out->clear();
    int c;
    while ((c = getc(f)) != EOF && c != '\n') *out += static_cast<char>(c);
    return c == '\n';
  }
};

bool read_exactly(void *context, char *out, size_t n) {
  return static_cast<Input *>(context)->exactly(out, n);
}

// Records come from the unload file one by one: `next` gives false at the
// end of the records (with `reason` empty) or on damage (with a reason).
struct Unloaded {
  Layout layout;
  bool text = false;
  int64_t records = 0;
};

bool read_member_start(Input &in, Unloaded *u, std::string *reason) {
  char header[kel::archive::kMemberHeaderSize];
  MemberHeader h;
  if (!in.exactly(header, sizeof header) ||
      kel::archive::parse_member_header(header, &h) != kel::archive::HeaderCheck::kOk ||
      h.type != kel::archive::kTypeIndexed) {
    *reason = "no unload file: neither an indexed member nor \"" + std::string(kTextMagic) + "\"";
    return false;
  }
  std::string name(static_cast<size_t>(h.name_length), '\0');
  auto parsed = std::make_unique<kel::archive::ParsedIndexedTexts>();
  if (!in.exactly(name.data(), name.size()) ||
      kel::archive::parse_indexed_texts(read_exactly, &in, parsed.get()) !=
          kel::archive::TextsResult::kOk) {
    *reason = "the texts that describe the file are damaged or cut short";
    return false;
  }
  Layout &l = u->layout;
  l.version = 0;  // V_VERSION decides
  l.record_parameters = parsed->record_parameters;
  l.physical_parameters = parsed->physical_parameters;
  l.comment = parsed->comment;
  l.has_table = parsed->has_table;
  memcpy(l.table.data(), parsed->table, l.table.size());
  std::string keys = parsed->keys;
  // The key texts were joined by commas; each is "SS,D" and two numbers a
  // segment, so they split again by their segment counts.
  const char *p = keys.c_str();
  while (*p != '\0') {
    int segments = atoi(p);
    const char *end = p;
    for (int commas = 0; *end != '\0' && commas < 2 + 2 * segments; ++end) {
      if (*end == ',') ++commas;
    }
    size_t length = static_cast<size_t>(end - p) - (*end == '\0' ? 0 : 1);
    l.keys.emplace_back(p, length);
    p = end;
  }
  if (!complete_layout(&l, reason)) return false;
  if (l.max_record + 2 <= 0 || h.data_size % (l.max_record + 2) != 0) {
    *reason = "its data size is no whole number of records";
    return false;
  }
  u->records = h.data_size / (l.max_record + 2);
  return true;
}

bool read_text_start(Input &in, Unloaded *u, std::string *reason) {
  Layout &l = u->layout;
  std::string line, word, value;
  u->text = true;
  auto field = [&](const char *name) {
    if (!in.line(&line)) return false;
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || line.compare(0, blank, name) != 0) return false;
    value = line.substr(blank + 1);
    return true;
  };
  if (!field("version") || (l.version = atoi(value.c_str())) < 2 || l.version > 5) {
    *reason = "line \"version N\" (2 to 5) expected";
    return false;
  }
  if (!field("record-parameters")) return *reason = "line \"record-parameters\" expected", false;
  l.record_parameters = value;
  if (!field("physical-parameters"))
    return *reason = "line \"physical-parameters\" expected", false;
  l.physical_parameters = value;
  if (!field("comment") || !unescaped(value, &l.comment))
    return *reason = "line \"comment\" expected", false;
  if (!field("translation-table")) return *reason = "line \"translation-table\" expected", false;
  l.has_table = value != "none";
  if (l.has_table) {
    if (value.size() != 512) return *reason = "a translation table of 512 hex digits", false;
    for (size_t i = 0; i < 256; ++i) {
      int hi = hex_digit(value[2 * i]), lo = hex_digit(value[2 * i + 1]);
      if (hi < 0 || lo < 0) return *reason = "a translation table of 512 hex digits", false;
      l.table[i] = static_cast<char>(hi * 16 + lo);
    }
  }
  while (field("key")) {
    const std::string number = std::to_string(l.keys.size()) + " ";
    if (value.compare(0, number.size(), number) != 0)
      return *reason = "line \"key " + number + "...\" expected", false;
    l.keys.push_back(value.substr(number.size()));
  }
  // The key order the file was unloaded in is there for a reader.
  if (line.compare(0, 10, "key-order ") == 0 && !in.line(&line)) line.clear();
  if (line.compare(0, 8, "records ") != 0) return *reason = "line \"records N\" expected", false;
  u->records = atoll(line.c_str() + 8);
  return complete_layout(&l, reason);
}

}  // namespace

int unload_command(const char *name, const char *out_name, int key, bool text) {
  DorvexFile *f = v5_open(name, KEL_OPEN_INPUT | KEL_OPEN_DENY_WRITE, nullptr);
  if (f == nullptr) return fail_fs(name);
  struct Closer {
    DorvexFile *f;
    ~Closer() { v5_close(f); }
  } closer{f};
  Layout layout;
  if (!describe(f, &layout)) return fail_fs(name);
  if (key < 0 || static_cast<size_t>(key) >= layout.keys.size())
    return fail(name, "has no key " + std::to_string(key));
  std::string reason, start = text ? text_header(layout, key) : member_start(name, layout, &reason);
  if (start.empty()) return fail(name, reason);
  Output out;
  if (!out.open(out_name)) return fail(out_name, strerror(errno));
  bool written = out.put(start);
  int64_t records = 0;
  std::vector<char> record;
  const bool read = written && walk_key(f, layout, key, record, [&](const char *r, uint32_t n) {
                      ++records;
                      if (text) return written = out.put(escaped(r, n) + "\n");
                      uint8_t length[2];
                      store_be16(length, static_cast<uint16_t>(n));
                      return written = out.put(length, 2) && out.put(r, n);
                    });
  if (written && read && !text) {
    char trailer[kel::archive::kMemberHeaderSize + sizeof kel::archive::kTrailerName];
    written = out.put(trailer, kel::archive::format_trailer(trailer));
  }
  const int saved = errno;
  if (!written || !out.close()) {
    remove(out_name);
    return fail(out_name, strerror(written ? errno : saved));
  }
  if (!read) {
    remove(out_name);
    return fail_fs(name);
  }
  if (records != layout.records) {
    remove(out_name);
    return fail(name, "key " + std::to_string(key) + " reaches " + std::to_string(records) +
                          " records, the header counts " + std::to_string(layout.records) +
                          "; run \"dorvex-tool check\"");
  }
  fprintf(stderr, "dorvex-tool: %s: %lld records unloaded in key %d order to %s\n", name,
          static_cast<long long>(records), key, out_name);
  return kExitOk;
}

int load_command(const char *in_name, const char *name) {
  Input in;
  in.f = fopen(in_name, "rb");
  if (in.f == nullptr) return fail(in_name, strerror(errno));
  if (indexed_file_exists(name)) return fail(name, "exists; remove it first");
  Unloaded u;
  std::string reason, first;
  const bool text = in.line(&first) && first == kTextMagic;
  if (!text) rewind(in.f);
  if (!(text ? read_text_start(in, &u, &reason) : read_member_start(in, &u, &reason)))
    return fail(in_name, reason);
  if (u.layout.version == 0) {
    u.layout.version = 5;
    int16_t wanted = cfg_get_short("V_VERSION", KELFS_CONFIG_SET);
    if (wanted >= 2 && wanted <= 5) u.layout.version = wanted;
  }
  if (!make_like(name, u.layout)) return fail_fs(name);
  Loader loader;
  auto failed_load = [&](const std::string &who, const std::string &why) {
    int status = fail(who, why);
    loader.finish();
    v5_remove(name);
    return status;
  };
  if (!loader.open(name)) return failed_load(name, fs_reason());
  std::string line, record;
  std::vector<char> bytes(static_cast<size_t>(u.layout.max_record) + 2);
  for (int64_t r = 0; r < u.records; ++r) {
    const std::string where = "record " + std::to_string(r + 1);
    uint32_t n;
    const char *data;
    if (u.text) {
      if (!in.line(&line) || !unescaped(line, &record))
        return failed_load(in_name, where + ": cut short or badly escaped");
      n = static_cast<uint32_t>(record.size());
      data = record.data();
    } else {
      if (!in.exactly(bytes.data(), 2)) return failed_load(in_name, where + ": cut short");
      n = load_be16(bytes.data());
      if (n > u.layout.max_record || !in.exactly(bytes.data(), n))
        return failed_load(in_name, where + ": cut short or longer than the maximum");
      data = bytes.data();
    }
    if (n < u.layout.min_record || n > u.layout.max_record)
      return failed_load(in_name, where + ": " + std::to_string(n) + " bytes, outside the sizes");
    if (!loader.add(data, n)) return failed_load(name, fs_reason());
  }
  if (!u.text) {
    char trailer[kel::archive::kMemberHeaderSize];
    MemberHeader h;
    std::string trailer_name;
    if (!in.exactly(trailer, sizeof trailer) ||
        kel::archive::parse_member_header(trailer, &h) != kel::archive::HeaderCheck::kOk ||
        h.name_length != static_cast<int32_t>(strlen(kel::archive::kTrailerName)))
      return failed_load(in_name, "the trailer after the records is missing");
  } else if (in.line(&line) || !line.empty()) {
    return failed_load(in_name, "more lines than \"records\" counts");
  }
  if (!loader.finish()) {
    int status = fail_fs(name);
    v5_remove(name);
    return status;
  }
  fprintf(stderr, "dorvex-tool: %s: made with %lld records from %s\n", name,
          static_cast<long long>(loader.added()), in_name);
  if (loader.rejected() > 0) {
    fprintf(stderr, "dorvex-tool: %s: %lld records rejected as duplicates of a unique key\n", name,
            static_cast<long long>(loader.rejected()));
    return kExitProblems;
  }
  return kExitOk;
}

}  // namespace kel::tools
