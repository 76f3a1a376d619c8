// The two older ways of describing an indexed file at make, and the
// information that describes an open file in them. Both are turned into
// today's parameter texts (params.h) and handed to dorvex_make; the file's
// version is chosen as for any make.
//
// The old description (dorvex_make_old: physical text, key text):
//
//   physical  "%d,%d": node size in blocks, preallocation count
//   keys      "%d,%d,%d,%d": maximum record size, number of keys, size and
//             record offset of key 0 (one segment, no duplicates); then per
//             further key ",%d,%d,%c": size, offset, and "y" or "Y" when it
//             allows duplicates (any other character: it does not); then up
//             to three flags, each "y" or "n" in either case and each after
//             a comma: variable-length records, record compression, record
//             scrambling (a missing flag is "n"); then, after a comma, the
//             comment: whatever remains.
//
// turns into
//
//   record parameters    "%d,%d,%d": maximum, minimum, number of keys; the
//                        minimum is the end of the farthest key with
//                        variable-length records, else the maximum
//   key parameters       per key "1,%d,%d,%d": one segment, duplicates 0 or
//                        1, size, offset; keys separated by commas
//   physical parameters  the physical text, then ",1," (extension count 1),
//                        the compression flag (0 or 1: factor 1 stands for
//                        COMPRESS_FACTOR), "," and the scrambling flag
//   comment              the rest of the key text
//
// The oldest description (dorvex_make_oldest: text, extra) is "%d,%d,%d,%s":
// three numbers and a rest (up to the first blank). ",N,N,N," and the extra
// text are appended to the rest, and the result is an old key text whose
// physical text is "%d,%d" of the third and the first number. The oldest
// form has no flags of its own: the three "N" appended are its flags and
// the extra text its comment. A rest that carries flags of its own keeps
// them, and the comment then begins with the appended "N,N,N,".
//
// The information forms give the texts that make an empty file of the same
// shape again, as far as the forms reach: neither carries a translation
// table, an extension count, a minimum record size between the farthest
// key's end and the maximum, or a compression factor other than 0 or 1.
//   old     physical "%d,%d" (node blocks, preallocation count) and the old
//           key text, flags and comment included
//   oldest  text "%d,1,%d," (preallocation count, node blocks) followed by
//           the old key text without flags, and the comment as extra
// A file that a form cannot describe gives E_UNSUPPORTED: a key of several
// segments or a primary key with duplicates; for the oldest form also any
// flag that is set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "format/params.h"

namespace kel::indexed {

// The size of each text the information forms write (kelfs.h:
// V_OLD_INFO_SIZE): 120 keys of 21 bytes at most, flags and comment.
constexpr size_t kOldInfoSize = 4096;

// Today's texts for an old description.
struct OldMakeTexts {
  char record[64];
  char keys[kMaxKeys * 48];
  char physical[96];
  char comment[kOldInfoSize];
};

// Converts an old description. False with E_PARAM when the texts do not
// have its form (make judges the numbers).
bool old_make_texts(const char *physical, const char *keys, OldMakeTexts *out);

// The old physical and key texts of an oldest description. False with
// E_PARAM when it lacks its three numbers or its rest.
bool oldest_to_old(const char *text, const char *extra, char *physical, size_t physical_size,
                   char *keys, size_t keys_size);

}  // namespace kel::indexed
