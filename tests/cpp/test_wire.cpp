#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>

#include "records/wire.hpp"

namespace tarnwick::wire {
namespace {

// The reference: all ASCII digits, at most 20, and the value fits in 64 bits.
std::optional<std::uint64_t> reference(const std::string& s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  std::uint64_t v;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

TEST(DecimalU64, AgreesWithFromCharsOnDigitRunsAndPlantedFaults) {
  std::mt19937_64 rng(7);
  const std::string odd = "/:+- .a\x80\xff";  // the bytes either side of '0'..'9' among them
  for (int round = 0; round < 200000; ++round) {
    const std::size_t n = rng() % 22;
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
    if (n != 0 && rng() % 3 == 0) s[rng() % n] = odd[rng() % odd.size()];
    if (n == 20 && rng() % 2 == 0) s[0] = '1';  // near the top of the range
    ASSERT_EQ(decimal_u64(s), reference(s)) << s;
  }
}

TEST(DecimalU64, Bounds) {
  EXPECT_EQ(decimal_u64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(decimal_u64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(decimal_u64("99999999999999999999"), std::nullopt);
  EXPECT_EQ(decimal_u64("00000000000000000001"), 1u);
  EXPECT_EQ(decimal_u64("000000000000000000001"), std::nullopt);  // 21 digits
}

}  // namespace
}  // namespace tarnwick::wire
