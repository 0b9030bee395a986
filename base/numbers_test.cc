// The one parser of decimal whole numbers, at and around its limits.
#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "base/diagnostics.h"

namespace {

TEST(WholeNumber, DigitsAloneUpToTheLimit) {
  constexpr std::uint64_t int_limit = 2147483647;
  constexpr std::uint64_t uid_limit = 4294967295;
  const struct {
    std::string_view text;
    std::uint64_t limit;
    bool taken;
    std::uint64_t value;
  } cases[] = {
      {"0", int_limit, true, 0},
      {"0007", int_limit, true, 7},
      {"2147483647", int_limit, true, 2147483647},
      {"2147483648", int_limit, false, 0},
      {"4294967296", uid_limit, false, 0},
      // Past 2^64: must not wrap around to a small number.
      {"18446744073709551617", uid_limit, false, 0},
      {"99999999999999999999999", int_limit, false, 0},
      {"", int_limit, false, 0},
      {"-1", int_limit, false, 0},
      {" 1", int_limit, false, 0},
      {"0x10", int_limit, false, 0},
  };
  for (const auto& c : cases) {
    std::uint64_t value = 12345;
    EXPECT_EQ(whole_number(c.text, c.limit, &value), c.taken) << c.text;
    EXPECT_EQ(value, c.taken ? c.value : 12345) << c.text;
  }
}

}  // namespace
