// Rows of call scripts that reach into the indexed engine, for the tests
// of its files: the header read, changed and released as the engine does
// it, records added and deleted by number, header slots, nodes and data
// bytes changed behind the engine's back, and the whole-file check. A
// handle is the name an open of the script gave its file.
//
//   header H read|locked|update [force]   release H   state H
//   header_write H OFFSET HEIGHT (key 0's root moved)   mark_broken H CODE
//   records H FROM TO [LENGTH FILL]   drop H FROM TO [LENGTH FILL]
//   counted H FROM TO LENGTH   in_order H TO LENGTH   shutdown
//   slot H S [VALUE|back]   root H   node H root|free OFFSET WIDTH VALUE
//   data H OFFSET SEGMENT BYTES   check H   level N (the interface level)
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "common/call_script.h"
#include "indexed/engine_fixture.h"
#include "support/be.h"

namespace kel::test {

inline void add_engine_verbs(CallScript &script) {
  using indexed::SegAddr;
  auto file = [&script](const Call &c) { return script.file<DorvexFile>(c.text(0)); };
  auto done = [](bool ok) { return ok ? std::string("1") : CallScript::result(0); };
  // header H read|locked|update [force]: a header read, held until release.
  script.add("header", [=](const Call &c) {
    auto access = c.text(1) == "read"     ? indexed::HeaderAccess::kRead
                  : c.text(1) == "locked" ? indexed::HeaderAccess::kLocked
                                          : indexed::HeaderAccess::kUpdate;
    return done(indexed::header_read(file(c), access,
                                     c.args.size() > 2 ? uint32_t{indexed::kHeaderForce} : 0u));
  });
  script.add("release", [=](const Call &c) {
    indexed::header_release(file(c));
    return std::string("done");
  });
  // header_write H OFFSET HEIGHT: key 0's root moved, the header written.
  script.add("header_write", [=](const Call &c) {
    indexed::header_mark_changed(file(c));
    return done(indexed::set_key_root(file(c), 0,
                                      indexed::SegAddr{static_cast<int32_t>(c.num(1)), 0},
                                      static_cast<uint8_t>(c.num(2))) &&
                indexed::header_write(file(c)));
  });
  script.add("mark_broken", [=](const Call &c) {
    indexed::mark_broken(file(c), static_cast<int32_t>(c.num(1)));
    return std::string("done");
  });
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
  script.add("records", [=](const Call &c) {
    bool ok = true;
    for (int64_t i = c.num(1); i < c.num(2) && ok; ++i) {
      std::string r = record(c, i);
      ok = v5_write(file(c), r.data(), static_cast<uint32_t>(r.size())) == 1;
    }
    return done(ok);
  });
  script.add("drop", [=](const Call &c) {
    bool ok = true;
    for (int64_t i = c.num(1); i < c.num(2) && ok; ++i)
      ok = v5_delete(file(c), record(c, i).data()) == 1;
    return done(ok);
  });
  script.add("level", [](const Call &c) {
    indexed::set_interface_level(static_cast<int>(c.num(0)));
    return std::string("done");
  });
  // The engine's buffers, cache and file table gone, as at a new start.
  script.add("shutdown", [](const Call &) {
    indexed::shutdown();
    return std::string("done");
  });
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
    bool ok = true;
    for (int64_t i = c.num(1); i < c.num(2) && ok; ++i) {
      std::string r = counted(i, c.num(3));
      ok = v5_write(file(c), r.data(), static_cast<uint32_t>(r.size())) == 1;
    }
    return done(ok);
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
  // The node at key 0's root or at the free list's head: "root H" its
  // address and its first entry's record; "node H root|free OFFSET WIDTH
  // VALUE" changes a big-endian field of it.
  auto node_at = [=](const Call &c) {
    DorvexFile *f = file(c);
    if (c.text(1) == "free")
      return indexed::hget_addr(f, indexed::kFreeNodeOffset, indexed::kFreeNodeSeg);
    return SegAddr{static_cast<int32_t>(f->keys[0].root_offset), f->keys[0].root_segment};
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
}

}  // namespace kel::test
