#include "core/group.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace tarnwick {
namespace {

using Ctrl = std::array<std::uint8_t, kGroupWidth>;

std::vector<unsigned> positions(BitMask m) {
  std::vector<unsigned> out;
  for (unsigned i : m) out.push_back(i);
  return out;
}

// Straightforward byte-by-byte answers to hold both groups against.
template <class Pred>
std::uint32_t reference_mask(const Ctrl& c, Pred pred) {
  std::uint32_t bits = 0;
  for (unsigned i = 0; i < kGroupWidth; ++i) bits |= std::uint32_t{pred(c[i])} << i;
  return bits;
}

template <class G>
class GroupTest : public testing::Test {};

#ifdef __SSE2__
using GroupTypes = testing::Types<GroupPortable, GroupSse2>;
#else
using GroupTypes = testing::Types<GroupPortable>;
#endif
TYPED_TEST_SUITE(GroupTest, GroupTypes);

TYPED_TEST(GroupTest, MatchFindsEveryByteEqualToTheTag) {
  Ctrl c;
  c.fill(kCtrlEmpty);
  c[0] = 0x11;
  c[5] = 0x11;
  c[15] = 0x11;
  c[7] = 0x12;
  const TypeParam g(c.data());
  EXPECT_EQ(positions(g.match(0x11)), (std::vector<unsigned>{0, 5, 15}));
  EXPECT_EQ(positions(g.match(0x12)), (std::vector<unsigned>{7}));
  EXPECT_FALSE(g.match(0x13));
}

TYPED_TEST(GroupTest, TagsAtTheEdgesOfTheRange) {
  Ctrl c;
  c.fill(0x7F);
  c[3] = 0x00;
  c[12] = 0x00;
  const TypeParam g(c.data());
  EXPECT_EQ(positions(g.match(0x00)), (std::vector<unsigned>{3, 12}));
  EXPECT_EQ(g.match(0x7F).bits(), 0xFFFFu & ~((1u << 3) | (1u << 12)));
  EXPECT_FALSE(g.match_empty());
  EXPECT_FALSE(g.match_empty_or_deleted());
}

TYPED_TEST(GroupTest, NoFalseMatchAboveAMatchingByte) {
  // A byte that differs from the tag only in bit 0, directly above a match,
  // is where borrow-based zero-byte tricks misfire.
  Ctrl c;
  c.fill(kCtrlEmpty);
  c[0] = 0x05;
  c[1] = 0x04;
  c[8] = 0x05;
  c[9] = 0x04;
  const TypeParam g(c.data());
  EXPECT_EQ(positions(g.match(0x05)), (std::vector<unsigned>{0, 8}));
  EXPECT_EQ(positions(g.match(0x04)), (std::vector<unsigned>{1, 9}));
}

TYPED_TEST(GroupTest, EmptyAndDeletedAreToldApart) {
  Ctrl c;
  c.fill(0x22);
  c[2] = kCtrlEmpty;
  c[9] = kCtrlDeleted;
  c[14] = kCtrlEmpty;
  const TypeParam g(c.data());
  EXPECT_EQ(positions(g.match_empty()), (std::vector<unsigned>{2, 14}));
  EXPECT_EQ(positions(g.match_empty_or_deleted()), (std::vector<unsigned>{2, 9, 14}));
  EXPECT_EQ(g.match_empty().lowest(), 2u);
}

TYPED_TEST(GroupTest, AllEmptyGroup) {
  Ctrl c;
  c.fill(kCtrlEmpty);
  const TypeParam g(c.data());
  EXPECT_EQ(g.match_empty().bits(), 0xFFFFu);
  EXPECT_EQ(g.match_empty_or_deleted().bits(), 0xFFFFu);
  EXPECT_FALSE(g.match(0x00));
}

TYPED_TEST(GroupTest, LoadsFromAnyAlignment) {
  std::array<std::uint8_t, 40> raw;
  raw.fill(kCtrlEmpty);
  raw[3 + 4] = 0x33;
  const TypeParam g(raw.data() + 3);
  EXPECT_EQ(positions(g.match(0x33)), (std::vector<unsigned>{4}));
}

TYPED_TEST(GroupTest, AgreesWithByteByByteAnswersOnRandomControlBytes) {
  std::mt19937 rng(7);
  // Mostly a few tags close together, so equal and off-by-one bytes abound.
  const std::uint8_t alphabet[] = {0x00, 0x01, 0x02, 0x03, 0x7E, 0x7F, kCtrlDeleted,
                                   kCtrlEmpty, 0x40, 0x41};
  for (int round = 0; round < 20000; ++round) {
    Ctrl c;
    for (auto& b : c) b = alphabet[rng() % std::size(alphabet)];
    const TypeParam g(c.data());
    const std::uint8_t tag = static_cast<std::uint8_t>(rng() % 0x80);
    ASSERT_EQ(g.match(tag).bits(), reference_mask(c, [&](std::uint8_t b) { return b == tag; }));
    ASSERT_EQ(g.match_empty().bits(),
              reference_mask(c, [](std::uint8_t b) { return b == kCtrlEmpty; }));
    ASSERT_EQ(g.match_empty_or_deleted().bits(),
              reference_mask(c, [](std::uint8_t b) { return b >= 0x80; }));
  }
}

TEST(BitMask, IteratesLowestFirstAndStops) {
  EXPECT_EQ(positions(BitMask(0b1000'0000'0010'1001u)), (std::vector<unsigned>{0, 3, 5, 15}));
  EXPECT_TRUE(positions(BitMask(0)).empty());
  EXPECT_FALSE(BitMask(0));
  EXPECT_EQ(BitMask(0b1100u).lowest(), 2u);
}

TEST(TagOf, IsTheTopSevenBits) {
  EXPECT_EQ(tag_of(0xFE00'0000'0000'0000ULL), 0x7F);
  EXPECT_EQ(tag_of(0x01FF'FFFF'FFFF'FFFFULL), 0x00);
  EXPECT_EQ(tag_of(0x0200'0000'0000'0000ULL), 0x01);
}

}  // namespace
}  // namespace tarnwick
