// Decimal numbers in the board's version texts, read and written the same way
// whatever locale the host has set.
#pragma once

#include <cstddef>

namespace tq {

// Reads a number as strtod reads it in the C locale, whatever locale the
// host has set ("  2.1xyz" gives 2.1, "1e1" 10, "0x1p1" 2): leading blanks
// skipped, one sign, stops at the first character that cannot continue the
// number. 0 when there is no number. Reads at most `limit` characters and
// never past a NUL.
double ParseDecimal(const char* text, size_t limit);

// Formats "v%1.1f" into `out` (room for `size` bytes, always terminated).
void FormatVersion(double value, char* out, size_t size);

}  // namespace tq
