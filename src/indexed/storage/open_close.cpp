// Opening and closing indexed files.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "cache/cache.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "format/node_memo.h"
#include "kelfs/errors.h"
#include "messages/diag.h"
#include "messages/msg.h"
#include "osfile/files.h"
#include "storage/dorvex.h"
#include "storage/header.h"
#include "storage/make_internal.h"
#include "storage/segments.h"
#include "storage/shared_buffers.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/fail.h"
#include "support/huge_pages.h"

using kel::fs_fail;

namespace kel::indexed {

namespace {

constexpr int32_t kBulkFlag = 0x8000;
constexpr int32_t kBulkSharing = 0x600;
constexpr int16_t kLockStatistics = 0x100;
constexpr int16_t kLockVerified = 0x2;
constexpr int32_t kInfoLevel = 3;
// Bsync flags: files opened exclusive with deferred writes too (1), no
// system sync (2).
constexpr int32_t kSyncAllNoSystemSync = 3;

struct OpenState {
  const UpperLayerHooks *hooks = nullptr;
};

OpenState &state() {
  static OpenState s;
  return s;
}

int32_t compress_factor_setting() {
  int32_t f = cfg_get_tinyint("COMPRESS_FACTOR", 0);
  return f < 0 || f > 100 ? 70 : f;
}

// Frees an open file whose segments are all closed.
void free_file(DorvexFile *f) {
  free_segment_sets(f);
  if (f->header) KEL_FREE(f->header);
  if (f->keys) KEL_FREE(f->keys);
  if (f->translation) KEL_FREE(f->translation);
  if (f->reverse) KEL_FREE(f->reverse);
  if (f->name) KEL_FREE(f->name);
  f->~DorvexFile();
  KEL_FREE(f);
}

// Closes whatever a failed open had opened and frees the file; the error
// codes of the failure survive.
void discard(DorvexFile *f) {
  KeptErrors saved;
  f->for_update = false;  // nothing of this open reached the disk
  header_release(f);
  close_other_segments(f);
  if (f->data0 >= 0) Bclose(f->data0);
  free_file(f);
}

// Step 1 of an open for output: the file is made anew from its own
// information texts (record and physical parameters, comment, translation
// table, keys), so that it is empty afterwards. The texts are those of the
// full interface level whatever level the caller runs at, and the file
// keeps its format version: an open empties a file, it does not convert it.
bool recreate(const char *name) {
  DorvexFile *old = dorvex_open(name, A_INPUT);
  if (old == nullptr) return false;
  ParamText record =
      record_params_text(old->max_record, old->min_record, old->key_count, kInfoLevel);
  ParamText physical = physical_params_text(static_cast<uint32_t>(old->node_size / kHeaderBlock),
                                            static_cast<uint32_t>(hget(old, kExtension)),
                                            old->header_factor, old->scramble, kInfoLevel);
  size_t keys_size = static_cast<size_t>(old->key_count) * sizeof(ParamText::text) + 1;
  MemPtr<char> keys;
  if (!keys.allocate(keys_size, "dorvex key texts")) {
    dorvex_close(old);
    return false;
  }
  size_t used = 0;
  for (int k = 0; k < old->key_count; ++k) {
    used +=
        static_cast<size_t>(snprintf(keys.get() + used, keys_size - used, "%s%s", k > 0 ? "," : "",
                                     key_text(old->keys[k], kInfoLevel).text));
  }
  char comment[sizeof old->comment];
  memcpy(comment, old->comment, sizeof comment);
  uint8_t table[kTableSize];
  bool has_table = old->translation != nullptr;
  if (has_table) memcpy(table, old->translation, kTableSize);
  int version = old->version;
  dorvex_close(old);
  return make_file(name, version, comment, physical.text, record.text, keys.get(),
                   has_table ? table : nullptr);
}

// A version 2 header: its magic number and version in the machine's byte
// order.
bool is_version2_header(const uint8_t *block) {
  return load_native(block, 4) == kMagicV2 && load_native(block + 4, 2) == 2;
}

// Reads block 0 and takes the fixed part of the header.
bool read_fixed_header(DorvexFile *f) {
  uint8_t block[kHeaderBlock];
  if (!read_at(f->data0, block, 0, kHeaderBlock)) return false;
  uint16_t version = load_be16(block + 4);
  if (is_version2_header(block)) {
    version = 2;
  } else {
    if ((version >> 8) != 0 || version < 3 || version > 5) return fs_fail(E_FILE_TYPE);
    if (memcmp(block, version == 3 ? kMagicV3 : kMagicV4, 4) != 0)
      return fs_fail(E_BROKEN, kBrokenHeader);
  }
  const HeaderLayout &l = *header_layout(version);
  uint64_t blocks = get_slot(block, l, kNodeBlocks);
  if (blocks < 1 || blocks > (version == 5 ? 16u : 2u)) return fs_fail(E_BROKEN, kBrokenHeader);
  uint64_t keys = get_slot(block, l, kKeyCount);
  if (keys < 1 || keys > static_cast<uint64_t>(version == 2 ? kV2MaxKeys : kMaxKeys))
    return fs_fail(E_BROKEN, kBrokenHeader);
  f->version = version;
  f->layout = &l;
  f->node_size = static_cast<int32_t>(blocks) * kHeaderBlock;
  f->header_size = l.offset[kHeaderReadBytes];
  f->header = static_cast<uint8_t *>(KEL_ALLOC(f->header_size, "physical header data"));
  if (f->header == nullptr) return false;
  memcpy(f->header, block, static_cast<size_t>(f->header_size));
  f->max_record = static_cast<uint32_t>(get_slot(block, l, kMaxRecordSize));
  f->min_record = static_cast<uint32_t>(get_slot(block, l, kMinRecordSize));
  f->key_count = static_cast<int32_t>(keys);
  f->header_factor = static_cast<uint8_t>(get_slot(block, l, kCompressFactor));
  f->compress_factor = f->header_factor == 1 ? compress_factor_setting() : f->header_factor;
  f->scramble = static_cast<uint8_t>(get_slot(block, l, kScrambleFlag));
  f->max_key_length = static_cast<uint8_t>(get_slot(block, l, kMaxKeyLength));
  f->duplicates = get_slot_low_byte(block, l, kDuplicateKeys) != 0;
  memcpy(f->comment, block + l.offset[kComment], kCommentSize);
  f->comment[kCommentSize] = '\0';
  f->header_area = static_cast<int32_t>(get_slot(block, l, kFirstDataOffset));
  f->seg_limit = static_cast<uint32_t>(get_slot(block, l, kSegSizeLimit));
  f->last_header_version = static_cast<uint32_t>(get_slot(block, l, kHeaderVersion));
  if (f->max_record == 0 || f->max_record > max_record_limit(version) ||
      f->min_record > f->max_record)
    return fs_fail(E_BROKEN, kBrokenHeader);
  return true;
}

bool load_keys_and_table(DorvexFile *f) {
  f->keys = static_cast<KeyDesc *>(
      KEL_ALLOC(sizeof(KeyDesc) * static_cast<size_t>(f->key_count), "dorvex keys"));
  if (f->keys == nullptr || !load_key_descriptions(f)) return false;
  uint32_t block = static_cast<uint32_t>(hget(f, kTranslationBlock));
  if (block == 0) return true;
  f->translation = static_cast<uint8_t *>(KEL_ALLOC(kTableSize, "dorvex key translation table"));
  if (f->translation == nullptr) return false;
  if (!read_at(f->data0, f->translation, block + kTranslationOffset, kTableSize)) return false;
  f->reverse =
      static_cast<uint8_t *>(KEL_ALLOC(kTableSize, "dorvex reverse key translation table"));
  if (f->reverse == nullptr) return false;
  build_reverse_table(f->translation, f->reverse);
  return true;
}

// The segments the header lists. One that is missing is a broken file
// (secondary code 68); the OS layer has kept its name for the report.
bool open_listed_segments(DorvexFile *f) {
  if (f->version < 4) return true;
  int32_t data_high = static_cast<int32_t>(hget(f, kHighestDataSeg));
  int32_t index_high = static_cast<int32_t>(hget(f, kHighestIndexSeg));
  for (int32_t kind : {static_cast<int32_t>(kDataSegment), static_cast<int32_t>(kIndexSegment)}) {
    int32_t high = kind == kDataSegment ? data_high : index_high;
    for (int32_t n = kind == kDataSegment ? 1 : 0; n <= high; ++n) {
      if (open_new_segment(f, kind, n)) continue;
      if (*fs_error_code() == E_NO_FILE) fs_fail(E_BROKEN, kBrokenMissingSegment);
      return false;
    }
  }
  return true;
}

// A file left open for update by a process that ended (killed, say): the
// header counts openers for update (slot 28) while no other process holds
// a writer's place in the lock band of the data file and no other open of
// this process has the file. Its counts, end of data and chains may be
// those of the middle of an update, and inserts on top of them can hide
// records, so the open refuses it (E_BROKEN 25) until the structural check
// has found it sound and reset the count (dorvex_clear_dead_writers), or
// V_FORCE_OPEN is on. An open that asks for no locking (0x800), or whose
// file the OS layer does not lock, cannot tell and trusts the header as
// before. A writer that takes no locks holds no place in the band either:
// while one works on a file, a locking open takes it for a dead writer and
// refuses the file (the two never coordinated).
bool left_by_a_dead_writer(DorvexFile *f) {
  if (f->as_a_whole || fs_settings().force_open || (f->mode & A_NO_LOCKING) ||
      hget(f, kUpdateOpeners) == 0)
    return false;
  if (open_elsewhere_in_process(f->data0)) return false;
  return other_writer_in_band(f->data0) == 0;
}

bool open_file(DorvexFile *f) {
  f->data0 = Bopen(f->name, f->seg_flags);
  if (f->data0 < 0) return false;
  f->writers_kept_out = Afile_writers_kept_out(f->data0) != 0;
  // A process given a pool of huge pages (V_BUFFERS of 2 MiB or more)
  // works on files of millions of records: the interior-node table then
  // takes huge pages too. The default pool leaves the table as it was.
  if (static_cast<int64_t>(cache_buffer_count()) * kCacheBlockSize >=
      static_cast<int64_t>(kHugePageSize))
    advise_node_memo_huge_pages();
  Bset_kind(f->data0, kKindData);
  if (!read_fixed_header(f)) return false;
  Bset_kind(f->data0, f->version >= 4 ? kKindData : kKindOther);
  if (!reserve_segments(f, kDataSegment, 1)) return false;
  f->data.files[0] = f->data0;
  if (!load_keys_and_table(f) || !grow_record_buffers(f->max_record)) return false;
  if (!open_listed_segments(f)) return false;
  if (!header_read(f, f->for_update ? HeaderAccess::kUpdate : HeaderAccess::kLocked,
                   f->as_a_whole ? uint32_t{kHeaderForce} : 0u))
    return false;
  if (left_by_a_dead_writer(f)) return fs_fail(E_BROKEN, kBrokenStaleWriter);
  if (f->for_update) {
    hset(f, kUpdateOpeners, hget(f, kUpdateOpeners) + 1);
    header_mark_changed(f);
    if (!header_write(f)) return false;
  }
  header_release(f);
  return true;
}

// Writes every block the cache holds for the file (and for any other
// file: the cache cannot tell them apart cheaply, and writing early costs
// nothing) to the system. What a kill leaves is then on the file; nothing
// here asks the system to put it on the disk itself.
bool write_cached_blocks() {
  errno = 0;
  if (Bsync(kSyncAllNoSystemSync)) return true;
  return fs_fail(errno != 0 ? E_SYSERR : E_DISK_FULL);
}

void print_statistics(const DorvexFile *f) {
  const HeaderCounters &h = f->header_counters;
  eprintf(msg_printf_text(1123,
                          ">>Header accesses: %ld updates, %ld locked reads, %ld "
                          "unlocked reads\n"),
          h.updates, h.locked_reads, h.unlocked_reads);
  eprintf(msg_printf_text(1124,
                          ">>%ld unlocked reads waited for update, %ld unlocked reads "
                          "retried\n"),
          h.unlocked_waited, h.unlocked_retried);
  if (!(fs_settings().lock_method & kLockVerified)) return;
  const ReaderCounters &r = f->reader_counters;
  eprintf(">>AR common_read() mismatches: %ld\n", r.common_read_mismatches);
  eprintf(">>AR vi_find_key() mismatches: %ld\n", r.find_key_mismatches);
  eprintf(">>AR record pointer past EOF: %ld\n", r.record_past_eof);
  eprintf(">>AR vi_read_rec() 98,81 detections: %ld\n", r.detections_81);
  eprintf(">>AR vi_read_rec() 98,82 detections: %ld\n", r.detections_82);
  eprintf(">>AR vi_read_rec() mismatches: %ld\n", r.read_rec_mismatches);
  eprintf(">>AR seq_read() mismatches: %ld\n", r.seq_read_mismatches);
  eprintf(">>AR vi_search_node() non-B_NODE blocks: %ld\n", r.non_bnode_blocks);
}

}  // namespace

void set_upper_layer_hooks(const UpperLayerHooks *hooks) {
  state().hooks = hooks;
}
const UpperLayerHooks *upper_layer_hooks() {
  return state().hooks;
}

}  // namespace kel::indexed

using namespace kel::indexed;

namespace kel::indexed {

DorvexFile *open_as_a_whole(const char *name) {
  return open_file_with(name, A_INPUT, true);
}

DorvexFile *open_file_with(const char *name, int32_t flags, bool as_a_whole) {
  if (name == nullptr) {
    return fs_fail(E_PARAM);
  }
  int32_t access = flags & A_ACCESS_MASK;
  if (access == A_OUTPUT && !recreate(name)) return nullptr;
  void *memory = KEL_ALLOC(sizeof(DorvexFile), "dorvex file");
  if (memory == nullptr) return nullptr;
  DorvexFile *f = new (memory) DorvexFile;
  f->name = KEL_STRDUP(name);
  f->mode = flags;
  f->as_a_whole = as_a_whole;
  f->seg_flags = segment_open_flags(flags);
  f->for_update = access != A_INPUT;
  f->bulk_requested =
      (flags & kBulkFlag) && (flags & kBulkSharing) == kBulkSharing && access != A_INPUT;
  if (f->name == nullptr || !open_file(f)) {
    discard(f);
    return nullptr;
  }
  const UpperLayerHooks *hooks = upper_layer_hooks();
  if (hooks && hooks->attach && !hooks->attach(f)) {
    // The opener count was raised: the file is closed properly (detach
    // takes back whatever attach left). The file's records, keys and
    // counts are then as they were, but not its bytes: the header version
    // has moved on twice (open and close), and it is not put back. It
    // only ever moves forward, because other processes compare it with
    // the version their cached blocks carry: one that went back could
    // meet a later change under a number it has already seen, and keep
    // blocks that changed. Refusing before the count is raised would mean
    // making the duplicates log before the file has even been found (and
    // emptying an earlier log for an open that then fails).
    KeptErrors saved;
    dorvex_close(f);
    return nullptr;
  }
  Bsync(2);
  return f;
}

const char *file_name(const DorvexFile *file) {
  return file->name;
}

int32_t file_number(const DorvexFile *file) {
  return file->data0;
}

int32_t open_flags(const DorvexFile *file) {
  return file->mode;
}

uint32_t max_record_size(const DorvexFile *file) {
  return file->max_record;
}

}  // namespace kel::indexed

extern "C" DorvexFile *dorvex_open(const char *name, int32_t flags) {
  return open_file_with(name, flags, false);
}

extern "C" int32_t dorvex_mark_incomplete(DorvexFile *f) {
  if (f == nullptr || !f->for_update) return fs_fail(E_PARAM);
  if (!header_read(f, HeaderAccess::kUpdate)) return 0;
  f->marked_incomplete = true;
  hset(f, kBrokenCode, kBrokenIncomplete);
  header_mark_changed(f);
  bool ok = header_write(f) && write_cached_blocks();
  header_release(f);
  return ok ? 1 : 0;
}

extern "C" int32_t dorvex_close(DorvexFile *f) {
  if (f == nullptr) return fs_fail(E_PARAM);
  const UpperLayerHooks *hooks = upper_layer_hooks();
  bool ok = true;
  if (hooks && hooks->finish && !hooks->finish(f)) ok = false;
  if (hooks && hooks->release_locks) hooks->release_locks(f);
  bool header_ok =
      header_read(f, f->for_update ? HeaderAccess::kUpdate : HeaderAccess::kLocked, kHeaderForce);
  ok = ok && header_ok;
  // Deferred blocks reach the disk as the segments close: a failure there
  // loses records, so it fails the close.
  if (!close_other_segments(f)) ok = false;
  // An incomplete mark goes only when every block of the file is out, so
  // that a kill between the two leaves the mark.
  bool clear_mark = f->marked_incomplete && ok && write_cached_blocks();
  if (header_ok && f->for_update) {
    uint64_t openers = hget(f, kUpdateOpeners);
    if (openers > 0) hset(f, kUpdateOpeners, openers - 1);
    if (clear_mark && get_slot_low_byte(f->header, *f->layout, kBrokenCode) == kBrokenIncomplete)
      hset(f, kBrokenCode, 0);
    if (f->marked_incomplete && !clear_mark) ok = false;
    header_mark_changed(f);
    if (!header_write(f)) ok = false;
  }
  header_release(f);
  if (kel::fs_settings().lock_method & kLockStatistics) print_statistics(f);
  if (hooks && hooks->detach) hooks->detach(f);
  if (!close_cached_file(f->data0)) ok = false;
  f->data0 = -1;
  f->data.files[0] = -1;
  free_file(f);
  return ok ? 1 : 0;
}
