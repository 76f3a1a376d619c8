#include "storage/segments.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cache/cache.h"
#include "config/config.h"
#include "config/fs_config.h"
#include "indexed/engine.h"
#include "kelfs/errors.h"
#include "layer/layer.h"
#include "messages/diag.h"
#include "osfile/files.h"
#include "storage/dorvex.h"
#include "storage/header.h"
#include "support/alloc.h"
#include "support/be.h"
#include "support/fail.h"

using kel::fs_fail;

namespace kel::indexed {

namespace {

struct SegmentsState {
  char name[kNameSize];  // segment_name's result
};

SegmentsState &state() {
  static SegmentsState s;
  return s;
}

// Copy, rename and remove report each segment when V_TRACE is above 2.
bool trace_walk() {
  return trace_bits() > 2;
}

bool copy_text(char *out, size_t size, const char *text) {
  size_t n = strlen(text);
  if (n >= size) return false;
  memcpy(out, text, n + 1);
  return true;
}

// Formats the user's segment format with the segment number: every integer
// conversion (flags, width and precision as written, any length modifier)
// takes the number, "%%" is a percent sign; any other conversion is copied
// as it stands, so that no format can make the formatter read an argument
// that is not there.
bool format_number(const char *format, int32_t number, char *out, size_t size) {
  // The result is built in `out`; one that does not fit fails. A
  // conversion's flags, width and precision beyond kConversionChars
  // characters are dropped (its piece is cut at 63 characters anyway).
  constexpr size_t kConversionChars = 60;
  size_t used = 0;
  auto append = [&](const char *text, size_t n) {
    if (used + n >= size) return false;
    memcpy(out + used, text, n);
    used += n;
    out[used] = '\0';
    return true;
  };
  if (size == 0) return false;
  out[0] = '\0';
  for (const char *p = format; *p;) {
    if (*p != '%') {
      if (!append(p++, 1)) return false;
      continue;
    }
    if (p[1] == '%') {
      if (!append("%", 1)) return false;
      p += 2;
      continue;
    }
    const char *start = p++;
    char conversion_text[kConversionChars + 4] = "%";
    size_t c = 1;
    auto keep = [&](char ch) {
      if (c < kConversionChars) conversion_text[c++] = ch;
    };
    while (*p && strchr("-+ 0#", *p)) keep(*p++);
    while (isdigit(static_cast<unsigned char>(*p))) keep(*p++);
    if (*p == '.') {
      keep(*p++);
      while (isdigit(static_cast<unsigned char>(*p))) keep(*p++);
    }
    while (*p && strchr("hlLqjzt", *p)) ++p;
    if (*p && strchr("diuxXo", *p)) {
      conversion_text[c++] = 'l';
      conversion_text[c++] = *p == 'i' ? 'd' : *p;
      conversion_text[c] = '\0';
      char piece[64];
      snprintf(piece, sizeof piece, conversion_text, static_cast<long>(number));
      if (!append(piece, strlen(piece))) return false;
      ++p;
    } else if (!append(start, static_cast<size_t>(p - start))) {
      return false;
    }
  }
  return true;
}

// Step 4: the name with the segment's suffix.
bool suffixed_name(const char *name, int32_t kind, int32_t number, char *out, size_t size) {
  char suffix[16];
  if (kind == kIndexSegment && number == 0)
    snprintf(suffix, sizeof suffix, ".vix");
  else
    snprintf(suffix, sizeof suffix, number <= 255 ? ".%c%02x" : ".%c%04x",
             kind == kDataSegment ? 'd' : 'v', static_cast<unsigned>(number));
  size_t keep = strlen(name);
  if (fs_settings().strip_dot_extension) {
    const char *base = Abase_name(name);
    const char *dot = strrchr(base, '.');
    if (dot != nullptr) keep = static_cast<size_t>(dot - name);
  }
  if (keep + strlen(suffix) >= size) return false;
  memcpy(out, name, keep);
  strcpy(out + keep, suffix);
  return true;
}

bool build_segment_name(const char *file_name, int32_t kind, int32_t number, char *out) {
  if (kind == kDataSegment && number == 0) return copy_text(out, kNameSize, file_name);
  char work[kNameSize], prefix[kNameSize] = "";
  if (!copy_text(work, sizeof work, file_name)) return false;
  if (fs_settings().basename_translation) {
    const char *base = Abase_name(file_name);
    int32_t kind_out;
    const char *translated = cfg_translate_name(base, &kind_out);
    if (translated != nullptr && strcmp(translated, base) != 0) {
      size_t dir = static_cast<size_t>(base - file_name);
      if (translated[0] != '/') {
        memcpy(prefix, file_name, dir);
        prefix[dir] = '\0';
      }
      if (!copy_text(work, sizeof work, translated)) return false;
    }
  }
  char variable[kNameSize + 16];
  variable_name_of(work, variable, kNameSize);
  size_t base_length = strlen(variable);
  strcpy(variable + base_length, "_DATA_FMT");
  char data_format[kNameSize];
  const char *value = Agetenv(variable);
  bool have_data = value != nullptr && copy_text(data_format, sizeof data_format, value);
  strcpy(variable + base_length, "_INDEX_FMT");
  value = Agetenv(variable);
  if (have_data && value != nullptr) {
    const char *format = kind == kDataSegment ? data_format : value;
    return format_number(format, number, out, kNameSize);
  }
  char result[kNameSize];
  if (!suffixed_name(work, kind, number, result, sizeof result)) return false;
  variable_name_of(result, variable, kNameSize);
  value = Agetenv(variable);
  if (value != nullptr) return copy_text(out, kNameSize, value);
  if (strlen(prefix) + strlen(result) >= kNameSize) return false;
  strcpy(out, prefix);
  strcat(out, result);
  return true;
}

// A copy of a segment's name that survives the next call.
bool name_copy(const char *file_name, int32_t kind, int32_t number, char *out) {
  const char *name = segment_name(file_name, kind, number);
  return name != nullptr && copy_text(out, kNameSize, name);
}

int32_t header_slot(int32_t kind, Slot data_slot) {
  return kind == kDataSegment ? data_slot : data_slot + (kIndexSegMagic - kDataSegMagic);
}

// The segment header block of a new segment.
void build_segment_header(const DorvexFile *f, int32_t kind, int32_t number, uint8_t *block) {
  const HeaderLayout &l = *f->layout;
  memset(block, 0, kSegmentHeaderSize);
  memcpy(block + l.offset[header_slot(kind, kDataSegMagic)],
         kind == kDataSegment ? kDataSegmentMagic : kIndexSegmentMagic, 4);
  set_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegVersion)),
           static_cast<uint64_t>(f->version));
  set_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegNumber)),
           static_cast<uint64_t>(number));
  set_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegBytes)), kSegmentHeaderSize);
  set_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegHeaderVersion)),
           f->last_header_version);
}

// Writes one 4-byte field of a segment's header.
bool write_segment_field(DorvexFile *f, int32_t kind, int32_t number, Slot data_slot,
                         uint32_t value) {
  uint8_t bytes[4];
  store_be32(bytes, value);
  int32_t at = f->layout->offset[header_slot(kind, data_slot)];
  return write_at(segment_set(f, kind).files[number], bytes, at, 4) != 0;
}

uint32_t physical_size(int32_t file) {
  struct stat st;
  if (Afstat(file_descriptor(file), &st) != 0) return 0;
  return st.st_size > 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<uint32_t>(st.st_size);
}

void call_attrs_hook(const char *name) {
  if (v5_set_file_attrs_fn hook = set_file_attrs_hook()) hook(nullptr, name);
}

// Creates segment `number` of a kind (the next after the last) with its
// segment header. On failure nothing of it is left.
bool create_segment(DorvexFile *f, int32_t kind, int32_t number) {
  if (number > kMaxSegmentNumber) return fs_fail(E_BROKEN, kBrokenSegmentNumber);
  char name[kNameSize];
  if (!name_copy(f->name, kind, number, name)) return false;
  if (!reserve_segments(f, kind, number + 1)) return false;
  SegmentSet &set = segment_set(f, kind);
  int32_t file = create_segment_file(name, f->seg_flags);
  if (file < 0) {
    set.count = number;
    return false;
  }
  call_attrs_hook(name);
  uint8_t block[kSegmentHeaderSize];
  build_segment_header(f, kind, number, block);
  if (file >= 0) {
    Bset_kind(file, kind);
    Bstore_version(file, f->last_header_version);
    if (write_at(file, block, 0, kSegmentHeaderSize)) {
      set.files[number] = file;
      set.sizes[number] = set.reserved[number] = kSegmentHeaderSize;
      hset(f, kind == kDataSegment ? kHighestDataSeg : kHighestIndexSeg, number);
      hset(f, kind == kDataSegment ? kCurrentDataSeg : kCurrentIndexSeg, number);
      if (kind == kDataSegment) hset(f, kCurrentDataSegSize, kSegmentHeaderSize);
      header_mark_changed(f);
      return true;
    }
  }
  KeptErrors saved;
  if (file >= 0) Bclose(file);
  Aremove(name);
  set.count = number;
  return false;
}

// The index grows in whole nodes: extension x V_INDEX_BLOCK_PERCENT / 100,
// rounded, at least one block.
int64_t index_growth_bytes(const DorvexFile *f) {
  int64_t ext = static_cast<int64_t>(hget(f, kExtension));
  int64_t nodes = (ext * fs_settings().index_block_percent + 50) / 100;
  int64_t bytes = nodes * f->node_size;
  return bytes < kHeaderBlock ? kHeaderBlock : bytes;
}

using SegmentAction = int32_t (*)(const char *from, const char *to);

// The walk of copy and rename: data segment 0, data segments 1 to n, index
// segments 0 to m; a segment whose two names are equal is skipped.
int32_t walk_pairs(const char *from, const char *to, SegmentAction action, const char *verb) {
  int version;
  int32_t data, index;
  if (from == nullptr || to == nullptr) return fs_fail(E_PARAM);
  if (!learn_segments(from, &version, &data, &index)) return 0;
  bool trace = trace_walk() && version >= 4;
  char source[kNameSize], target[kNameSize];
  for (int32_t kind : {static_cast<int32_t>(kDataSegment), static_cast<int32_t>(kIndexSegment)}) {
    int32_t count = kind == kDataSegment ? data : index;
    for (int32_t n = 0; n < count; ++n) {
      if (!name_copy(from, kind, n, source) || !name_copy(to, kind, n, target)) return 0;
      if (strcmp(source, target) == 0) continue;
      if (trace) {
        const char *what = kind == kDataSegment ? "data" : "index";
        if (kind == kDataSegment && n == 0)
          eprintf("%s %s segment (#0): %s -> %s\n", verb, what, source, target);
        else
          eprintf("%s %s segment (#%ld): %s -> %s\n", verb, what, static_cast<long>(n), source,
                  target);
      }
      if (!action(source, target)) return 0;
    }
  }
  return 1;
}

}  // namespace

// Learns the version and the numbers of segments of a file by opening it.
bool learn_segments(const char *name, int *version, int32_t *data, int32_t *index) {
  DorvexFile *f = open_as_a_whole(name);
  if (f == nullptr) return false;
  *version = f->version;
  *data = f->version >= 4 ? f->data.count : 1;
  *index = f->version >= 4 ? f->index.count : 0;
  dorvex_close(f);
  return true;
}

int32_t remove_segments(const char *name, int version, int32_t data, int32_t index, bool with_data0,
                        int32_t first_index) {
  bool trace = trace_walk() && version >= 4;
  char segment[kNameSize];
  if (with_data0) {
    if (trace) eprintf("removing data segment (#0): %s\n", name);
    if (!Aremove(name)) return 0;
  }
  for (int32_t kind : {static_cast<int32_t>(kDataSegment), static_cast<int32_t>(kIndexSegment)}) {
    int32_t count = kind == kDataSegment ? data : index;
    for (int32_t n = kind == kDataSegment ? 1 : first_index; n < count; ++n) {
      if (!name_copy(name, kind, n, segment)) return 0;
      if (trace)
        eprintf("removing %s segment (#%ld): %s\n", kind == kDataSegment ? "data" : "index",
                static_cast<long>(n), segment);
      if (!Aremove(segment)) return 0;
    }
  }
  return 1;
}

SegmentSet &segment_set(DorvexFile *f, int32_t kind) {
  return kind == kDataSegment ? f->data : f->index;
}

int32_t segment_open_flags(int32_t mode) {
  int32_t access = mode & A_ACCESS_MASK;
  if (access == A_OUTPUT || access == A_EXTEND) access = A_IO;
  return access | (mode & 0x4710);
}

bool reserve_segments(DorvexFile *f, int32_t kind, int32_t count) {
  SegmentSet &set = segment_set(f, kind);
  if (count <= set.count) return true;
  size_t n = static_cast<size_t>(count);
  auto *files =
      static_cast<int32_t *>(set.files ? KEL_REALLOC(set.files, n * sizeof(int32_t))
                                       : KEL_ALLOC(n * sizeof(int32_t), "dorvex segment files"));
  if (files == nullptr) return false;
  set.files = files;
  auto *sizes =
      static_cast<uint32_t *>(set.sizes ? KEL_REALLOC(set.sizes, n * sizeof(uint32_t))
                                        : KEL_ALLOC(n * sizeof(uint32_t), "dorvex segment sizes"));
  if (sizes == nullptr) return false;
  set.sizes = sizes;
  auto *reserved = static_cast<uint32_t *>(
      set.reserved ? KEL_REALLOC(set.reserved, n * sizeof(uint32_t))
                   : KEL_ALLOC(n * sizeof(uint32_t), "dorvex segment room"));
  if (reserved == nullptr) return false;
  set.reserved = reserved;
  for (int32_t i = set.count; i < count; ++i) {
    set.files[i] = -1;
    set.sizes[i] = set.reserved[i] = 0;
  }
  set.count = count;
  return true;
}

bool refresh_segment_size(DorvexFile *f, int32_t kind, int32_t number) {
  SegmentSet &set = segment_set(f, kind);
  uint8_t bytes[4];
  int32_t at = f->layout->offset[header_slot(kind, kDataSegBytes)];
  if (!read_at(set.files[number], bytes, at, 4)) return false;
  set.sizes[number] = load_be32(bytes);
  if (set.reserved[number] < set.sizes[number]) set.reserved[number] = set.sizes[number];
  return true;
}

bool store_segment_size(DorvexFile *f, int32_t kind, int32_t number) {
  SegmentSet &set = segment_set(f, kind);
  uint32_t size = set.sizes[number];
  bool last = number == set.count - 1;
  header_mark_changed(f);
  if (f->version < 4) {
    hset(f, kCurrentDataSegSize, size);
    return true;
  }
  if (kind == kIndexSegment && number == 0) {
    hset(f, kIndexSeg0Size, size);
    return true;
  }
  if (kind == kDataSegment && last) hset(f, kCurrentDataSegSize, size);
  if (kind == kDataSegment && number == 0) {
    hset(f, kDataSeg0Size, size);
    return true;
  }
  return write_segment_field(f, kind, number, kDataSegBytes, size);
}

bool fill_blocks(int32_t file, int64_t start, int64_t end, int32_t node_size, bool v3_marks) {
  constexpr int32_t kChunk = 8192;
  static_assert(kChunk % 1024 == 0);
  // The data segment grows by a few blocks at a time as records are
  // appended, so the chunk of zeros is made once, not cleared at every
  // growth (8 KiB of stores that cost more than the write of the blocks
  // into the pool). Version 3 marks go into a chunk of their own.
  static const uint8_t kZeros[kChunk] = {};
  uint8_t marked[kChunk];
  const uint8_t *chunk = kZeros;
  if (v3_marks) {
    memset(marked, 0, sizeof marked);
    for (int32_t at = 0; at < kChunk; at += node_size) marked[at] = 5;
    chunk = marked;
  }
  for (int64_t at = start; at < end; at += kChunk) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(kChunk, end - at));
    if (!write_at(file, chunk, at, n)) return false;
  }
  return true;
}

bool grow_data(DorvexFile *f) {
  SegmentSet &set = f->data;
  int32_t last = set.count - 1;
  int64_t start = set.sizes[last];
  int64_t end = start + static_cast<int64_t>(hget(f, kExtension)) * f->node_size;
  if (f->version >= 4) end = std::min<int64_t>(end, f->seg_limit);
  if (end <= start) return false;
  if (!fill_blocks(set.files[last], start, end, f->node_size, f->version < 4)) return false;
  set.sizes[last] = set.reserved[last] = static_cast<uint32_t>(end);
  return store_segment_size(f, kDataSegment, last);
}

// A record never crosses a segment's end: one that does not fit before the
// limit goes to offset 512 of the next segment, and the rest of the old one
// stays zero (a zero record header: nothing more in this segment).
bool data_append(DorvexFile *f, uint32_t need, SegAddr *at) {
  SegAddr end = hget_addr(f, kEndOfDataOffset, kEndOfDataSeg);
  for (;;) {
    int32_t seg = end.segment;
    SegmentSet &set = f->data;
    if (seg >= set.count) {
      const char *name = segment_name(f->name, kDataSegment, seg);
      fs_set_missing_file_name(name ? name : f->name);
      return fs_fail(E_BROKEN, kBrokenMissingSegment);
    }
    uint64_t stop = static_cast<uint64_t>(static_cast<uint32_t>(end.offset)) + need;
    if (stop <= set.sizes[seg]) {
      *at = end;
      end.offset = static_cast<int32_t>(stop);
      hset_addr(f, kEndOfDataOffset, kEndOfDataSeg, end);
      header_mark_changed(f);
      return true;
    }
    if (seg < set.count - 1) {
      end = SegAddr{kSegmentHeaderSize, static_cast<uint16_t>(seg + 1)};
    } else if (stop > f->seg_limit) {
      if (!create_segment(f, kDataSegment, seg + 1)) return false;
      end = SegAddr{kSegmentHeaderSize, static_cast<uint16_t>(seg + 1)};
    } else if (!grow_data(f)) {
      return false;
    }
  }
}

bool index_append(DorvexFile *f, SegAddr *at) {
  SegmentSet &set = f->index;
  int32_t last = set.count - 1;
  uint32_t node = static_cast<uint32_t>(f->node_size);
  if (set.sizes[last] > f->seg_limit - node) {
    if (!create_segment(f, kIndexSegment, last + 1)) return false;
    ++last;
  }
  uint32_t offset = set.sizes[last];
  if (offset + node > set.reserved[last]) {
    // Zeros only ever go at or past the bytes in use: whatever another
    // process already wrote there is no node yet.
    int64_t start = std::max(set.sizes[last], set.reserved[last]);
    int64_t end = std::max<int64_t>(start + index_growth_bytes(f), offset + node);
    end = std::min<int64_t>(end, f->seg_limit);
    if (!fill_blocks(set.files[last], start, end, f->node_size, false)) return false;
    set.reserved[last] = static_cast<uint32_t>(end);
  }
  set.sizes[last] = offset + node;
  if (!store_segment_size(f, kIndexSegment, last)) return false;
  *at = SegAddr{static_cast<int32_t>(offset), static_cast<uint16_t>(last)};
  return true;
}

bool close_other_segments(DorvexFile *f) {
  bool ok = true;
  int16_t code = 0;
  int32_t secondary = 0;
  auto close_one = [&](int32_t kind, int32_t n) {
    if (close_segment(f, kind, n) || !ok) return;
    ok = false;
    code = *fs_error_code();
    secondary = *fs_error_secondary();
  };
  for (int32_t n = f->index.count - 1; n >= 0; --n) close_one(kIndexSegment, n);
  for (int32_t n = f->data.count - 1; n >= 1; --n) close_one(kDataSegment, n);
  if (!ok) {
    fs_fail(code, secondary);
  }
  return ok;
}

int32_t create_segment_file(const char *name, int32_t flags) {
  {
    KeptErrors saved;
    Aunlink(name);
  }
  return Bopen(name, flags | A_CREATE_NEW);
}

bool close_cached_file(int32_t file) {
  errno = 0;
  if (Bclose(file)) return true;
  return fs_fail(errno != 0 ? E_SYSERR : E_DISK_FULL);
}

void free_segment_sets(DorvexFile *f) {
  for (SegmentSet *set : {&f->data, &f->index}) {
    if (set->files) KEL_FREE(set->files);
    if (set->sizes) KEL_FREE(set->sizes);
    if (set->reserved) KEL_FREE(set->reserved);
    *set = SegmentSet{};
  }
}

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" const char *segment_name(const char *file_name, int32_t kind, int32_t number) {
  char *out = state().name;
  if (file_name == nullptr || !build_segment_name(file_name, kind, number, out)) {
    out[0] = '\0';
    return fs_fail(E_PARAM);
  }
  return out;
}

extern "C" int32_t open_new_segment(DorvexFile *f, int32_t kind, int32_t number) {
  char name[kNameSize];
  if (!name_copy(f->name, kind, number, name)) return 0;
  SegmentSet &set = segment_set(f, kind);
  int32_t old_count = set.count;
  if (!reserve_segments(f, kind, number + 1)) return 0;
  int32_t file = Bopen(name, f->seg_flags);
  if (file < 0) {
    set.count = std::max(old_count, number);
    return 0;
  }
  Bset_kind(file, kind);
  Bstore_version(file, f->last_header_version);
  const HeaderLayout &l = *f->layout;
  uint8_t block[kSegmentHeaderSize];
  bool ok = Bpread(file, block, kSegmentHeaderSize, 0) == kSegmentHeaderSize &&
            memcmp(block + l.offset[header_slot(kind, kDataSegMagic)],
                   kind == kDataSegment ? kDataSegmentMagic : kIndexSegmentMagic, 4) == 0 &&
            get_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegVersion))) ==
                static_cast<uint64_t>(f->version) &&
            get_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegNumber))) ==
                static_cast<uint64_t>(number);
  if (!ok) {
    Bclose(file);
    set.count = std::max(old_count, number);
    return fs_fail(E_FILE_TYPE);
  }
  set.files[number] = file;
  set.sizes[number] = static_cast<uint32_t>(
      get_slot(block, l, static_cast<Slot>(header_slot(kind, kDataSegBytes))));
  set.reserved[number] = std::max(set.sizes[number], physical_size(file));
  return 1;
}

extern "C" int32_t close_segment(DorvexFile *f, int32_t kind, int32_t number) {
  SegmentSet &set = segment_set(f, kind);
  if (number >= set.count || set.files[number] < 0) return 1;
  bool ok = true;
  if (f->for_update) {
    ok = write_segment_field(f, kind, number, kDataSegHeaderVersion, f->last_header_version) &&
         write_segment_field(f, kind, number, kDataSegBytes, set.sizes[number]);
  }
  if (ok) {
    ok = close_cached_file(set.files[number]);
  } else {
    kel::KeptErrors saved;
    Bclose(set.files[number]);
  }
  set.files[number] = -1;
  return ok ? 1 : 0;
}

extern "C" int32_t dorvex_copy(const char *from, const char *to) {
  return walk_pairs(from, to, Acopy_file, "copying");
}

extern "C" int32_t dorvex_rename(const char *from, const char *to) {
  return walk_pairs(from, to, Arename, "renaming");
}

extern "C" int32_t dorvex_remove(const char *name, int32_t with_segment0) {
  int version;
  int32_t data, index;
  if (name == nullptr) return fs_fail(E_PARAM);
  if (!learn_segments(name, &version, &data, &index)) return 0;
  return remove_segments(name, version, data, index, with_segment0 != 0, with_segment0 ? 0 : 1);
}
