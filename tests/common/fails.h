// An assertion on a call that must fail: its result is the failure value
// of its kind (0, false, null, an empty string) and the error codes left
// behind are the ones named.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

#include "kelfs/errors.h"

namespace kel::test {

// The same for a failure told otherwise (a -1, say).
inline ::testing::AssertionResult failed(bool did_fail, int16_t code, int32_t secondary = -1) {
  if (!did_fail) return ::testing::AssertionFailure() << "the call succeeded";
  if (*fs_error_code() != code || (secondary >= 0 && *fs_error_secondary() != secondary))
    return ::testing::AssertionFailure()
           << "error " << *fs_error_code() << "/" << *fs_error_secondary() << ", not " << code
           << (secondary >= 0 ? "/" + std::to_string(secondary) : std::string());
  return ::testing::AssertionSuccess();
}

template <class T>
::testing::AssertionResult fails(const T &result, int16_t code, int32_t secondary = -1) {
  if constexpr (std::is_same_v<T, std::string>)
    return failed(result.empty(), code, secondary);
  else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>)
    return failed(result == nullptr, code, secondary);
  else
    return failed(result == 0, code, secondary);
}

}  // namespace kel::test
