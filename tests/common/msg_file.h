// Builds message files byte by byte for the tests, independently of the
// library's reader: magic, version, one 6-byte index entry per message
// number from 1 to the highest, then the texts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/be.h"

namespace kel::test {

class MsgFileBuilder {
 public:
  // The sub-messages of `number`, stored as written (escapes unresolved).
  MsgFileBuilder &add(int number, std::vector<std::string> subs) {
    texts_[number] = std::move(subs);
    return *this;
  }
  // An index entry with offset 0xFFFFFFFF and `count` sub-messages.
  MsgFileBuilder &missing(int number, uint16_t count = 1) {
    missing_[number] = count;
    return *this;
  }
  MsgFileBuilder &version(uint16_t v) {
    version_ = v;
    return *this;
  }

  std::string bytes() const {
    int highest = 0;
    for (auto &[n, subs] : texts_) highest = std::max(highest, n);
    for (auto &[n, c] : missing_) highest = std::max(highest, n);
    std::string out;
    put(out, 0x514c016d, 4);
    put(out, version_, 2);
    out.append(6, '\xEE');  // the entry of message 0 is never read
    size_t text_at = out.size() + 6u * static_cast<size_t>(highest);
    std::string texts;
    for (int n = 1; n <= highest; ++n) {
      auto t = texts_.find(n);
      auto m = missing_.find(n);
      if (t != texts_.end()) {
        put(out, static_cast<uint32_t>(text_at + texts.size()), 4);
        put(out, static_cast<uint16_t>(t->second.size()), 2);
        for (const std::string &s : t->second) texts += s + '\0';
      } else {  // no sub-messages when not missing: every fetch falls back
        put(out, m != missing_.end() ? 0xFFFFFFFF : 0, 4);
        put(out, m != missing_.end() ? m->second : 0, 2);
      }
    }
    return out + texts;
  }

 private:
  static void put(std::string &s, uint32_t v, int bytes) {
    s.resize(s.size() + static_cast<size_t>(bytes));
    store_be(s.data() + s.size() - bytes, bytes, v);
  }
  std::map<int, std::vector<std::string>> texts_;
  std::map<int, uint16_t> missing_;
  uint16_t version_ = 266;
};

}  // namespace kel::test
