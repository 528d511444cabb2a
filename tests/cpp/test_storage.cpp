// Record storage: layouts derived from the field tables, and the blob.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "records/emoji.hpp"
#include "records/guild.hpp"
#include "records/member.hpp"
#include "records/message.hpp"
#include "records/role.hpp"
#include "records/storage.hpp"
#include "records/user.hpp"

namespace tarnwick {
namespace {

template <class Desc>
class LayoutTest : public ::testing::Test {};

using Descs = ::testing::Types<UserDesc, MemberDesc, GuildDesc, RoleDesc, EmojiDesc, MessageDesc>;
TYPED_TEST_SUITE(LayoutTest, Descs);

TYPED_TEST(LayoutTest, ScalarsAreDisjointAlignedAndInBounds) {
  using R = Record<TypeParam>;
  const auto& L = R::layout;
  std::vector<std::pair<std::size_t, std::size_t>> spans;
  if (L.presence_offset >= 0) spans.emplace_back(L.presence_offset, 4);
  std::set<int> bits;
  std::size_t var = 0;
  for (std::size_t i = 0; i < R::N; ++i) {
    const FieldSpec& f = TypeParam::fields[i];
    if (is_var(f.kind)) {
      EXPECT_EQ(L.slots[i].var, var++) << f.name;  // var fields keep table order
      continue;
    }
    const std::size_t w = scalar_width(f.kind);
    EXPECT_EQ(L.slots[i].offset % w, 0u) << f.name;
    spans.emplace_back(L.slots[i].offset, w);
    if (f.fill == Fill::Absent) {
      EXPECT_TRUE(bits.insert(L.slots[i].presence).second) << f.name;
    }
  }
  EXPECT_EQ(var, L.var_count);
  for (std::size_t a = 0; a < spans.size(); ++a) {
    EXPECT_LE(spans[a].first + spans[a].second, L.scalar_bytes);
    for (std::size_t b = a + 1; b < spans.size(); ++b) {
      const bool apart = spans[a].first + spans[a].second <= spans[b].first ||
                         spans[b].first + spans[b].second <= spans[a].first;
      EXPECT_TRUE(apart) << a << " overlaps " << b;
    }
  }
}

TEST(Layout, RequiredCountsAndCompactness) {
  EXPECT_EQ(Record<UserDesc>::layout.required, 2u);
  EXPECT_EQ(Record<GuildDesc>::layout.required, 2u);
  EXPECT_EQ(Record<MemberDesc>::layout.required, 1u);
  EXPECT_EQ(Record<RoleDesc>::layout.required, 4u);
  EXPECT_EQ(Record<EmojiDesc>::layout.required, 1u);
  EXPECT_EQ(Record<MessageDesc>::layout.required, 5u);
  // Records are stored by value in every map slot: keep them small.
  EXPECT_LE(sizeof(Record<MemberDesc>), 32u);
  // A record carries its key, so a table slot holds the record alone.
  EXPECT_EQ(sizeof(ShardTable<Record<MemberDesc>>::Slot), sizeof(Record<MemberDesc>));
  EXPECT_LE(sizeof(Record<UserDesc>), 40u);
}

TEST(Varint, RoundTripsBoundaries) {
  for (std::uint64_t v : {0ull, 1ull, 127ull, 128ull, 16383ull, 16384ull, 1ull << 32, ~0ull}) {
    unsigned char buf[10];
    unsigned char* end = put_varint(buf, v);
    EXPECT_EQ(static_cast<std::size_t>(end - buf), varint_size(v));
    std::uint64_t back = 0;
    EXPECT_EQ(get_varint(buf, &back), end);
    EXPECT_EQ(back, v);
  }
}

std::vector<std::string> texts_of(const VarView& v) {
  std::vector<std::string> out;
  std::string_view s;
  for (TextListCursor c(v); c.next(&s);) out.emplace_back(s);
  return out;
}

TEST(Blob, EncodesEveryStateAndCopiesDeeply) {
  const std::string with_nul("a\0b", 3);
  const std::string long_text(300, 'x');  // multi-byte length, past the inline buffer
  BlobBuilder b;
  b.null_field();                          // 0: absent
  b.begin(), b.end(true);                  // 1: present but empty
  b.begin(), b.append(with_nul.data(), with_nul.size()), b.end(true);
  b.begin(), b.append(long_text.data(), long_text.size()), b.end(false);
  b.begin(), b.append_u64(0), b.append_u64(~0ull), b.append_u64(0), b.end(false);
  b.begin();
  for (std::string_view s : {"", "abc", ""}) b.append_varint(s.size()), b.append(s.data(), s.size());
  b.end(false);
  Blob blob = b.seal();
  const std::size_t n = 6;

  EXPECT_FALSE(blob.field(0, n).present);
  EXPECT_TRUE(blob.field(1, n).present);
  EXPECT_EQ(blob.field(1, n).size, 0u);
  EXPECT_EQ(blob.field(2, n).text(), with_nul);
  EXPECT_EQ(blob.field(3, n).text(), long_text);
  VarView ids = blob.field(4, n);
  ASSERT_EQ(ids.u64_count(), 3u);
  EXPECT_EQ(ids.u64_at(1), ~0ull);
  EXPECT_EQ(texts_of(blob.field(5, n)), (std::vector<std::string>{"", "abc", ""}));

  Blob copy = blob.clone(n);
  EXPECT_EQ(copy.size(n), blob.size(n));
  EXPECT_NE(copy.field(3, n).data, blob.field(3, n).data);
  blob = Blob();  // the copy must not depend on its source
  EXPECT_EQ(copy.field(3, n).text(), long_text);
}

TEST(Blob, EmptyOrAbsentFieldsAllocateNothing) {
  BlobBuilder b;
  b.null_field();
  b.begin(), b.end(false);  // empty non-optional text is stored as null
  Blob blob = b.seal();
  EXPECT_EQ(blob.size(2), 0u);
  EXPECT_FALSE(blob.field(0, 2).present);
  EXPECT_EQ(blob.field(1, 2).size, 0u);
}

TEST(Record, MemberCopyIsIndependent) {
  Scalars<MemberDesc> sc;
  sc.store<std::uint64_t>(0, 42);
  BlobBuilder b;
  b.begin(), b.append("nick", 4), b.end(true);  // nick
  b.null_field();                               // avatar
  b.begin(), b.append_u64(7), b.end(false);     // roles
  b.null_field(), b.null_field(), b.null_field();
  auto original = std::make_unique<Record<MemberDesc>>(sc, b.seal());
  Record<MemberDesc> copy(*original);
  original.reset();
  EXPECT_EQ(copy.key(), 42u);
  EXPECT_EQ(copy.var(1).text(), "nick");
  EXPECT_FALSE(copy.var(2).present);
  EXPECT_EQ(copy.var(3).u64_at(0), 7u);
}

TEST(Record, GuildCopyCopiesCollections) {
  Scalars<GuildDesc> sc;
  sc.store<std::uint64_t>(0, 1);
  BlobBuilder b;
  for (std::size_t i = 0; i < Record<GuildDesc>::layout.var_count; ++i) b.null_field();
  Record<GuildDesc> guild(sc, b.seal());
  Scalars<MemberDesc> msc;
  msc.store<std::uint64_t>(0, 9);
  BlobBuilder mb;
  for (std::size_t i = 0; i < Record<MemberDesc>::layout.var_count; ++i) mb.null_field();
  guild.extra().members.insert(9, Record<MemberDesc>(msc, mb.seal()));

  Record<GuildDesc> snapshot(guild);
  msc.store<std::uint64_t>(0, 10);
  guild.extra().members.insert(10, Record<MemberDesc>(msc, BlobBuilder().seal()));
  EXPECT_TRUE(snapshot.extra().members.get(9));
  EXPECT_FALSE(snapshot.extra().members.get(10));
  EXPECT_TRUE(guild.extra().members.get(10));
}

}  // namespace
}  // namespace tarnwick
