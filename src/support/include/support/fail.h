// The one way a file-system operation fails: fs_fail sets the primary
// error code (and, when given, the secondary code that details it) in the
// error block and returns the failure value of whatever the caller
// returns: false, 0 or a null pointer.
//
//   return fs_fail(E_PARAM);                         // primary only
//   return fs_fail(E_BROKEN, kBrokenShortRead);      // primary and secondary
//
// A failure that returns something else (-1, say) calls it as a statement
// and returns its own value. Without a secondary code the secondary field
// keeps what it holds: it details E_BROKEN (every E_BROKEN names its code;
// the engine's are listed in indexed/storage/broken_codes.h) and, for
// a few others, which table was full. Codes that are no failure (0 on
// entry to an operation, 101 after a success) are set with fs_set_status
// and fs_clear_errors.
// KeptErrors saves the codes and errno around a clean-up that may change
// them, so that the failure that started the clean-up is the one reported.
#pragma once

#include <cerrno>
#include <cstdint>
#include <type_traits>

#include "kelfs/errors.h"

namespace kel {

// The failure value: false, 0 or a null pointer, as the caller's result
// type needs.
struct Failed {
  template <class T>
  requires std::is_arithmetic_v<T>
  constexpr operator T() const { return T{}; }
  template <class T>
  constexpr operator T *() const {
    return nullptr;
  }
};

inline Failed fs_fail(int16_t code) {
  *fs_error_code() = code;
  return {};
}

inline Failed fs_fail(int16_t code, int32_t secondary) {
  *fs_error_code() = code;
  *fs_error_secondary() = secondary;
  return {};
}

// A primary code that reports no failure: 0 once a failure was dealt
// with, E_DUPLICATE_ALTERNATE after a success.
inline void fs_set_status(int16_t code) {
  *fs_error_code() = code;
}

// Both codes 0, as an operation starts.
inline void fs_clear_errors() {
  *fs_error_code() = 0;
  *fs_error_secondary() = 0;
}

// The error codes and errno, kept across a clean-up that may change them.
class KeptErrors {
 public:
  KeptErrors() : code_(*fs_error_code()), secondary_(*fs_error_secondary()), errno_(errno) {}
  ~KeptErrors() {
    *fs_error_code() = code_;
    *fs_error_secondary() = secondary_;
    errno = errno_;
  }
  KeptErrors(const KeptErrors &) = delete;
  KeptErrors &operator=(const KeptErrors &) = delete;

 private:
  int16_t code_;
  int32_t secondary_;
  int errno_;
};

}  // namespace kel
