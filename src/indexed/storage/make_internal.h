// Make with the format version given: the re-creation of a file opened for
// output keeps the file's own version.
#pragma once

#include <cstdint>

namespace kel::indexed {

bool make_file(const char *name, int version, const char *comment, const char *physical,
               const char *record, const char *keys, const uint8_t *table);

}  // namespace kel::indexed
