// Positioning by key (v5_start) and reading by key (v5_read).
#include <cstring>

#include "access/access.h"
#include "access/reading.h"
#include "kelfs/errors.h"
#include "support/fail.h"

namespace kel::indexed {

namespace {

// How each start mode searches: the byte that fills the key behind a
// partial length, the duplicate number, and whether the entry before the
// one found is wanted.
struct StartMode {
  uint8_t tail;
  uint32_t dup;
  bool step_back;
};

constexpr StartMode kStartModes[] = {
    {0x00, 0, false},           // equal
    {0x00, 0, false},           // not less than
    {0xFF, 0xFFFFFFFF, false},  // greater than
    {0x00, 0, true},            // less than
    {0xFF, 0xFFFFFFFF, true},   // not greater than
};

bool not_found() {
  return fs_fail(E_NOT_FOUND);
}

bool start(Operation &op, DorvexFile *f, const uint8_t *record, int32_t key, int32_t length,
           int32_t mode) {
  if (f == nullptr || record == nullptr || mode < 0 || mode > V_START_NOT_GREATER) {
    return fs_fail(E_PARAM);
  }
  if (!reads_allowed(f) || !key_in_range(f, key)) return false;
  if (!op.begin(HeaderAccess::kLocked)) return false;
  const StartMode &m = kStartModes[mode];
  uint8_t search[kSearchKeySize];
  build_search_key(f, key, record, search);
  int size = f->keys[key].length;
  bool partial = length > 0 && length < size;
  if (partial) memset(search + 2 + length, m.tail, static_cast<size_t>(size - length));

  TreeContext *t = tree_of(f);
  NodePosition pos;
  int result = vi_find_key(t, search, m.dup, &pos);
  if (result == SR_ERROR) return false;
  if (result == SR_EMPTY) return not_found();
  const FullKey &found = t->search.key;
  // A partial key equals an entry whose leading bytes are the given ones.
  bool partial_equal = mode == V_START_EQUAL && partial && result == SR_GREATER &&
                       found.length == search[0] &&
                       memcmp(found.bytes, search + 1, static_cast<size_t>(length) + 1) == 0;
  if (m.step_back) {
    if (!vi_step_back(t, &pos)) return false;
  } else if (mode == V_START_EQUAL && result < SR_EQUAL && !partial_equal) {
    return not_found();
  }
  if (!entry_of_key(t->search.key, key)) return not_found();
  set_position(f, key, t->search.key, t->search.dup, pos.node, true);
  return true;
}

int64_t read_by_key(Operation &op, DorvexFile *f, uint8_t *record, int32_t key) {
  if (f == nullptr || record == nullptr) {
    fs_fail(E_PARAM);
    return -1;
  }
  if (!reads_allowed(f) || !key_in_range(f, key)) return -1;
  ReadState &r = *f->read;
  TreeContext *t = tree_of(f);
  uint8_t search[kSearchKeySize];
  build_search_key(f, key, record, search);
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool last_try = attempt == 1;
    if (!op.begin(HeaderAccess::kRead, attempt > 0)) return -1;
    NodePosition pos;
    int result = vi_find_key(t, search, 0, &pos);
    if (result < SR_EQUAL) {
      if (!last_try && (op.verified() || op.fault_needs_confirming() ||
                        (op.header_checked() && op.header_moved())))
        continue;
      if (result == SR_ERROR) return -1;
      fs_fail(E_NOT_FOUND);
      return -1;
    }
    int64_t length = common_read(op, f, pos, record, key, false, true);
    if (length >= 0 || last_try || !(r.retry || op.fault_needs_confirming())) return length;
  }
  return -1;
}

}  // namespace

}  // namespace kel::indexed

using namespace kel::indexed;

extern "C" int32_t v5i_start(DorvexFile *file, const uint8_t *record, int32_t key, int32_t length,
                             int32_t mode) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  bool ok = start(op, file, record, key, length, mode);
  op.finish(ok);
  return ok ? 1 : 0;
}

extern "C" uint32_t v5i_read(DorvexFile *file, uint8_t *record, int32_t key) {
  if (file == nullptr) return kel::fs_fail(E_PARAM);
  Operation op(file, false);
  int64_t length = read_by_key(op, file, record, key);
  op.finish(length >= 0);
  return length < 0 ? 0 : static_cast<uint32_t>(length);
}
