// An independent model of the archive stream for the tests: volume headers,
// member headers, V member texts and record padding built with plain
// formatting from the documented layouts, so that kel's output can be
// compared with bytes that kel's own code did not produce.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/test_util.h"

namespace kel::test {

// "KEL!" version volume media-size record-size media-block, then a fixed
// creation text (the tests mask the time field), a zero, zeros to a block.
// The volume field has two digits: volume 100 and later count from 0 again.
inline std::string model_volume_header(int version, int volume, int media_size, int record_size,
                                       int media_block) {
  char text[64];
  snprintf(text, sizeof text, "KEL!%02d%02d%05d%05d%04d", version, volume % 100, media_size,
           record_size, media_block);
  std::string h = text;
  h += "Thu Jan  1 00:00:00 1970\n";
  h.resize(static_cast<size_t>(media_block), '\0');
  return h;
}

// Bytes 22..46 of a volume header at `header_at` hold its creation time.
inline std::string masked(std::string archive, size_t header_at = 0) {
  if (archive.size() >= header_at + 47) archive.replace(header_at + 22, 25, 25, '#');
  return archive;
}

inline std::string model_member(unsigned mode, int uid, int gid, long long mtime,
                                const std::string &name, long long size, char type) {
  char text[128];
  snprintf(text, sizeof text, "%08x%06o%05d%05d%010lld%03d%010lld%c", 0x10121417u, mode, uid, gid,
           mtime, static_cast<int>(name.size()), size, type);
  return std::string(text) + name;
}

// A plain member with its data; by default a text file of mode 0644 owned
// by root, changed at 1000000000.
inline std::string model_plain(const std::string &name, const std::string &data, char type = 'T',
                               unsigned mode = 0100644, int uid = 0, int gid = 0,
                               long long mtime = 1000000000) {
  return model_member(mode, uid, gid, mtime, name, static_cast<long long>(data.size()), type) +
         data;
}

// The header of a member for the file `dir`/`name` as it is now, stored as
// `stored` (the name itself when empty).
inline std::string model_header_of(const std::string &dir, const std::string &name,
                                   const std::string &stored, long long size, char type) {
  struct stat st = {};
  stat((dir + "/" + name).c_str(), &st);
  return model_member(st.st_mode, static_cast<int>(st.st_uid), static_cast<int>(st.st_gid),
                      st.st_mtime, stored.empty() ? name : stored, size, type);
}

// A plain member of the file `dir`/`name`, with its bytes.
inline std::string model_file_member(const std::string &dir, const std::string &name, char type,
                                     const std::string &stored = "") {
  std::string data = read_file(dir + "/" + name);
  return model_header_of(dir, name, stored, static_cast<long long>(data.size()), type) + data;
}

inline std::string model_trailer() {
  return "10121417000000000000000000000000000100000000000NTRAILER!!!";
}

// The member stream cut into records, the last one zero-filled.
inline std::string model_records(const std::string &stream, size_t record_size) {
  std::string r = stream;
  size_t rest = r.size() % record_size;
  if (rest) r.append(record_size - rest, '\0');
  return r;
}

// A whole single-volume archive.
inline std::string model_archive(const std::string &members, int record_size = 512,
                                 int media_block = 512, int version = 6) {
  return model_volume_header(version, 1, 0, record_size, media_block) +
         model_records(members + model_trailer(), static_cast<size_t>(record_size));
}

// A V member of format version 6: the texts v5_info gives and the records
// in primary-key order.
struct ModelIndexed {
  std::string record_parameters;  // "%010d,%010d,%03d"
  std::string physical_parameters;
  std::string comment;
  std::string table;  // empty or 256 bytes
  std::vector<std::string> keys;
  std::vector<std::string> records;
  int max_length = 0;
};

// Records of 8 to 10 bytes, a unique key of 4 bytes at 0 and one of 3 bytes
// at 4 with duplicates, compressed; the engine makes it as it stands.
inline ModelIndexed sample_indexed(std::vector<std::string> records = {"aaaa1234", "bbbb12xx",
                                                                       "cccc123456"}) {
  return {.record_parameters = "0000000010,0000000008,002",
          .physical_parameters = "02,0000000,0000001,070,0",
          .comment = "cust",
          .table = "",
          .keys = {"01,0,004,0000000000", "01,1,003,0000000004"},
          .records = std::move(records),
          .max_length = 10};
}

// `n` in `width` decimal digits, zero-filled.
inline std::string digits(int width, size_t n) {
  char text[24];
  snprintf(text, sizeof text, "%0*zu", width, n);
  return text;
}

inline std::string counted(int width, const std::string &text) {
  return digits(width, text.size()) + text;
}

// A record behind its length in two bytes, high byte first.
inline std::string length_prefixed(const std::string &r) {
  return std::string{static_cast<char>(r.size() >> 8), static_cast<char>(r.size() & 0xFF)} + r;
}

// The data of a version 6 member and the whole member.
inline std::string model_v6_data(const ModelIndexed &x) {
  std::string d =
      counted(2, x.record_parameters) + counted(2, x.physical_parameters) + counted(2, x.comment);
  d += (x.table.empty() ? std::string("000") : counted(3, x.table)) + digits(3, x.keys.size());
  for (const auto &k : x.keys) d += counted(3, k);
  for (const auto &r : x.records) d += length_prefixed(r);
  return d;
}

inline std::string model_v6_member(const std::string &name, const ModelIndexed &x,
                                   unsigned mode = 0100640, int owner = 0) {
  long long size = (x.max_length + 2) * static_cast<long long>(x.records.size());
  return model_member(mode, owner, owner, 1000000000, name, size, 'V') + model_v6_data(x);
}

// Old style (version 5: records with a length; version 4: fixed records).
inline std::string model_old_data(const std::string &comment, const std::string &old_keys,
                                  const std::vector<std::string> &records, bool prefixed) {
  // Both lengths come first, then both texts.
  std::string d = digits(2, comment.size()) + digits(3, old_keys.size()) + comment + old_keys;
  for (const auto &r : records) d += prefixed ? length_prefixed(r) : r;
  return d;
}

inline std::string swap_pairs_of(const std::string &s) {
  std::string r = s;
  for (size_t i = 0; i + 1 < r.size(); i += 2) std::swap(r[i], r[i + 1]);
  return r;
}

}  // namespace kel::test
