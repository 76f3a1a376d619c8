#include "archive/segment_list.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "archive/indexed_io.h"
#include "support/alloc.h"
#include "support/be.h"

namespace kel::archive {

namespace {

constexpr size_t kNameField = 128;
constexpr size_t kSizeField = 10;
constexpr size_t kSegmentEntry = kNameField + kSizeField;
constexpr size_t kKindBytes = 8;
constexpr uint32_t kMagicV3 = 0x10121416, kMagicV4 = 0x10121419;
constexpr uint32_t kMagicDataSegment = 0x10121417, kMagicIndexSegment = 0x10121418;
constexpr uint8_t kMagicV2[6] = {0x16, 0x14, 0x12, 0x10, 0x02, 0x00};

}  // namespace

bool each_segment(void *file, void (*each)(const char *name, void *context), void *context) {
  const IndexedOps &ops = indexed_ops();
  char counts[kInfoTextSize];
  if (!ops.info(file, kInfoSegmentCounts, counts)) return false;
  unsigned long data = 0, index = 0;
  if (sscanf(counts, "%lu,%lu", &data, &index) != 2) return false;
  if (data + index == 0) return true;  // one file: the caller's own name
  MemPtr<char> names;
  if (!names.allocate((data + index) * kSegmentEntry + 1, "indexed segment names")) return false;
  if (!ops.info(file, kInfoSegmentNames, names.get())) return false;
  char name[kNameField + 1];
  for (unsigned long i = 0; i < data + index; ++i) {
    memcpy(name, names.get() + i * kSegmentEntry, kNameField);
    name[kNameField] = '\0';
    if (name[0] != '\0') each(name, context);
  }
  return true;
}

FileKind file_kind_of(const uint8_t *bytes, size_t count) {
  if (count >= sizeof kMagicV2 && memcmp(bytes, kMagicV2, sizeof kMagicV2) == 0)
    return FileKind::kIndexed;
  if (count < kKindBytes) return FileKind::kOther;
  const uint32_t magic = load_be32(bytes);
  const uint16_t version = load_be16(bytes + 4), number = load_be16(bytes + 6);
  if ((magic == kMagicV3 && version == 3) || (magic == kMagicV4 && (version == 4 || version == 5)))
    return FileKind::kIndexed;
  const bool segment_version = version == 4 || version == 5;
  if ((magic == kMagicDataSegment && segment_version && number >= 1) ||
      (magic == kMagicIndexSegment && segment_version))
    return FileKind::kSegment;
  return FileKind::kOther;
}

}  // namespace kel::archive
