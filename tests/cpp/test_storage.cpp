// Record storage: layouts derived from the field tables, and the blob.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
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
#include "records/timestamp.hpp"
#include "records/record.hpp"
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
  if (L.presence_offset >= 0) spans.emplace_back(L.presence_offset, L.presence_width);
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
  }
  for (std::size_t i = 0; i < R::N; ++i) {
    const FieldSpec& f = TypeParam::fields[i];
    if (f.fill == Fill::Absent) {
      EXPECT_TRUE(bits.insert(L.slots[i].presence).second) << f.name;
      EXPECT_LT(L.slots[i].presence, static_cast<int>(8 * L.presence_width)) << f.name;
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
  EXPECT_EQ(sizeof(FlatTable<Record<MemberDesc>>::Slot), sizeof(Record<MemberDesc>));
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

// Builds a blob from payloads, one per field, in order.
Blob blob_of(const std::vector<std::string>& payloads) {
  BlobBuilder b;
  for (const std::string& p : payloads) {
    b.append(p.data(), p.size());
    b.end_field();
  }
  return b.seal();
}

// Every offset width: short blocks take 1-byte offsets, longer ones 2, 4.
class BlobShapes : public testing::TestWithParam<std::size_t> {};

TEST_P(BlobShapes, EveryFieldReadsBackAndACopyIsDeep) {
  const std::string with_nul("a\0b", 3);
  const std::string big(GetParam(), 'x');
  const std::vector<std::string> payloads = {"", with_nul, big, "", "tail"};
  Blob blob = blob_of(payloads);
  const std::size_t n = payloads.size();
  for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(blob.field(k, n).text(), payloads[k]) << k;
  const std::size_t payload = 3 + big.size() + 4;
  EXPECT_EQ(blob.size(n), varint_size(payload) + (n - 1) * offset_width(payload) + payload);

  Blob copy = blob.clone(n);
  EXPECT_EQ(copy.size(n), blob.size(n));
  EXPECT_NE(copy.field(2, n).data, blob.field(2, n).data);
  blob = Blob();  // the copy must not depend on its source
  EXPECT_EQ(copy.field(2, n).text(), big);
}

INSTANTIATE_TEST_SUITE_P(Widths, BlobShapes, testing::Values(0, 100, 300, 70000));

TEST(Blob, ListsReadBackItemByItem) {
  BlobBuilder b;
  b.append_u64(0), b.append_u64(~0ull), b.append_u64(0), b.end_field();
  for (std::string_view s : {"", "abc", ""}) b.append_varint(s.size()), b.append(s.data(), s.size());
  b.end_field();
  Blob blob = b.seal();
  VarView ids = blob.field(0, 2);
  ASSERT_EQ(ids.u64_count(), 3u);
  EXPECT_EQ(ids.u64_at(1), ~0ull);
  EXPECT_EQ(texts_of(blob.field(1, 2)), (std::vector<std::string>{"", "abc", ""}));
}

TEST(Blob, EmptyFieldsAllocateNothing) {
  BlobBuilder b;
  b.end_field();
  b.end_field();
  EXPECT_EQ(b.sealed_size(), 0u);
  Blob blob = b.seal();
  EXPECT_EQ(blob.size(2), 0u);
  EXPECT_EQ(blob.field(1, 2).size, 0u);
}

TEST(Blob, ABorrowedBlockIsNotFreedAndItsCopyOwnsOne) {
  BlobBuilder b;
  b.append("nick", 4), b.end_field();
  b.end_field();
  alignas(8) unsigned char block[64];
  ASSERT_LE(b.sealed_size(), sizeof block);
  b.seal_to(block);
  Blob copy;
  {
    const Blob borrowed = Blob::borrowing(block);  // its destructor must not free
    EXPECT_EQ(borrowed.block(), block);
    EXPECT_EQ(borrowed.field(0, 2).text(), "nick");
    copy = borrowed.clone(2);
  }
  std::memset(block, 0, sizeof block);
  EXPECT_EQ(copy.field(0, 2).text(), "nick");
}

TEST(Record, MemberCopyIsIndependent) {
  Scalars<MemberDesc> sc;
  sc.store<std::uint64_t>(0, 42);
  sc.set_present(1);  // nick: present; avatar (2): absent
  BlobBuilder b;
  b.append("nick", 4), b.end_field();  // nick
  b.end_field();                       // avatar
  b.append_u64(7), b.end_field();      // roles
  b.end_field(), b.end_field(), b.end_field();
  auto original = std::make_unique<Record<MemberDesc>>(sc, b.seal());
  Record<MemberDesc> copy(*original);
  original.reset();
  EXPECT_EQ(copy.key(), 42u);
  EXPECT_TRUE(copy.present(1));
  EXPECT_EQ(copy.var(1).text(), "nick");
  EXPECT_FALSE(copy.present(2));
  EXPECT_EQ(copy.var(3).u64_at(0), 7u);
}

TEST(Record, GuildCopySharesCollectionsThatStayIndependent) {
  Scalars<GuildDesc> sc;
  sc.store<std::uint64_t>(0, 1);
  Record<GuildDesc> guild(sc, Blob());
  Scalars<MemberDesc> msc;
  msc.store<std::uint64_t>(0, 9);
  guild.extra().members.insert(9, Record<MemberDesc>(msc, Blob()));

  Record<GuildDesc> snapshot(guild);
  msc.store<std::uint64_t>(0, 10);
  guild.extra().members.insert(10, Record<MemberDesc>(msc, Blob()));
  EXPECT_TRUE(snapshot.extra().members.get(9));
  EXPECT_FALSE(snapshot.extra().members.get(10));
  EXPECT_TRUE(guild.extra().members.get(10));
}

TEST(Timestamp, IsoTextsReadAsMicrosecondsAndOthersAsNothing) {
  const std::int64_t noon = 1714564800000000;  // 2024-05-01T12:00:00Z
  EXPECT_EQ(iso_time_us("2024-05-01T12:00:00+00:00"), noon);
  EXPECT_EQ(iso_time_us("2024-05-01T14:00:00.512001+02:00"), noon + 512001);
  EXPECT_EQ(iso_time_us("2024-05-01T11:30:00.5Z"), noon - 1'800'000'000 + 500'000);
  EXPECT_EQ(iso_time_us("1969-12-31T23:59:59-00:00"), -1'000'000);
  for (const char* bad : {"", "2024-05-01", "2024-05-01T12:00:00", "2024-13-01T12:00:00Z", "2024-05-01T24:00:00Z",
                          "2024-05-01T12:00:00.Z", "2024-05-01T12:00:00+0200", "2024-05-01T12:00:00Zx"}) {
    EXPECT_EQ(iso_time_us(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(id_time_us(std::uint64_t{1714564800000 - kIdEpochMs} << 22 | 0x3FFFFF), noon);
}

}  // namespace
}  // namespace tarnwick
