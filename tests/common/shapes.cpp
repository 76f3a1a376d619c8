#include "common/shapes.h"

#include <gtest/gtest.h>

#include "config/config.h"

namespace kel::test {

size_t KeySpec::size() const {
  size_t n = 0;
  for (const KeyPart &p : parts) n += p.size;
  return n;
}

std::string FileShape::record_text() const {
  return std::to_string(max_record) + ',' + std::to_string(min_record) + ',' +
         std::to_string(keys.size());
}

std::string FileShape::key_text() const {
  std::string s;
  for (const KeySpec &k : keys) {
    if (!s.empty()) s += ',';
    s += std::to_string(k.parts.size()) + ',' + (k.duplicates ? "1" : "0");
    for (const KeyPart &p : k.parts)
      s += ',' + std::to_string(p.size) + ',' + std::to_string(p.offset);
  }
  return s;
}

const uint8_t *FileShape::table() const {
  static const std::vector<uint8_t> folding = [] {
    std::vector<uint8_t> t(256);
    for (int i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
    return t;
  }();
  return case_folding ? folding.data() : nullptr;
}

int FileShape::make(const char *name, const char *comment) const {
  cfg_set_short("V_VERSION", 0, static_cast<int16_t>(version));
  if (segment_size) cfg_set_long("V_SEG_SIZE", 0, segment_size);
  return v5_make(name, comment, physical, record_text().c_str(), key_text().c_str(),
                 reinterpret_cast<const char *>(table()));
}

DorvexFile *FileShape::make_open(const char *name, int32_t mode) const {
  return make(name) == 1 ? v5_open(name, mode, "0,0,0") : nullptr;
}

std::string FileShape::record(const std::vector<std::string> &values, size_t length,
                              char fill) const {
  std::string r(length ? length : min_record, fill);
  for (size_t k = 0; k < values.size() && k < keys.size(); ++k) {
    std::string v = values[k];
    v.resize(keys[k].size(), fill);
    size_t at = 0;
    for (const KeyPart &p : keys[k].parts) {
      r.replace(p.offset, p.size, v, at, p.size);
      at += p.size;
    }
  }
  return r;
}

RecordGen::RecordGen(const FileShape &shape, std::vector<KeyValues> values)
    : shape_(shape), values_(std::move(values)) {
  values_.resize(shape_.keys.size(), KeyValues{1000});
}

std::string RecordGen::key_value(int k, size_t v) const {
  const KeyValues &kv = values_[static_cast<size_t>(k)];
  size_t size = shape_.keys[static_cast<size_t>(k)].size();
  std::string digits;
  for (size_t n = v; digits.size() < 4 || n > 0; n /= 20)
    digits.insert(digits.begin(), static_cast<char>('a' + n % 20));
  std::string out(size > digits.size() ? size - digits.size() : 0, k % 2 ? 'Q' : 'p');
  if (kv.scattered) {
    uint32_t h = static_cast<uint32_t>(v) * 2654435761u;
    for (size_t i = 0; i < out.size(); ++i, h = h * 1103515245u + 12345u)
      out[i] = static_cast<char>('a' + (h >> 16) % 26);
  }
  return out + digits.substr(digits.size() > size ? digits.size() - size : 0);
}

std::string RecordGen::build(std::mt19937 &rng, const std::vector<size_t> &picks) const {
  auto below = [&rng](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  size_t length = shape_.min_record + below(shape_.max_record - shape_.min_record + 1);
  std::string r(length, ' ');
  static const char kRunBytes[] = {' ', ' ', '0', '\0', 'x', 'x', '\xfa', '\xfb', '\xfe'};
  for (size_t i = 0; i < length;) {
    size_t run = below(16) == 0 ? 1 + below(200) : 1 + below(12);
    char c = kRunBytes[below(sizeof kRunBytes)];
    for (size_t j = 0; j < run && i < length; ++j, ++i)
      r[i] = c == 'x' ? static_cast<char>('a' + below(26)) : c;
  }
  for (size_t k = 0; k < shape_.keys.size(); ++k) {
    std::string v = key_value(static_cast<int>(k), picks[k]);
    if (values_[k].mixed_case)
      for (char &c : v)
        if (c >= 'a' && c <= 'z' && below(2)) c = static_cast<char>(c - 32);
    size_t at = 0;
    for (const KeyPart &p : shape_.keys[k].parts) {
      r.replace(p.offset, p.size, v, at, p.size);
      at += p.size;
    }
  }
  return r;
}

std::string RecordGen::random(std::mt19937 &rng) const {
  return with_key0(std::uniform_int_distribution<size_t>(0, values_[0].count - 1)(rng), rng);
}

std::string RecordGen::with_key0(size_t v, std::mt19937 &rng) const {
  std::vector<size_t> picks{v};
  for (size_t k = 1; k < values_.size(); ++k)
    picks.push_back(std::uniform_int_distribution<size_t>(0, values_[k].count - 1)(rng));
  return build(rng, picks);
}

std::vector<std::string> records_in_order(const std::string &path, int key, size_t buffer,
                                          char low) {
  std::vector<std::string> out;
  // Exclusive: the header is not read again for every record.
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT | KEL_OPEN_EXCLUSIVE, "0,0,0");
  EXPECT_NE(nullptr, f) << path << " " << *fs_error_code();
  if (f == nullptr) return out;
  std::string record(buffer, low);
  if (v5_start(f, record.data(), key, 0, V5_START_NOT_LESS))
    for (uint32_t n; (n = v5_next(f, record.data())) > 0;) out.emplace_back(record.data(), n);
  EXPECT_EQ(E_NOT_FOUND, *fs_error_code()) << path << " key " << key;
  v5_close(f);
  return out;
}

::testing::AssertionResult sound(const std::string &path) {
  DorvexFile *f = v5_open(path.c_str(), KEL_OPEN_INPUT, "0,0,0");
  if (f == nullptr) return ::testing::AssertionFailure() << path << ": code " << *fs_error_code();
  bool ok = v5_check(f, 0) == 1;
  v5_close(f);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << path << ":\n" << v5_check_report();
}

}  // namespace kel::test
