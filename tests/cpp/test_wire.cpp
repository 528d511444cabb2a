#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>

#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/message.hpp"
#include "records/reader.hpp"
#include "records/role.hpp"
#include "records/user.hpp"
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

// Every class's keys lead back to their own field in one pass (no two
// fields share a key), and a key of no field leads nowhere.
template <class Desc>
void expect_index_finds_each_key() {
  const KeyIndex<Desc>& index = KeyIndex<Desc>::get();
  ASSERT_TRUE(index.usable());
  for (std::size_t i = 0; i < std::size(Desc::fields); ++i) {
    for (const Key* key : {&Keys<Desc>::key[i], &Keys<Desc>::own[i]}) {
      const bool own = key == &Keys<Desc>::own[i];
      if (own && Desc::fields[i].wire != Wire::NestedId) continue;
      const auto* slot = index.find(key->head, key->text);
      ASSERT_NE(slot, nullptr) << key->text;
      EXPECT_EQ(slot->field, i) << key->text;
      EXPECT_EQ(slot->own, own) << key->text;
    }
  }
  for (const std::string_view stray : {"", "i", "ids", "username_", "premium_since_x", "avatar_decoration_data"}) {
    const Key k(stray);
    EXPECT_EQ(index.find(k.head, k.text), nullptr) << stray;
  }
}

TEST(KeyIndex, EachClassFindsItsKeysAndNoOther) {
  expect_index_finds_each_key<UserDesc>();
  expect_index_finds_each_key<MemberDesc>();
  expect_index_finds_each_key<RoleDesc>();
  expect_index_finds_each_key<EmojiDesc>();
  expect_index_finds_each_key<MessageDesc>();
  expect_index_finds_each_key<GuildDesc>();
}

}  // namespace
}  // namespace tarnwick::wire
