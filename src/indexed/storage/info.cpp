// The information texts of an open indexed file (v5_info). The archive
// carries several of them, so their forms are part of the archive format:
//
//   code  text
//   -12   "%010ld"  the descriptor of data segment 0
//   -11   "%010ld"  deleted records (slot 21; version 5: + slot 22)
//   -10   "%03d"    format version
//   -9    "%015ld"  per segment, data 0..n then index 0..m: its size (one
//                   number, the file's size, before version 4)
//   -8    per segment, in the same order: its name in 128 bytes (zero
//         padded, cut at 128) followed by "%010ld", its size
//   -7    "%05lu,%05lu"  numbers of data and index segments ("00000,00000"
//                   before version 4)
//   -6    "%04d"    record locks the file holds
//   -5    the 256-byte key translation table (E_UNSUPPORTED without one)
//   -4    "%010ld"  live records (slot 20)
//   -3    the comment (at most 30 characters)
//   -2    physical parameters, -1 record parameters, k >= 0 key k: the
//         texts of params.h at the process's interface level
//
// Sizes are those the header keeps (segments.h). Other codes: E_PARAM.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "indexed/engine.h"
#include "kelfs/errors.h"
#include "osfile/files.h"
#include "storage/dorvex.h"
#include "storage/header.h"
#include "storage/segments.h"
#include "support/fail.h"

using kel::fs_fail;

namespace kel::indexed {

namespace {

constexpr int32_t kNameField = 128;
constexpr int kSizeWidth = 15;

// Codes whose texts come from the part of the header that changes.
bool needs_header(int32_t code) {
  return code == -11 || code == -9 || code == -8 || code == -7 || code == -4;
}

void put_sizes(DorvexFile *f, char *out) {
  for (SegmentSet *set : {&f->data, &f->index}) {
    for (int32_t n = 0; n < set->count; ++n)
      out += sprintf(out, "%0*ld", kSizeWidth, static_cast<long>(set->sizes[n]));
  }
  *out = '\0';
}

bool put_names(DorvexFile *f, char *out) {
  for (int32_t kind : {static_cast<int32_t>(kDataSegment), static_cast<int32_t>(kIndexSegment)}) {
    SegmentSet &set = segment_set(f, kind);
    for (int32_t n = 0; n < set.count; ++n) {
      const char *name = segment_name(f->name, kind, n);
      if (name == nullptr) return false;
      strncpy(out, name, kNameField);
      out += kNameField;
      out += sprintf(out, "%010ld", static_cast<long>(set.sizes[n]));
    }
  }
  return true;
}

bool info_text(DorvexFile *f, int32_t code, char *out) {
  int32_t level = interface_level();
  switch (code) {
    case -12:
      sprintf(out, "%010ld", static_cast<long>(file_descriptor(f->data0)));
      return true;
    case -11: {
      uint64_t deleted = hget(f, kDeletedCount) + hget(f, kSetAsideCount);
      sprintf(out, "%010ld", static_cast<long>(deleted));
      return true;
    }
    case -10:
      sprintf(out, "%03d", f->version);
      return true;
    case -9:
      put_sizes(f, out);
      return true;
    case -8:
      return put_names(f, out);
    case -7:
      if (f->version < 4)
        strcpy(out, "00000,00000");
      else
        sprintf(out, "%05lu,%05lu", static_cast<unsigned long>(f->data.count),
                static_cast<unsigned long>(f->index.count));
      return true;
    case -6: {
      const UpperLayerHooks *hooks = upper_layer_hooks();
      int32_t locks = hooks && hooks->locks_in_use ? hooks->locks_in_use(f) : 0;
      sprintf(out, "%04d", static_cast<int>(locks));
      return true;
    }
    case -5:
      if (f->translation == nullptr) return fs_fail(E_UNSUPPORTED);
      memcpy(out, f->translation, kTableSize);
      return true;
    case -4:
      sprintf(out, "%010ld", static_cast<long>(hget(f, kRecordCount)));
      return true;
    case -3:
      strcpy(out, f->comment);
      return true;
    case -2:
      strcpy(out, physical_params_text(static_cast<uint32_t>(f->node_size / kHeaderBlock),
                                       static_cast<uint32_t>(hget(f, kExtension)), f->header_factor,
                                       f->scramble, level)
                      .text);
      return true;
    case -1:
      strcpy(out, record_params_text(f->max_record, f->min_record, f->key_count, level).text);
      return true;
    default:
      if (code < 0 || code >= f->key_count) return fs_fail(E_PARAM);
      strcpy(out, key_text(f->keys[code], level).text);
      return true;
  }
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t dorvex_info(DorvexFile *f, int32_t code, char *out) {
  if (f == nullptr || out == nullptr) return fs_fail(E_PARAM);
  if (!needs_header(code)) return info_text(f, code, out) ? 1 : 0;
  if (!header_read(f, HeaderAccess::kLocked)) return 0;
  bool ok = info_text(f, code, out);
  header_release(f);
  return ok ? 1 : 0;
}
