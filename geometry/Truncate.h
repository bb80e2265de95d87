// Double-to-integer truncation that is defined for every input.
//
// Positions computed from a board's distances can be NaN or far out of range
// (the version-4 solution produces them from bad packets). A plain C++ cast
// of such a value is undefined; this helper gives what x86's truncating
// conversion gives instead, on every platform and build.
#pragma once

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tq {

// Truncation toward zero for finite values in the 32-bit range; -2147483648
// for NaN, infinities and values outside the range.
inline int32_t TruncateToInt32Portable(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

inline int32_t TruncateToInt32(double value) {
#if defined(__SSE2__)
  // The processor's truncating conversion is this very rule in one
  // instruction; the filter truncates several times for every sample.
  return _mm_cvttsd_si32(_mm_set_sd(value));
#else
  return TruncateToInt32Portable(value);
#endif
}

// The low 16 bits of the truncated value, read as signed.
inline int16_t TruncateToInt16(double value) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(TruncateToInt32(value))));
}

}  // namespace tq
