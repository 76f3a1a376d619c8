#include "archive/volume_header.h"

#include <cstdio>
#include <cstring>

namespace kel::archive {

void format_volume_header(uint8_t *block, int32_t media_block, const VolumeHeader &h, time_t now) {
  memset(block, 0, static_cast<size_t>(media_block));
  char created[32];
  if (ctime_r(&now, created) == nullptr || strlen(created) != kVolumeCreatedWidth) {
    // Only years past 9999 give another width; keep the layout regardless.
    snprintf(created, sizeof created, "%-24.24s\n", "");
  }
  snprintf(reinterpret_cast<char *>(block), static_cast<size_t>(media_block),
           "KEL!%02d%02d%05d%05d%04d%s", h.format_version % 100, h.volume % kVolumeNumberModulus,
           h.media_size, h.record_size, h.media_block, created);
}

bool volume_magic_ok(const uint8_t *block) {
  return memcmp(block, kVolumeMagic, kVolumeMagicWidth) == 0;
}

void swap_pairs(uint8_t *bytes, size_t count) {
  for (size_t i = 0; i + 1 < count; i += 2) {
    uint8_t t = bytes[i];
    bytes[i] = bytes[i + 1];
    bytes[i + 1] = t;
  }
}

bool parse_volume_header(const uint8_t *block, VolumeHeader *out) {
  const char *fields = reinterpret_cast<const char *>(block) + kVolumeFieldsOffset;
  VolumeHeader h;
  int n = sscanf(fields, "%2d%2d%5d%5d%4d%63[^\n]", &h.format_version, &h.volume, &h.media_size,
                 &h.record_size, &h.media_block, h.created);
  if (n < 4) return false;
  if (n < 5) h.media_block = 0;
  *out = h;
  return true;
}

}  // namespace kel::archive
