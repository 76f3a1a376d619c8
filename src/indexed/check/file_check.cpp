#include "check/file_check.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "access/access_state.h"
#include "access/bulk.h"
#include "check/tree_check.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "storage/header.h"
#include "storage/shared_buffers.h"
#include "storage/slot_walk.h"
#include "storage/storage.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// Problems beyond this many are counted but not listed.
constexpr int32_t kListedProblems = 50;

uint64_t id_of(SegAddr a) {
  return (static_cast<uint64_t>(a.segment) << 32) | static_cast<uint32_t>(a.offset);
}

class FileChecker {
 public:
  FileChecker(DorvexFile *f, CheckReport *out) : f_(f), out_(out), store_(f) {}

  void run() {
    if (!header_read(f_, HeaderAccess::kLocked, kHeaderForce)) {
      out_->header_unreadable = true;
      problem("header: cannot be read (error %d, secondary code %d)", *fs_error_code(),
              *fs_error_secondary());
      summary();
      return;
    }
    uint8_t broken = get_slot_low_byte(f_->header, *f_->layout, kBrokenCode);
    if (broken != 0) problem("header: the file is marked broken with code %d", broken);
    walk_data();
    check_chain(false);
    if (f_->version >= 5) check_chain(true);
    check_trees_and_entries();
    check_free_list();
    header_release(f_);
    summary();
  }

 private:
  struct Live {
    uint32_t sequence = 0;
    CheckVector<CheckString> keys;  // key number byte and key bytes, per key
  };

  void problem(const char *format, ...) __attribute__((format(printf, 2, 3))) {
    if (out_->problems++ >= kListedProblems) return;
    char line[400];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out_->text += "problem: ";
    out_->text += line;
    out_->text += '\n';
  }

  void walk_data() {
    SegAddr at = first_slot(f_);
    uint8_t *record = temporary_record_buffer();
    RecordHeader h;
    for (;;) {
      SlotStep step = find_slot(f_, &at, &h);
      if (step == SlotStep::kEnd) break;
      if (step == SlotStep::kError) {
        problem("data: the slot at %ld/%d cannot be read (error %d, secondary code %d)",
                long{at.offset}, at.segment, *fs_error_code(), *fs_error_secondary());
        return;
      }
      if (h.set_aside) {
        set_aside_slots_.insert(id_of(at));
      } else if (h.deleted) {
        deleted_slots_.insert(id_of(at));
      } else {
        Live live;
        if (read_record(f_, at, record, &live.sequence) < 0) {
          problem("data: the record at %ld/%d cannot be decoded (error %d, secondary code %d)",
                  long{at.offset}, at.segment, *fs_error_code(), *fs_error_secondary());
        } else {
          for (int k = 0; k < f_->key_count; ++k) {
            uint8_t key[kKeyLengthLimit + 1];
            key[0] = static_cast<uint8_t>(k);
            int n = build_key(f_->keys[k], record, f_->translation, key + 1);
            live.keys.emplace_back(reinterpret_cast<char *>(key), static_cast<size_t>(n) + 1);
          }
        }
        live_.emplace(id_of(at), std::move(live));
      }
      SegAddr next;
      if (!next_slot_position(f_, at, h, &next)) {
        problem("data: no slot follows the one at %ld/%d (error %d, secondary code %d)",
                long{at.offset}, at.segment, *fs_error_code(), *fs_error_secondary());
        return;
      }
      // Slots follow one another towards the end of data (a version 3 data
      // node links only to a later node); a step back is damage, and a walk
      // that took it could go round for ever.
      bool forward = next.segment != at.segment
                         ? next.segment > at.segment
                         : static_cast<uint32_t>(next.offset) > static_cast<uint32_t>(at.offset);
      if (!forward) {
        problem("data: the slot after the one at %ld/%d lies before it (%ld/%d)", long{at.offset},
                at.segment, long{next.offset}, next.segment);
        return;
      }
      at = next;
    }
    walked_ = true;
    out_->live_records = live_.size();
    uint64_t counted = hget(f_, kRecordCount);
    if (counted != live_.size())
      problem("header: %llu records counted, %llu live records in the data",
              static_cast<unsigned long long>(counted),
              static_cast<unsigned long long>(live_.size()));
  }

  // The deleted chain, or the set-aside chain.
  void check_chain(bool set_aside) {
    const char *name = set_aside ? "set-aside chain" : "deleted chain";
    SegAddr at = set_aside ? hget_addr(f_, kSetAsideHeadOffset, kSetAsideHeadSeg)
                           : hget_addr(f_, kDeletedHeadOffset, kDeletedHeadSeg);
    uint64_t counted = hget(f_, set_aside ? kSetAsideCount : kDeletedCount);
    const CheckSet<uint64_t> &slots = set_aside ? set_aside_slots_ : deleted_slots_;
    CheckSet<uint64_t> seen;
    uint64_t n = 0;
    while (!(at == kNullAddr)) {
      if (!seen.insert(id_of(at)).second) {
        problem("%s: reaches the record at %ld/%d twice", name, long{at.offset}, at.segment);
        break;
      }
      RecordHeader h;
      if (!read_record_header(f_, at, &h)) {
        problem("%s: the record at %ld/%d cannot be read (error %d, secondary code %d)", name,
                long{at.offset}, at.segment, *fs_error_code(), *fs_error_secondary());
        break;
      }
      bool marked = set_aside ? h.set_aside : h.deleted && !h.set_aside;
      if (!marked)
        problem("%s: the record at %ld/%d is not marked %s", name, long{at.offset}, at.segment,
                set_aside ? "set aside" : "deleted");
      else if (walked_ && slots.count(id_of(at)) == 0)
        problem("%s: %ld/%d is not a slot of the data area", name, long{at.offset}, at.segment);
      ++n;
      at = h.next;
    }
    (set_aside ? out_->set_aside_records : out_->deleted_records) = n;
    if (n != counted)
      problem("header: %llu records counted on the %s, %llu found",
              static_cast<unsigned long long>(counted), name, static_cast<unsigned long long>(n));
  }

  void check_trees_and_entries() {
    TreeCheckResult result;
    bool sound = check_trees(&store_, &result);
    for (SegAddr node : result.nodes) tree_nodes_.insert(id_of(node));
    out_->tree_nodes = result.nodes.size();
    out_->entry_bytes = result.entry_bytes;
    if (!sound) {
      problem("tree: %s (code %d)", result.text.c_str(), result.code);
      return;
    }
    uint64_t in_use = hget(f_, kNodesInUse), bytes = hget(f_, kIndexBytesInUse);
    if (in_use != result.nodes.size())
      problem("header: %llu nodes counted in use, %llu in the trees",
              static_cast<unsigned long long>(in_use),
              static_cast<unsigned long long>(result.nodes.size()));
    if (bytes != result.entry_bytes)
      problem("header: %llu index bytes counted in use, %llu in the trees",
              static_cast<unsigned long long>(bytes),
              static_cast<unsigned long long>(result.entry_bytes));
    check_entries(result);
  }

  void check_entries(const TreeCheckResult &result) {
    CheckVector<uint64_t> per_key(static_cast<size_t>(f_->key_count), 0);
    CheckVector<CheckSet<uint64_t>> pointed(static_cast<size_t>(f_->key_count));
    for (const TreeRecord &e : result.records) {
      size_t k = static_cast<size_t>(e.key);
      ++per_key[k];
      if (!pointed[k].insert(id_of(e.record)).second)
        problem("key %d: two entries point at the record at %ld/%d", e.key, long{e.record.offset},
                e.record.segment);
      if (!walked_) continue;
      auto it = live_.find(id_of(e.record));
      if (it == live_.end()) {
        problem("key %d: an entry points at %ld/%d, which is no live record", e.key,
                long{e.record.offset}, e.record.segment);
        continue;
      }
      const Live &live = it->second;
      if (k < live.keys.size() && live.keys[k] != e.full_key)
        problem("key %d: the entry for the record at %ld/%d has another key than the record", e.key,
                long{e.record.offset}, e.record.segment);
      uint32_t dup = f_->keys[k].duplicates ? live.sequence : 0;
      if (e.dup != dup)
        problem("key %d: the entry for the record at %ld/%d has duplicate number %lu, not %lu",
                e.key, long{e.record.offset}, e.record.segment, static_cast<unsigned long>(e.dup),
                static_cast<unsigned long>(dup));
    }
    if (!walked_) return;
    for (int k = 0; k < f_->key_count; ++k)
      if (per_key[static_cast<size_t>(k)] != live_.size())
        problem("key %d: %llu entries for %llu live records", k,
                static_cast<unsigned long long>(per_key[static_cast<size_t>(k)]),
                static_cast<unsigned long long>(live_.size()));
  }

  void check_free_list() {
    MemPtr<uint8_t> block;
    if (!block.allocate(static_cast<size_t>(f_->node_size), "temporary node buffer")) {
      problem("free list: no memory to read it");
      return;
    }
    SegAddr at = hget_addr(f_, kFreeNodeOffset, kFreeNodeSeg);
    uint64_t counted = hget(f_, kFreeNodes);
    CheckSet<uint64_t> seen;
    uint64_t n = 0;
    while (!(at == kNullAddr)) {
      if (!seen.insert(id_of(at)).second) {
        problem("free list: reaches the node %ld/%d twice", long{at.offset}, at.segment);
        break;
      }
      if (tree_nodes_.count(id_of(at)))
        problem("free list: the node %ld/%d is in a tree", long{at.offset}, at.segment);
      if (!store_.read_node(at, block.get())) {
        problem("free list: the node %ld/%d cannot be read (error %d, secondary code %d)",
                long{at.offset}, at.segment, *fs_error_code(), *fs_error_secondary());
        break;
      }
      if (block[0] != kFreeNode) {
        problem("free list: the node %ld/%d has the type %d", long{at.offset}, at.segment,
                block[0]);
        break;
      }
      ++n;
      at = free_node_next(f_, block.get());
    }
    out_->free_nodes = n;
    if (n != counted)
      problem("header: %llu free nodes counted, %llu on the free list",
              static_cast<unsigned long long>(counted), static_cast<unsigned long long>(n));
  }

  void summary() {
    char line[300];
    snprintf(line, sizeof line, "file %s: version %d, %d keys, nodes of %d bytes\n", f_->name,
             f_->version, static_cast<int>(f_->key_count), static_cast<int>(f_->node_size));
    CheckString head = line;
    if (out_->problems > kListedProblems) {
      snprintf(line, sizeof line, "problem: %d more not listed\n",
               static_cast<int>(out_->problems - kListedProblems));
      out_->text += line;
    }
    snprintf(line, sizeof line,
             "records: %llu live, %llu deleted, %llu set aside\n"
             "nodes: %llu in the trees, %llu free; %llu index bytes in use\n",
             static_cast<unsigned long long>(out_->live_records),
             static_cast<unsigned long long>(out_->deleted_records),
             static_cast<unsigned long long>(out_->set_aside_records),
             static_cast<unsigned long long>(out_->tree_nodes),
             static_cast<unsigned long long>(out_->free_nodes),
             static_cast<unsigned long long>(out_->entry_bytes));
    out_->text = head + out_->text + line;
    for (int k = 0; k < f_->key_count; ++k) {
      const KeyDesc &kd = f_->keys[k];
      snprintf(line, sizeof line, "key %d: %d bytes%s, height %d\n", k, kd.length,
               kd.duplicates ? " with duplicates" : "", kd.height);
      out_->text += line;
    }
    if (out_->problems == 0)
      out_->text += "result: sound\n";
    else {
      snprintf(line, sizeof line, "result: %d problems\n", static_cast<int>(out_->problems));
      out_->text += line;
    }
  }

  DorvexFile *f_;
  CheckReport *out_;
  FileNodeStore store_;
  CheckMap<uint64_t, Live> live_;
  CheckSet<uint64_t> deleted_slots_, set_aside_slots_, tree_nodes_;
  bool walked_ = false;
};

}  // namespace

bool dorvex_check(DorvexFile *file, CheckReport *report) {
  *report = CheckReport{};
  if (file == nullptr) {
    fs_fail(E_PARAM);
    report->problems = 1;
    report->text = "problem: no file\n";
    return false;
  }
  FileChecker(file, report).run();
  return report->problems == 0;
}

bool dorvex_clear_dead_writers(DorvexFile *f) {
  if (f == nullptr || !f->for_update || !(f->mode & A_EXCLUSIVE)) return fs_fail(E_PARAM);
  if (!header_read(f, HeaderAccess::kUpdate, kHeaderForce)) return false;
  bool stale = hget(f, kUpdateOpeners) > 1;
  if (stale) {
    hset(f, kUpdateOpeners, 1);
    header_mark_changed(f);
  }
  bool ok = header_write(f);
  header_release(f);
  return ok && stale;
}

}  // namespace kel::indexed

namespace {

// The report of the last check, for v5i_check_report.
kel::indexed::CheckReport g_last_report;

}  // namespace

extern "C" int32_t v5i_check(DorvexFile *file, int32_t flags) {
  using namespace kel::indexed;
  // Records added in bulk get their keys first, as before any read.
  if (file != nullptr && bulk_waiting(file) && !bulk_flush(file)) return 0;
  if (!dorvex_check(file, &g_last_report)) {
    if (file == nullptr || g_last_report.header_unreadable) return 0;  // the codes say why
    return kel::fs_fail(E_BROKEN, kBrokenCheckProblems);
  }
  if ((flags & V5_CHECK_CLEAR_DEAD_WRITERS) && file->for_update && (file->mode & A_EXCLUSIVE) &&
      dorvex_clear_dead_writers(file))
    g_last_report.text += "left open for update by a process that ended: cleared\n";
  return 1;
}

extern "C" const char *v5i_check_report(void) {
  return g_last_report.text.c_str();
}
