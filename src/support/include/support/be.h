// Big-endian integer encoding. Every integer that the file system writes to a
// file (indexed headers, nodes, records, relative files, logs, message files)
// is big-endian whatever the processor; every such load and store goes
// through these helpers so that the byte order is decided in one place.
#pragma once

#include <cstdint>

namespace kel {

inline uint16_t load_be16(const void *p) {
  const auto *b = static_cast<const uint8_t *>(p);
  return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

inline uint32_t load_be32(const void *p) {
  const auto *b = static_cast<const uint8_t *>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

// A 48-bit field (the version 5 "index bytes in use" counter is 6 bytes wide).
inline uint64_t load_be48(const void *p) {
  const auto *b = static_cast<const uint8_t *>(p);
  return (uint64_t{load_be16(b)} << 32) | load_be32(b + 2);
}

inline uint64_t load_be64(const void *p) {
  const auto *b = static_cast<const uint8_t *>(p);
  return (uint64_t{load_be32(b)} << 32) | load_be32(b + 4);
}

inline void store_be16(void *p, uint16_t v) {
  auto *b = static_cast<uint8_t *>(p);
  b[0] = static_cast<uint8_t>(v >> 8);
  b[1] = static_cast<uint8_t>(v);
}

inline void store_be32(void *p, uint32_t v) {
  auto *b = static_cast<uint8_t *>(p);
  b[0] = static_cast<uint8_t>(v >> 24);
  b[1] = static_cast<uint8_t>(v >> 16);
  b[2] = static_cast<uint8_t>(v >> 8);
  b[3] = static_cast<uint8_t>(v);
}

inline void store_be48(void *p, uint64_t v) {
  auto *b = static_cast<uint8_t *>(p);
  store_be16(b, static_cast<uint16_t>(v >> 32));
  store_be32(b + 2, static_cast<uint32_t>(v));
}

inline void store_be64(void *p, uint64_t v) {
  auto *b = static_cast<uint8_t *>(p);
  store_be32(b, static_cast<uint32_t>(v >> 32));
  store_be32(b + 4, static_cast<uint32_t>(v));
}

// Load/store an unsigned field of `width` bytes (1, 2, 4 or 6). Header slots
// change width between format versions; the layout table gives the width.
inline uint64_t load_be(const void *p, int width) {
  switch (width) {
    case 1:
      return *static_cast<const uint8_t *>(p);
    case 2:
      return load_be16(p);
    case 4:
      return load_be32(p);
    case 6:
      return load_be48(p);
    default:
      return load_be64(p);
  }
}

inline void store_be(void *p, int width, uint64_t v) {
  switch (width) {
    case 1:
      *static_cast<uint8_t *>(p) = static_cast<uint8_t>(v);
      break;
    case 2:
      store_be16(p, static_cast<uint16_t>(v));
      break;
    case 4:
      store_be32(p, static_cast<uint32_t>(v));
      break;
    case 6:
      store_be48(p, v);
      break;
    default:
      store_be64(p, v);
      break;
  }
}

}  // namespace kel
