// Making an indexed file: parameters, version, header, preallocation.
//
// Sizes at make, in 512-byte blocks:
//   header blocks    the key description blocks, plus one for the key
//                    translation table when there is one
//   header area      the header blocks rounded up to a whole node (slot 7:
//                    the first data position)
//   data blocks      max(preallocation x node blocks, header area), cut to
//                    the segment size limit; written as zeros (versions 2
//                    and 3: the first byte of every node 5, a node not in
//                    use)
//   index blocks     data blocks x V_INDEX_BLOCK_PERCENT / 100, rounded, at
//                    least 1 (the segment header of index segment 0), cut
//                    to the limit
//
// Before any record exists, the end of data (slots 9, 10) and the position
// of the first record (slots 11, 12) both hold the first record position:
// the header area (versions 2 and 3: one byte further, past the data
// node's mark).
// The first record is stored exactly there, so the first-record position
// is true from make on and never has to change; a physical scan of an empty
// file starts at a valid place and finds its count of records (0) used up.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "cache/cache.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/engine.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "osfile/files.h"
#include "storage/dorvex.h"
#include "storage/header.h"
#include "storage/make_internal.h"
#include "storage/segments.h"
#include "support/alloc.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

constexpr int32_t kMakeFlags = A_OUTPUT | A_EXCLUSIVE;
constexpr uint32_t kMaxSegLimit = 0x7FFFFA00;
constexpr uint32_t kMinSegLimit = 0x14000;
constexpr int32_t kV5RecordHeaderRoom = 15;

uint32_t round_down(uint32_t value, uint32_t unit) {
  return value - value % unit;
}

// V_SEG_SIZE rounded down to whole nodes, within [0x14000, 0x7FFFFA00]
// rounded likewise (the lower bound one node up when rounding took it
// below 0x14000); 0 means the upper bound.
uint32_t segment_limit(uint32_t node_size) {
  int32_t setting = cfg_get_long("V_SEG_SIZE", 0);
  uint32_t high = round_down(kMaxSegLimit, node_size);
  uint32_t low = round_down(kMinSegLimit, node_size);
  if (low < kMinSegLimit) low += node_size;
  uint32_t limit = setting <= 0 ? high : round_down(static_cast<uint32_t>(setting), node_size);
  return std::clamp(limit, low, high);
}

struct Plan {
  int version;
  const HeaderLayout *layout;
  uint32_t node_size;
  int32_t header_bytes;  // key description blocks + translation block
  uint32_t header_area;
  uint32_t data_bytes;
  uint32_t index_bytes;
  uint32_t seg_limit;
  int32_t table_block;  // 0: none
};

bool plan_file(const MakeParams &p, bool with_table, Plan *plan) {
  const HeaderLayout &l = *plan->layout;
  plan->node_size = p.node_blocks * kHeaderBlock;
  int32_t key_blocks = header_blocks_for_keys(l, p.key_count);
  plan->table_block = with_table ? key_blocks * kHeaderBlock : 0;
  plan->header_bytes = (key_blocks + (with_table ? 1 : 0)) * kHeaderBlock;
  uint32_t ns = plan->node_size;
  plan->header_area = (static_cast<uint32_t>(plan->header_bytes) + ns - 1) / ns * ns;
  uint64_t blocks = std::max<uint64_t>(static_cast<uint64_t>(p.preallocation) * p.node_blocks,
                                       plan->header_area / kHeaderBlock);
  uint64_t index_blocks = std::max<uint64_t>(
      1, (blocks * static_cast<uint64_t>(fs_settings().index_block_percent) + 50) / 100);
  plan->seg_limit = 0;
  if (plan->version >= 4) {
    plan->seg_limit = segment_limit(ns);
    if (static_cast<uint64_t>(p.max_record) + kV5RecordHeaderRoom >
        plan->seg_limit - plan->header_area)
      return fs_fail(E_PARAM);
    blocks = std::min<uint64_t>(blocks, plan->seg_limit / kHeaderBlock);
    index_blocks = std::min<uint64_t>(index_blocks, plan->seg_limit / kHeaderBlock);
  }
  plan->data_bytes = static_cast<uint32_t>(blocks * kHeaderBlock);
  plan->index_bytes = static_cast<uint32_t>(index_blocks * kHeaderBlock);
  return true;
}

void set(uint8_t *h, const HeaderLayout &l, Slot s, uint64_t v) {
  set_slot(h, l, s, v);
}

void fill_header(const MakeParams &p, const Plan &plan, const uint8_t *table, uint8_t *h) {
  const HeaderLayout &l = *plan.layout;
  if (plan.version == 2)
    set(h, l, kMagic, kMagicV2);
  else
    memcpy(h, plan.version == 3 ? kMagicV3 : kMagicV4, 4);
  set(h, l, kVersion, static_cast<uint64_t>(plan.version));
  set(h, l, kNodeBlocks, p.node_blocks);
  set(h, l, kPreallocation, p.preallocation);
  set(h, l, kExtension, p.extension);
  set(h, l, kDataSeg0Size, plan.data_bytes);
  set(h, l, kCurrentDataSegSize, plan.data_bytes);
  set(h, l, kIndexSeg0Size, kSegmentHeaderSize);
  set(h, l, kFirstDataOffset, plan.header_area);
  uint32_t first_record = plan.header_area + (plan.version <= 3 ? 1 : 0);
  set(h, l, kEndOfDataOffset, first_record);
  set(h, l, kFirstRecordOffset, first_record);
  set(h, l, kSegSizeLimit, plan.seg_limit);
  set(h, l, kNodeBytesOrHeaderArea, plan.version == 5 ? plan.node_size : plan.header_area);
  set(h, l, kTranslationBlock, static_cast<uint64_t>(plan.table_block));
  set(h, l, kEntryFormat, plan.version == 5 ? 15 : (p.duplicate_keys > 0 ? 8 : 4));
  set(h, l, kDuplicateKeys, static_cast<uint64_t>(p.duplicate_keys));
  set(h, l, kMaxRecordSize, p.max_record);
  set(h, l, kMinRecordSize, p.min_record);
  set(h, l, kKeyCount, static_cast<uint64_t>(p.key_count));
  set(h, l, kCompressFactor, p.compress_factor);
  set(h, l, kScrambleFlag, p.scramble);
  set(h, l, kMaxKeyLength, p.max_key_length);
  memcpy(h + l.offset[kComment], p.comment, strnlen(p.comment, kCommentSize));
  for (int k = 0; k < p.key_count; ++k)
    encode_key_description(l, p.keys[k], h + key_description_offset(l, k));
  if (table) memcpy(h + plan.table_block + kTranslationOffset, table, kTableSize);
}

// Files made so far; all closed, and removed unless kept.
class Made {
 public:
  ~Made() {
    KeptErrors saved;
    for (int i = 0; i < 2; ++i) {
      if (files_[i] >= 0) Bclose(files_[i]);
      if (!keep_ && names_[i][0] != '\0') Aremove(names_[i]);
    }
  }
  // Creates the file and records it: data segment 0 by its name (an old
  // file there is truncated unless another process has it open), index
  // segment 0 as a new file (segments.h).
  int32_t create(int i, const char *name, int32_t kind) {
    strcpy(names_[i], name);
    files_[i] = i == 0 ? Bopen(name, kMakeFlags) : create_segment_file(name, kMakeFlags);
    if (files_[i] < 0) {
      // Refused: what is there (if anything) is not ours to remove.
      names_[i][0] = '\0';
      return -1;
    }
    Bset_kind(files_[i], kind);
    return files_[i];
  }
  // Closes both; false when the last writes failed.
  bool close_all() {
    bool ok = true;
    for (int32_t &file : files_) {
      if (file >= 0 && !Bclose(file)) ok = false;
      file = -1;
    }
    if (!ok && *fs_error_code() == 0) fs_fail(E_SYSERR);
    return ok;
  }
  void keep() { keep_ = true; }

 private:
  int32_t files_[2] = {-1, -1};
  char names_[2][kNameSize] = {};
  bool keep_ = false;
};

bool write_index_segment0(int32_t file, const Plan &plan) {
  uint8_t block[kSegmentHeaderSize] = {};
  const HeaderLayout &l = *plan.layout;
  memcpy(block + l.offset[kIndexSegMagic], kIndexSegmentMagic, 4);
  set_slot(block, l, kIndexSegVersion, static_cast<uint64_t>(plan.version));
  set_slot(block, l, kIndexSegNumber, 0);
  set_slot(block, l, kIndexSegBytes, kSegmentHeaderSize);
  return fill_blocks(file, 0, plan.index_bytes, static_cast<int32_t>(plan.node_size), false) &&
         write_at(file, block, 0, kSegmentHeaderSize);
}

void call_attrs_hook(const char *name) {
  if (v5_set_file_attrs_fn hook = set_file_attrs_hook()) hook(nullptr, name);
}

}  // namespace

void variable_name_of(const char *text, char *out, size_t size) {
  size_t n = 0;
  for (; text[n] != '\0' && n + 1 < size; ++n) {
    unsigned char c = static_cast<unsigned char>(text[n]);
    out[n] = isalnum(c) ? static_cast<char>(toupper(c)) : '_';
  }
  out[n] = '\0';
}

void version_variable_name(const char *name, char *out, size_t size) {
  char base[kNameSize];
  const char *b = Abase_name(name);
  if (fs_settings().basename_translation) {
    int32_t kind;
    const char *translated = cfg_translate_name(b, &kind);
    if (translated != nullptr) b = Abase_name(translated);
  }
  size_t n = strnlen(b, sizeof base - 1);
  memcpy(base, b, n);
  base[n] = '\0';
  if (fs_settings().strip_dot_extension) {
    char *dot = strrchr(base, '.');
    if (dot != nullptr) *dot = '\0';
  }
  constexpr char kSuffix[] = "_VERSION";
  if (size < sizeof kSuffix) {
    if (size > 0) out[0] = '\0';
    return;
  }
  variable_name_of(base, out, size - (sizeof kSuffix - 1));
  strcat(out, kSuffix);
}

int choose_version(const char *name) {
  int version = cfg_get_short("V_VERSION", 0);
  if (version < 2 || version > 5) version = 5;
  char variable[kNameSize + 16];
  version_variable_name(name, variable, sizeof variable);
  const char *value = variable[0] ? Agetenv(variable) : nullptr;
  if (value != nullptr) {
    char *end;
    long v = strtol(value, &end, 10);
    if (end != value && v >= 2 && v <= 5) version = static_cast<int>(v);
  }
  return version;
}

bool make_file(const char *name, int version, const char *comment, const char *physical,
               const char *record, const char *keys, const uint8_t *table) {
  if (name == nullptr) return fs_fail(E_PARAM);
  MemPtr<MakeParams> params;
  if (!params.allocate(1, "dorvex make parameters")) return false;
  MakeParams &p = params[0];
  if (!parse_make_params(version, comment, physical, record, keys, &p)) return false;
  Plan plan{version, header_layout(version), 0, 0, 0, 0, 0, 0, 0};
  if (!plan_file(p, table != nullptr, &plan)) return false;
  MemPtr<uint8_t> header;
  if (!header.allocate(static_cast<size_t>(plan.header_bytes), "dorvex header blocks"))
    return false;
  fill_header(p, plan, table, header.get());
  char index_name[kNameSize] = "";
  if (version >= 4) {
    const char *n = segment_name(name, kIndexSegment, 0);
    if (n == nullptr) return false;
    strcpy(index_name, n);
  }
  // What an old file of that name consists of is learnt before it is
  // replaced; its further segments go once the new data segment 0 is ours
  // (an old file that another process has open is refused, and loses
  // nothing). Index segment 0 is made anew below, or removed with the rest
  // when the new file has none.
  int old_version = 0;
  int32_t old_data = 0, old_index = 0;
  bool had_old, no_memory;
  {
    KeptErrors saved;
    had_old = learn_segments(name, &old_version, &old_data, &old_index);
    no_memory = !had_old && *fs_error_code() == E_NO_MEMORY;
  }
  // Without the memory to learn what an old file holds, its further
  // segments could not go with it: the make fails rather than leave them.
  if (no_memory) return fs_fail(E_NO_MEMORY);
  Made made;
  int32_t data = made.create(0, name, version >= 4 ? kKindData : kKindOther);
  if (data < 0) return false;
  if (had_old) {
    KeptErrors saved;
    remove_segments(name, old_version, old_data, old_index, false, version >= 4 ? 1 : 0);
  }
  Ahold_file(data, 1);
  if (!fill_blocks(data, 0, plan.data_bytes, static_cast<int32_t>(plan.node_size), version <= 3) ||
      !write_at(data, header.get(), 0, plan.header_bytes))
    return false;
  if (version >= 4) {
    int32_t index = made.create(1, index_name, kKindIndex);
    if (index < 0 || !write_index_segment0(index, plan)) return false;
  }
  Arelease_file(data);
  if (!made.close_all()) return false;
  made.keep();
  call_attrs_hook(name);
  if (version >= 4) call_attrs_hook(index_name);
  return true;
}

}  // namespace kel::indexed

extern "C" int32_t dorvex_make(const char *name, const char *comment, const char *physical,
                               const char *record, const char *keys, const uint8_t *table) {
  if (name == nullptr) return kel::fs_fail(E_PARAM);
  return kel::indexed::make_file(name, kel::indexed::choose_version(name), comment, physical,
                                 record, keys, table)
             ? 1
             : 0;
}
