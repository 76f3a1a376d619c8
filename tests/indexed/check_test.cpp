// The whole-file check: the report of a sound file and of each kind of
// damage it must find, made on purpose in files written through the entry
// points: rows of a golden file, each report behind its check.
#include "indexed/engine_verbs.h"

namespace kel::test {
namespace {

using CheckTest = EngineTest;

TEST_F(CheckTest, ReportsOfASoundFileAndOfEachDamage) {
  CallScript script;
  add_engine_verbs(script);
  EXPECT_TRUE(script.run("indexed/check_calls.txt"));
}

}  // namespace
}  // namespace kel::test
