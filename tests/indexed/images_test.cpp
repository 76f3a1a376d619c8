// The bytes of indexed files, every version: rows of calls make files and
// work on them through make, the entry points and the storage layer, and
// show where each record and node went and the image of every file after
// each step (a hex dump, lines of zeros left out), in the golden file
// indexed/file_images.txt. The steps: headers of every version with their
// key descriptions and collating table; a version 2 file in this
// machine's byte order; record headers of every version with and without
// duplicates, compression slots and factors, scrambling; the deleted
// chain of versions 4 and 5, reuse of its head and the head set aside or
// dropped after 32 failed reuses; version 3 records that run across
// linked data nodes; node blocks from the end and from the free list, key
// roots and the header counters, the index's growth; data and index grown
// into second segments; tree nodes of a first key, of a first root split
// and of keys sharing prefixes.
//
// The images were first written on code that passed the earlier tests of
// these bytes (fields at literal offsets, built without the layout
// tables), and checked against their expectations; a change of any byte
// now shows in the rows' diff.
#include "indexed/engine_fixture.h"
#include "indexed/engine_verbs.h"

namespace kel::test {
namespace {

using ImagesTest = EngineTest;

TEST_F(ImagesTest, FilesOfEveryVersionToTheByte) {
  CallScript script;
  add_engine_verbs(script);
  EXPECT_TRUE(script.run("indexed/file_images.txt"));
}

}  // namespace
}  // namespace kel::test
