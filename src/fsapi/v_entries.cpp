// Entry points of the older indexed families: the two older make
// descriptions, their information forms, and the open of the version 2
// era (any version opens through it).
#include "entry.h"
#include "indexed/engine.h"
#include "indexed_handle.h"
#include "kelfs/kelfs.h"

using kel::fsapi::BoundedStr;
using kel::fsapi::entry;
using kel::fsapi::entry_void;
using kel::fsapi::handle_of;
using kel::fsapi::Str;
using kel::fsapi::TraceHandle;

namespace {

// The information buffers are traced as the texts they hold on entry.
constexpr size_t kTracedInfo = 256;

}  // namespace

extern "C" int v_make(const char *name, const char *keys, const char *params) {
  return entry(
      {"v_make", "\"%s\", \"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] { return dorvex_make_oldest(name, keys, params); }, Str{name}, Str{keys}, Str{params});
}

extern "C" void v_info(DorvexFile *file, char *keys, char *params) {
  entry_void(
      {"v_info", "%p \"%s\", \"%s\", \"%s\"", nullptr, nullptr},
      [&] { dorvex_oldest_info(file, keys, params); }, handle_of(file),
      BoundedStr{keys, kTracedInfo}, BoundedStr{params, kTracedInfo});
}

extern "C" int v2_make(const char *name, const char *physical, const char *keys) {
  return entry(
      {"v2_make", "\"%s\", \"%s\", \"%s\"", "%d", nullptr}, 0,
      [&] { return dorvex_make_old(name, physical, keys); }, Str{name}, Str{physical}, Str{keys});
}

extern "C" DorvexFile *v2_open(const char *name, int32_t mode) {
  return entry<DorvexFile *>(
      {"v2_open", "\"%s\", 0x%x", "%p", nullptr}, nullptr,
      [&] {
        kel::indexed::install_access_layers();
        return dorvex_open(name, mode);
      },
      Str{name}, static_cast<unsigned>(mode));
}

extern "C" void v2_info(DorvexFile *file, char *physical, char *keys) {
  entry_void(
      {"v2_info", "%p \"%s\", \"%s\", \"%s\"", nullptr, nullptr},
      [&] { dorvex_old_info(file, physical, keys); }, handle_of(file),
      BoundedStr{physical, kTracedInfo}, BoundedStr{keys, kTracedInfo});
}
