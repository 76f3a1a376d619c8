// An open indexed file as the entry points' trace lines show it: its
// address and its name.
#pragma once

#include "entry.h"
#include "indexed/engine.h"

namespace kel::fsapi {

inline TraceHandle handle_of(const DorvexFile *file) {
  return TraceHandle{file, file ? kel::indexed::file_name(file) : nullptr};
}

}  // namespace kel::fsapi
