// Compiled with one layer's include folders and PROBE_HEADER naming a
// header of another layer: it compiles when that layer is below, and must
// not when it is above (see tests/CMakeLists.txt).
#include PROBE_HEADER
