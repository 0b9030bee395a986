// Whole numbers written in decimal digits, as the table's counts, the
// command line's days and the journal's fields give them. One parser, so
// that "0007" or a number one past the limit means the same wherever it is
// read.

#include "base/diagnostics.h"

bool whole_number(std::string_view text, std::uint64_t limit, std::uint64_t* number) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // Checked before it is taken, so that no digit string, however long,
    // wraps around to a small value.
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *number = value;
  return true;
}
