#include "archive/member_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "archive/archive_model.h"
#include "common/row_script.h"

namespace kel::archive {
namespace {

TEST(MemberCodec, HeadersAgainstTheModel) {
  // Every run compares whole members with the model; here the field edges.
  char out[128];
  EXPECT_EQ(test::model_trailer(), std::string(out, format_trailer(out)));
  // Values wider than their fields are clamped so that the later fields
  // keep their places.
  MemberHeader h{.mode = 0177777,
                 .owner = 123456,
                 .group = 70000,
                 .mtime = -5,
                 .data_size = 9999999999LL,
                 .type = kTypeText};
  const std::string widest = test::model_member(0177777, 99999, 70000, 0, "x", 9999999999LL, 'T');
  EXPECT_EQ(widest, std::string(out, format_member_header(h, "x", out)));
}

// Member headers read, old key descriptions built and read: rows of
// archive/codec.txt.
TEST(MemberCodec, Rows) {
  const char *const names[] = {"ok", "bad magic", "bad field", "split key", "too wide", "bad text"};
  const test::Verbs verbs = {
      // The header's text: its check, and the fields of one that passes.
      {"header",
       [&](const test::Words &a) {
         MemberHeader h;
         HeaderCheck c = parse_member_header(a.at(0).c_str(), &h);
         return names[static_cast<int>(c)] +
                (c != HeaderCheck::kOk
                     ? ""
                     : " mode " + std::to_string(h.mode) + " owner " + std::to_string(h.owner) +
                           " size " + std::to_string(h.data_size) + " name " +
                           std::to_string(h.name_length));
       }},
      // RECORD PHYSICAL KEY...: the description of an old-style member.
      {"old_keys",
       [&](const test::Words &a) {
         std::vector<const char *> keys;
         for (size_t i = 2; i < a.size(); ++i) keys.push_back(a[i].c_str());
         char out[256] = "";
         OldKeyResult r =
             build_old_key_description(a.at(0).c_str(), a.at(1).c_str(), keys.data(),
                                       static_cast<int32_t>(keys.size()), out, sizeof out);
         return r == OldKeyResult::kOk ? std::string(out) : names[2 + static_cast<int>(r)];
       }},
      // Its node blocks and maximum record length.
      {"old_key_sizes",
       [](const test::Words &a) {
         int32_t blocks = 0, length = 0;
         if (!parse_old_key_description(a.at(0).c_str(), &blocks, &length))
           return std::string("refused");
         return std::to_string(blocks) + " blocks " + std::to_string(length) + " bytes";
       }},
  };
  EXPECT_TRUE(test::run_rows("archive/codec.txt", verbs));
}

// The listing in golden/archive/input.txt shows the foreign name forms;
// names it cannot carry (empty, a bracket form cut after its opening
// bracket) become the empty name.
TEST(MemberCodec, NamesWithNothingToConvert) {
  char out[8];
  for (const char *in : {"", "["}) {
    convert_name(in, out);
    EXPECT_STREQ("", out) << in;
  }
}

// The texts ahead of an indexed member's records (kel writes them;
// dorvex-tool's unload reads them back): their bytes round trip, a table
// travels as "256" and its bytes, NULs included, and damaged texts are
// refused with the reason.
TEST(MemberCodec, IndexedTexts) {
  const char *keys[] = {"01,0,008,0000000000", "01,1,012,0000000028"};
  std::string table(256, '\0');
  for (int b = 0; b < 256; ++b) table[static_cast<size_t>(b)] = static_cast<char>(255 - b);
  IndexedTexts t{
      "0000000040,0000000040,002", "01,0000000,0000001,000,0", "c", table.data(), 2, keys};
  char out[kIndexedTextsMax];
  const std::string bytes(out, format_indexed_texts(t, out));
  ASSERT_EQ(indexed_texts_size(t), bytes.size());
  EXPECT_EQ("250000000040,0000000040,0022401,0000000,0000001,000,001c256" + table +
                "00201901,0,008,000000000001901,1,012,0000000028",
            bytes);
  auto read_from = [](void *file, char *into, size_t n) {
    return fread(into, 1, n, static_cast<FILE *>(file)) == n;
  };
  const std::string plain = bytes.substr(0, 56) + "000" + bytes.substr(56 + 3 + 256);
  const struct {
    std::string bytes;
    TextsResult result;
  } cases[] = {{bytes, TextsResult::kOk},
               {plain, TextsResult::kOk},
               {plain.substr(0, plain.size() - 1), TextsResult::kShort},
               {"2x" + plain.substr(2), TextsResult::kBadField},
               {plain.substr(0, 56) + "255", TextsResult::kBadField},
               {plain.substr(0, 59) + "000", TextsResult::kBadField},
               {plain.substr(0, 56) + "000001019" + std::string(1, '\0') + plain.substr(66),
                TextsResult::kBadField}};
  for (const auto &c : cases) {
    ParsedIndexedTexts parsed;
    FILE *in = fmemopen(const_cast<char *>(c.bytes.data()), c.bytes.size(), "r");
    TextsResult result = parse_indexed_texts(read_from, in, &parsed);
    const long at = ftell(in);
    fclose(in);
    ASSERT_EQ(c.result, result) << c.bytes;
    if (c.result != TextsResult::kOk) continue;
    EXPECT_EQ(static_cast<long>(c.bytes.size()), at);
    EXPECT_STREQ(t.record_parameters, parsed.record_parameters);
    EXPECT_STREQ("c", parsed.comment);
    EXPECT_EQ(c.bytes == bytes ? table : "",
              parsed.has_table ? std::string(parsed.table, 256) : "");
    EXPECT_STREQ("01,0,008,0000000000,01,1,012,0000000028", parsed.keys);
  }
  t.key_count = kIndexedMaxKeys + 1;  // too many keys: nothing to format
  EXPECT_EQ(0u, indexed_texts_size(t));
}

}  // namespace
}  // namespace kel::archive
