// Rows of call scripts that reach into the indexed engine, for the tests
// of its files: the header read, changed and released as the engine does
// it, records added and deleted by number, header slots, nodes and data
// bytes changed behind the engine's back, and the whole-file check. A
// handle is the name an open of the script gave its file.
//
//   header H read|locked|update [force]   release H   state H
//   header_write H OFFSET HEIGHT (key 0's root moved)   mark_broken H CODE
//   records H FROM TO [LENGTH FILL]   drop H FROM TO [LENGTH FILL]
//   three H FROM TO   counted H FROM TO LENGTH   in_order H TO LENGTH
//   shutdown
//   slot H S [VALUE|back]   root H   node H root|free OFFSET WIDTH VALUE
//   data H OFFSET SEGMENT BYTES   check H   level N (the interface level)
//
// The storage layer's own steps on a file whose header the script holds
// for an update ("header H update"; "finish H" writes it and lets it go),
// records and segments written to grow a file, and a file's bytes; an
// address is OFFSET SEGMENT:
//
//   add H RECORD [SEQUENCE]   adds H N RECORD SLOT   read_at H O S
//   delete_at H O S   bulk H 1|0   allocate H [N]   node_fill H O S BYTE
//   node_free H O S   index_bytes H DELTA   key_root H KEY O S HEIGHT
//   finish H   segment_records H FROM TO   segments H   reverse H I
//   random_records H N LENGTH   image NAME [FROM [TO]]
#pragma once

#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/call_script.h"
#include "indexed/engine_fixture.h"
#include "support/be.h"

namespace kel::test {

inline void add_engine_verbs(CallScript &script) {
  using indexed::SegAddr;
  // The open file a row names; a name that holds none fails the row (the
  // storage layer's steps would follow a null pointer).
  auto file = [&script](const Call &c) {
    DorvexFile *f = script.file<DorvexFile>(c.text(0));
    if (f == nullptr) throw std::invalid_argument("no open file " + c.text(0));
    return f;
  };
  auto done = [](bool ok) { return ok ? std::string("1") : CallScript::result(0); };
  // A step that gives nothing back shows "done".
  auto acts = [](auto step) {
    return [step](const Call &c) {
      step(c);
      return std::string("done");
    };
  };
  // header H read|locked|update [force]: a header read, held until release.
  script.add("header", [=](const Call &c) {
    auto access = c.text(1) == "read"     ? indexed::HeaderAccess::kRead
                  : c.text(1) == "locked" ? indexed::HeaderAccess::kLocked
                                          : indexed::HeaderAccess::kUpdate;
    return done(indexed::header_read(file(c), access,
                                     c.args.size() > 2 ? uint32_t{indexed::kHeaderForce} : 0u));
  });
  script.add("release", acts([=](const Call &c) { indexed::header_release(file(c)); }));
  // header_write H OFFSET HEIGHT: key 0's root moved, the header written.
  script.add("header_write", [=](const Call &c) {
    indexed::header_mark_changed(file(c));
    return done(indexed::set_key_root(file(c), 0,
                                      indexed::SegAddr{static_cast<int32_t>(c.num(1)), 0},
                                      static_cast<uint8_t>(c.num(2))) &&
                indexed::header_write(file(c)));
  });
  script.add("mark_broken", acts([=](const Call &c) {
               indexed::mark_broken(file(c), static_cast<int32_t>(c.num(1)));
             }));
  // What the open knows of the header.
  script.add("state", [=](const Call &c) {
    DorvexFile *f = file(c);
    const auto &h = f->header_counters;
    return "version " + std::to_string(f->last_header_version) + ", keys version " +
           std::to_string(f->key_desc_version) + ", root " +
           std::to_string(f->keys[0].root_offset) + " height " + std::to_string(f->keys[0].height) +
           ", unlocked reads " + std::to_string(h.unlocked_reads) + " waited " +
           std::to_string(h.unlocked_waited) + (f->header_held ? ", held" : "");
  });
  // check H: the report, its lines after the first behind "| ".
  script.add("check", [=](const Call &c) {
    indexed::CheckReport r;
    indexed::dorvex_check(file(c), &r);
    return std::string(r.text.c_str());
  });
  // records H FROM TO [LENGTH FILL] adds the records FROM to TO - 1:
  // key 0 the number in four digits, "aa" (odd) or "bb" (even), then FILL
  // up to LENGTH (20 '.'); drop H FROM TO deletes them.
  auto record = [](const Call &c, int64_t i) {
    char head[16];
    snprintf(head, sizeof head, "%04d%s", static_cast<int>(i), i % 2 ? "aa" : "bb");
    size_t length = c.args.size() > 3 ? static_cast<size_t>(c.num(3)) : 20;
    return head + std::string(length - 6, c.args.size() > 4 ? c.text(4)[0] : '.');
  };
  // The records FROM to TO - 1 that `make` gives by number, written.
  auto write_each = [=](const Call &c, auto make) {
    bool ok = true;
    for (int64_t i = c.num(1); i < c.num(2) && ok; ++i) {
      std::string r = make(i);
      ok = v5_write(file(c), r.data(), static_cast<uint32_t>(r.size())) == 1;
    }
    return done(ok);
  };
  script.add("records",
             [=](const Call &c) { return write_each(c, [&](int64_t i) { return record(c, i); }); });
  // three H FROM TO: the same for three keys, of 40 bytes ('-'): key 0 2i
  // in four digits, key 1 "aa" or "bb" (duplicates), key 2 i in three
  // digits.
  script.add("three", [=](const Call &c) {
    return write_each(c, [](int64_t i) {
      char r[48];
      snprintf(r, sizeof r, "%04d%s%03d%s", static_cast<int>(i * 2), i % 2 ? "aa" : "bb",
               static_cast<int>(i), std::string(31, '-').c_str());
      return std::string(r, 40);
    });
  });
  script.add("drop", [=](const Call &c) {
    bool ok = true;
    for (int64_t i = c.num(1); i < c.num(2) && ok; ++i)
      ok = v5_delete(file(c), record(c, i).data()) == 1;
    return done(ok);
  });
  script.add("level",
             acts([](const Call &c) { indexed::set_interface_level(static_cast<int>(c.num(0))); }));
  // The engine's buffers, cache and file table gone, as at a new start.
  script.add("shutdown", acts([](const Call &) { indexed::shutdown(); }));
  // counted H FROM TO LENGTH adds the records FROM to TO - 1 of LENGTH
  // bytes, every two bytes of the i-th holding i (big-endian); "in_order H
  // TO LENGTH" walks key 0 and says whether it meets exactly records 0 to
  // TO - 1, in that order.
  auto counted = [](int64_t i, int64_t length) {
    std::string r(static_cast<size_t>(length), '\0');
    for (size_t b = 0; b + 1 < r.size(); b += 2)
      store_be16(reinterpret_cast<uint8_t *>(&r[b]), static_cast<uint16_t>(i));
    return r;
  };
  script.add("counted", [=](const Call &c) {
    return write_each(c, [&](int64_t i) { return counted(i, c.num(3)); });
  });
  script.add("in_order", [=, &script](const Call &c) {
    char *at = script.buffer;
    memset(at, 0, sizeof script.buffer);
    if (v5_start(file(c), at, 0, 0, 1) != 1) return CallScript::result(0);
    int64_t i = 0;
    for (uint32_t n; (n = v5_next(file(c), at)) > 0; ++i)
      if (std::string(at, n) != counted(i, c.num(2)))
        return "record " + std::to_string(i) + " differs";
    return i == c.num(1) ? std::string("in order") : std::to_string(i) + " records";
  });
  // slot H S VALUE sets a header slot as a writer would (back: the value
  // it had before); slot H S shows it.
  auto kept = std::make_shared<std::map<int, uint64_t>>();
  script.add("slot", [=](const Call &c) {
    DorvexFile *f = file(c);
    auto s = static_cast<indexed::Slot>(c.num(1));
    if (c.args.size() < 3) return std::to_string(indexed::hget(f, s));
    if (!indexed::header_read(f, indexed::HeaderAccess::kUpdate)) return CallScript::result(0);
    uint64_t value = c.text(2) == "back" ? (*kept)[s] : static_cast<uint64_t>(c.num(2));
    (*kept)[s] = static_cast<uint64_t>(indexed::hget(f, s));
    indexed::hset(f, s, value);
    indexed::header_mark_changed(f);
    bool ok = indexed::header_write(f);
    indexed::header_release(f);
    return done(ok);
  });
  // The node at key 0's root (root1: key 1's) or at the free list's head:
  // "root H" its address and its first entry's record; "node H
  // root|root1|free OFFSET WIDTH VALUE" changes a big-endian field of it.
  auto node_at = [=](const Call &c) {
    DorvexFile *f = file(c);
    if (c.text(1) == "free")
      return indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg);
    const int32_t k = c.text(1) == "root1" ? 1 : 0;
    if (k >= f->key_count) return SegAddr{-1, 0};
    const auto &key = f->keys[k];
    return SegAddr{static_cast<int32_t>(key.root_offset), key.root_segment};
  };
  script.add("root", [=](const Call &c) {
    std::vector<uint8_t> node(static_cast<size_t>(file(c)->node_size));
    SegAddr at = node_at(Call{{c.text(0), "root"}});
    if (!indexed::node_read(file(c), at, node.data())) return CallScript::result(0);
    return std::to_string(at.offset) + " " + std::to_string(at.segment) + ", first record " +
           std::to_string(-static_cast<int32_t>(load_be32(&node.at(3)))) + " " +
           std::to_string(load_be16(&node.at(7)));
  });
  script.add("node", [=](const Call &c) {
    std::vector<uint8_t> node(static_cast<size_t>(file(c)->node_size));
    SegAddr at = node_at(c);
    if (at.offset < 0) return std::string("no such key");
    if (!indexed::node_read(file(c), at, node.data())) return CallScript::result(0);
    store_be(be_field(node.data(), node.size(), c.num(2), c.num(3)), static_cast<int>(c.num(3)),
             static_cast<uint64_t>(c.num(4)));
    return done(indexed::node_write(file(c), at, node.data()));
  });
  // data H OFFSET SEGMENT BYTES writes bytes into the data behind the
  // trees' back.
  script.add("data", [=](const Call &c) {
    SegAddr at{static_cast<int32_t>(c.num(1)), static_cast<uint16_t>(c.num(2))};
    const std::string &bytes = c.text(3);
    return done(indexed::data_write(file(c), at, reinterpret_cast<const uint8_t *>(bytes.data()),
                                    static_cast<uint32_t>(bytes.size())));
  });

  auto at = [](const Call &c, size_t i) {
    return SegAddr{static_cast<int32_t>(c.num(i)), static_cast<uint16_t>(c.num(i + 1))};
  };
  auto where = [](SegAddr a) {
    return "at " + std::to_string(a.offset) + "/" + std::to_string(a.segment);
  };
  // The record at an address, with its sequence number; "<code,secondary>"
  // when the read fails.
  auto read_at = [](DorvexFile *f, SegAddr a, uint32_t *sequence) {
    std::string out(f->max_record, '\0');
    int64_t n = indexed::read_record(f, a, reinterpret_cast<uint8_t *>(&out[0]), sequence);
    if (n < 0)
      return "<" + std::to_string(*fs_error_code()) + "," + std::to_string(*fs_error_secondary()) +
             ">";
    out.resize(static_cast<size_t>(n));
    return out;
  };
  // add H RECORD [SEQUENCE]: where the record went, the sequence number it
  // reads back with (when not 0), and what it reads back as when that is
  // not the record.
  auto add = [=](DorvexFile *f, const std::string &r, uint32_t given) {
    SegAddr a{-1, 0};
    if (!indexed::add_record(f, reinterpret_cast<const uint8_t *>(r.data()),
                             static_cast<uint32_t>(r.size()), given, &a))
      return CallScript::result(0);
    uint32_t sequence = 0;
    std::string back = read_at(f, a, &sequence);
    return where(a) + (sequence ? ", sequence " + std::to_string(sequence) : "") +
           (back == r ? "" : ", reads back " + as_record(back));
  };
  // Whether add's outcome is a plain address: added, and reads back as
  // given.
  auto plain = [](const std::string &added) {
    return added.rfind("at ", 0) == 0 && added.find(',') == std::string::npos;
  };
  script.add("add", [=](const Call &c) {
    return add(file(c), c.text(1), c.args.size() > 2 ? static_cast<uint32_t>(c.num(2)) : 0);
  });
  // adds H N RECORD SLOT: the record added N times, the header slot after
  // each; an addition that fails or reads back otherwise ends the row
  // with what add shows of it.
  script.add("adds", [=](const Call &c) {
    std::string out = "slot";
    for (int64_t i = 0; i < c.num(1); ++i) {
      std::string added = add(file(c), c.text(2), 0);
      if (!plain(added)) return added;
      out += " " + std::to_string(indexed::hget(file(c), static_cast<indexed::Slot>(c.num(3))));
    }
    return out;
  });
  script.add("read_at",
             [=](const Call &c) { return as_record(read_at(file(c), at(c, 1), nullptr)); });
  script.add("delete_at",
             [=](const Call &c) { return done(indexed::delete_record(file(c), at(c, 1))); });
  script.add("bulk", acts([=](const Call &c) { file(c)->bulk_running = c.num(1) != 0; }));
  // allocate H [N]: N nodes (1), where the last one went.
  script.add("allocate", [=](const Call &c) {
    SegAddr a{-1, 0};
    for (int64_t i = 0; i < (c.args.size() > 1 ? c.num(1) : 1); ++i)
      if (!indexed::node_allocate(file(c), &a)) return CallScript::result(0);
    return where(a);
  });
  script.add("node_fill", [=](const Call &c) {
    std::vector<uint8_t> block(static_cast<size_t>(file(c)->node_size),
                               static_cast<uint8_t>(c.num(3)));
    return done(indexed::node_write(file(c), at(c, 1), block.data()));
  });
  script.add("node_free",
             [=](const Call &c) { return done(indexed::node_free(file(c), at(c, 1))); });
  script.add("index_bytes",
             acts([=](const Call &c) { indexed::index_bytes_adjust(file(c), c.num(1)); }));
  script.add("key_root", [=](const Call &c) {
    return done(indexed::set_key_root(file(c), static_cast<int>(c.num(1)), at(c, 2),
                                      static_cast<uint8_t>(c.num(4))));
  });
  // finish H: the header written and let go, before the file's close.
  script.add("finish", [=](const Call &c) {
    bool ok = indexed::header_write(file(c));
    indexed::header_release(file(c));
    return done(ok);
  });
  // segment_records H FROM TO adds the records FROM to TO - 1 of 1000
  // bytes that tell their number (segment_record); each reads back as
  // written; where the last went.
  script.add("segment_records", [=](const Call &c) {
    std::string out;
    for (int64_t i = c.num(1); i < c.num(2); ++i)
      if (!plain(out = add(file(c), segment_record(static_cast<int>(i)), 0)))
        return std::to_string(i) + ": " + out;
    return out;
  });
  // The segments' names and sizes (information code -8), one a line.
  script.add("segments", [=](const Call &c) {
    char names[4 * 138 + 1] = {};
    if (dorvex_info(file(c), -8, names) != 1) return CallScript::result(0);
    std::string out = "segments";
    for (int i = 0; i < 4; ++i)
      out += "\n" + std::string(names + 138 * i) + " " + std::string(names + 138 * i + 128, 10);
    return out;
  });
  script.add("reverse", [=](const Call &c) {
    const int64_t i = c.num(1);
    if (i < 0 || i > 255) throw std::out_of_range("reverse takes a byte 0-255");
    return std::to_string(file(c)->reverse[static_cast<size_t>(i)]);
  });
  // random_records H N LENGTH: N records of LENGTH bytes, the i-th of the
  // letter 'A' + i % 26 with a random run of "AB0 " bytes from byte 1 to
  // 14, so that keys share prefixes of every length; those written, then
  // every third of them deleted again. The first step refused is named
  // with the seed that draws the records, the record, and what the call
  // gave against the 1 it should, so that a change of it shows where.
  script.add("random_records", [=](const Call &c) {
    constexpr uint32_t kSeed = 17;
    std::mt19937 rng(kSeed);
    std::vector<std::string> written;
    std::string first;
    // Whether the call of `step` on `record` gave 1; the first that did
    // not is kept with what it gave (read at once: the codes are its).
    auto took = [&](const std::string &step, const std::string &record, int32_t got) {
      if (got != 1 && first.empty())
        first = "\nfirst refused (seed " + std::to_string(kSeed) + "): " + step + " " +
                as_record(record) + ", expected 1, got " + CallScript::result(got);
      return got == 1;
    };
    for (int64_t i = 0; i < c.num(1); ++i) {
      std::string r(static_cast<size_t>(c.num(2)), static_cast<char>('A' + i % 26));
      for (size_t k = 1 + rng() % 12; k < 15; ++k) r[k] = "AB0 "[rng() % 4];
      if (took("write " + std::to_string(i), r,
               v5_write(file(c), r.data(), static_cast<uint32_t>(r.size()))))
        written.push_back(r);
    }
    size_t deleted = 0;
    for (size_t i = 0; i < written.size(); i += 3)
      deleted += took("delete", written[i], v5_delete(file(c), written[i].data()));
    return std::to_string(written.size()) + " written, " + std::to_string(deleted) + " deleted" +
           first;
  });
  // image NAME [FROM [TO]]: the file's size, then its bytes FROM to TO as
  // lines of 16 in hexadecimal behind their offset; lines of zeros left
  // out.
  script.add("image", [](const Call &c) {
    if (!file_exists(c.text(0))) return std::string("missing");
    std::string b = read_file(c.text(0));
    std::string out = std::to_string(b.size()) + " bytes";
    size_t to = c.args.size() > 2 ? static_cast<size_t>(c.num(2)) : b.size();
    for (size_t line = c.args.size() > 1 ? static_cast<size_t>(c.num(1)) : 0;
         line < std::min(to, b.size()); line += 16) {
      if (b.find_first_not_of('\0', line) >= line + 16) continue;
      char text[80];
      int n = snprintf(text, sizeof text, "\n%06zx:", line);
      for (size_t i = line; i < line + 16 && i < b.size(); ++i)
        n += snprintf(text + n, sizeof text - static_cast<size_t>(n), " %02x",
                      static_cast<uint8_t>(b[i]));
      out += text;
    }
    return out;
  });
}

}  // namespace kel::test
