// libFuzzer target: random operation sequences on a sharded map of records
// and on copy-on-write maps copied from one another, each checked against a
// std::map.  Exercises growth, replacement, removal (deleted bytes and
// in-place rehash), shared and unshared shards, guards and the record blob
// (deep copies, absent vs empty fields) under ASan/UBSan.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/cow_map.hpp"
#include "core/sharded_map.hpp"
#include "records/member.hpp"

using namespace tarnwick;

namespace {

struct Model {
  std::string nick;
  bool has_nick;
  std::vector<std::uint64_t> roles;
};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
  bool empty() const { return p_ == end_; }
  std::uint8_t byte() { return empty() ? 0 : *p_++; }
  std::uint64_t key() {
    // Few distinct keys, so replacements are common; sometimes any key.
    if (byte() & 1) return byte() % 40;
    std::uint64_t k = 0;
    for (int i = 0; i < 8; ++i) k = k << 8 | byte();
    return k;
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

MemberRecord make(std::uint64_t key, const Model& m) {
  Scalars<MemberDesc> sc;
  sc.store<std::uint64_t>(0, key);
  if (m.has_nick) sc.set_present(1);
  BlobBuilder b;
  b.append(m.nick.data(), m.nick.size());
  b.end_field();  // nick
  b.end_field();  // avatar
  for (std::uint64_t r : m.roles) b.append_u64(r);
  b.end_field();
  for (int i = 0; i < 3; ++i) b.end_field();
  return MemberRecord(sc, b.seal());
}

void check(const MemberRecord& r, std::uint64_t key, const Model& m) {
  VarView nick = r.var(1), roles = r.var(3);
  bool ok = r.key() == key && r.present(1) == m.has_nick && nick.text() == m.nick &&
            roles.u64_count() == m.roles.size() && !r.present(2);
  for (std::size_t i = 0; ok && i < m.roles.size(); ++i) ok = roles.u64_at(i) == m.roles[i];
  if (!ok) __builtin_trap();
}

template <class Map>
void check_all(const Map& map, const std::map<std::uint64_t, Model>& model) {
  std::size_t n = 0;
  map.for_each([&](std::uint64_t k, const MemberRecord& r) {
    auto it = model.find(k);
    if (it == model.end()) __builtin_trap();
    check(r, k, it->second);
    ++n;
  });
  if (n != model.size() || map.size() != model.size()) __builtin_trap();
}

Model draw(Input& in) {
  Model m;
  m.has_nick = in.byte() & 1;
  if (m.has_nick) m.nick.assign(in.byte() % 300, static_cast<char>('a' + in.byte() % 26));
  for (int n = in.byte() % 5; n > 0; --n) m.roles.push_back(in.key());
  return m;
}

using Models = std::map<std::uint64_t, Model>;

// One operation on a map and its model; false when the byte asks for none.
template <class Map>
bool step(Input& in, std::uint8_t op, Map& map, Models& model) {
  const std::uint64_t k = in.key();
  switch (op) {
    case 0: {  // insert or replace
      const Model m = draw(in);
      auto old = map.insert(k, make(k, m));
      if (old.has_value() != (model.count(k) == 1)) __builtin_trap();
      if (old) check(*old, k, model[k]);
      model[k] = m;
      return true;
    }
    case 1: {  // remove, present or not
      auto old = map.erase(k);
      if (old.has_value() != (model.count(k) == 1)) __builtin_trap();
      if (old) check(*old, k, model[k]);
      model.erase(k);
      return true;
    }
    case 2: {  // lookup, present or not
      auto guard = map.get(k);
      auto it = model.find(k);
      if (static_cast<bool>(guard) != (it != model.end())) __builtin_trap();
      if (guard) check(guard.value(), k, it->second);
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ShardedMap<MemberRecord> map;
  Models model;
  std::vector<CowMap<MemberRecord>> cows(1);
  std::vector<Models> cow_models(1);
  while (!in.empty()) {
    const std::uint8_t op = in.byte();
    if (op & 0x80) {  // the copy-on-write maps
      const std::size_t i = in.byte() % cows.size();
      if (op % 32 == 4) {  // now and then a burst of keys, enough to split tables
        const std::uint64_t base = in.key() << 11;
        const Model m = draw(in);
        for (std::uint64_t k = base; k < base + 1000; ++k) {
          cows[i].insert(k, make(k, m));
          cow_models[i][k] = m;
        }
      } else if (!step(in, op % 5, cows[i], cow_models[i]) && cows.size() < 6) {
        cows.reserve(cows.size() + 1);  // the source must not move while it is copied
        cows.emplace_back(cows[i]);
        cow_models.push_back(cow_models[i]);
      }
    } else if (op % 4 == 3) {  // take out every key of one residue class
      const std::uint64_t mod = in.byte() % 7 + 1, rem = in.byte() % mod;
      decltype(map)::Removed out;
      map.erase_if([&](std::uint64_t k, const MemberRecord&) { return k % mod == rem; }, out);
      out.each([&](const MemberRecord& r) {
        auto it = model.find(r.key());
        if (it == model.end() || r.key() % mod != rem) __builtin_trap();
        check(r, r.key(), it->second);
        model.erase(it);
      });
      for (const auto& [k, m] : model) {
        if (k % mod == rem) __builtin_trap();
      }
    } else if (!step(in, op % 4, map, model)) {
      __builtin_trap();
    }
  }
  check_all(map, model);
  for (std::size_t i = 0; i < cows.size(); ++i) check_all(cows[i], cow_models[i]);
  for (std::size_t i = 0; i < map.shard_count(); ++i) {
    if (map.lock_word(i) != 0) __builtin_trap();
  }
  return 0;
}
