#include "archive/member_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/golden.h"
#include "common/row_script.h"

namespace kel::archive {
namespace {

bool read_from(void *file, char *into, size_t n) {
  return fread(into, 1, n, static_cast<FILE *>(file)) == n;
}

// The texts in `bytes` as parse_indexed_texts reads them, and how far it
// read.
std::string parsed_texts(const std::string &bytes, ParsedIndexedTexts *parsed) {
  const char *const results[] = {"ok", "short", "bad field"};
  FILE *in = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "r");
  TextsResult r = parse_indexed_texts(read_from, in, parsed);
  const long at = ftell(in);
  fclose(in);
  std::string out = results[static_cast<int>(r)];
  if (r != TextsResult::kOk) return out;
  return out + " read " + std::to_string(at) + " record " +
         test::as_word(parsed->record_parameters) + " physical " +
         test::as_word(parsed->physical_parameters) + " comment " + test::as_word(parsed->comment) +
         " table " + (parsed->has_table ? "256" : "none") + " keys " + test::as_word(parsed->keys);
}

// Member headers formatted and read, old key descriptions built and read,
// names converted, the texts ahead of an indexed member's records parsed:
// rows of archive/codec.txt.
TEST(MemberCodec, Rows) {
  const char *const names[] = {"ok", "bad magic", "bad field", "split key", "too wide", "bad text"};
  const test::Verbs verbs = {
      // MODE OWNER GROUP MTIME SIZE TYPE NAME: the header's text.
      {"member",
       [](const test::Words &a) {
         MemberHeader h{.mode = static_cast<uint32_t>(test::number(a.at(0))),
                        .owner = static_cast<int32_t>(test::number(a.at(1))),
                        .group = static_cast<int32_t>(test::number(a.at(2))),
                        .mtime = test::number(a.at(3)),
                        .data_size = test::number(a.at(4)),
                        .type = a.at(5).at(0)};
         char out[256];
         return test::as_word(std::string(out, format_member_header(h, a.at(6).c_str(), out)));
       }},
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
      {"convert_name",
       [](const test::Words &a) {
         std::string out(a.at(0).size() + 1, '\0');
         convert_name(a[0].c_str(), out.data());
         return test::as_word(out.c_str());
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
      // The bytes of an indexed member's texts as they are read.
      {"texts",
       [](const test::Words &a) {
         ParsedIndexedTexts parsed;
         return parsed_texts(a.at(0), &parsed);
       }},
      // RECORD PHYSICAL COMMENT TABLE COUNT KEY...: the size and bytes of
      // the texts kel writes (dorvex-tool's unload reads them back) with
      // COUNT keys, the given ones in turn, and a table of none or the bytes
      // 255 down to 0 (shown as <table>), or nothing; then how they read
      // (and how many were written, when not the size).
      {"format_texts",
       [](const test::Words &a) {
         std::string table;
         for (int b = 255; b >= 0 && a.at(3) != "none"; --b) table += static_cast<char>(b);
         std::vector<const char *> keys;
         for (size_t i = 0; i < static_cast<size_t>(test::number(a.at(4))); ++i)
           keys.push_back(a.at(5 + i % (a.size() - 5)).c_str());
         const char *reversed = table.empty() ? nullptr : table.data();
         const int32_t n = static_cast<int32_t>(keys.size());
         const IndexedTexts t{a[0].c_str(), a[1].c_str(), a[2].c_str(), reversed, n, keys.data()};
         char out[kIndexedTextsMax];
         const size_t size = indexed_texts_size(t);
         if (size == 0) return std::string("nothing");
         const std::string bytes(out, format_indexed_texts(t, out));
         ParsedIndexedTexts parsed;
         std::string back = parsed_texts(bytes, &parsed);
         if (reversed && table != std::string(parsed.table, 256)) back += " another table";
         if (bytes.size() != size) back += ", " + std::to_string(bytes.size()) + " written";
         return std::to_string(size) + " " +
                test::as_word(test::replace_all(bytes, table, "<table>")) + "\n" + back;
       }},
  };
  EXPECT_TRUE(test::run_rows("archive/codec.txt", verbs));
}

}  // namespace
}  // namespace kel::archive
