// libFuzzer target: random operation sequences on a sharded map of records,
// checked against std::map.  Exercises growth, replacement, copies, guards
// and the record blob (deep copies, absent vs empty fields) under ASan/UBSan.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "records/member.hpp"
#include "core/sharded_map.hpp"

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
  BlobBuilder b;
  if (m.has_nick) {
    b.begin(), b.append(m.nick.data(), m.nick.size()), b.end(true);
  } else {
    b.null_field();
  }
  b.null_field();  // avatar
  b.begin();
  for (std::uint64_t r : m.roles) b.append_u64(r);
  b.end(false);
  for (int i = 0; i < 3; ++i) b.null_field();
  return MemberRecord(sc, b.seal());
}

void check(const MemberRecord& r, std::uint64_t key, const Model& m) {
  VarView nick = r.var(1), roles = r.var(3);
  bool ok = r.key() == key && nick.present == m.has_nick && (!m.has_nick || nick.text() == m.nick) &&
            roles.u64_count() == m.roles.size() && !r.var(2).present;
  for (std::size_t i = 0; ok && i < m.roles.size(); ++i) ok = roles.u64_at(i) == m.roles[i];
  if (!ok) __builtin_trap();
}

void check_all(const ShardedMap<MemberRecord>& map, const std::map<std::uint64_t, Model>& model) {
  for (const auto& [k, m] : model) {
    auto guard = map.get(k);
    if (!guard) __builtin_trap();
    check(guard.value(), k, m);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  ShardedMap<MemberRecord> map;
  std::map<std::uint64_t, Model> model;
  std::vector<std::pair<ShardedMap<MemberRecord>, std::map<std::uint64_t, Model>>> copies;
  while (!in.empty()) {
    switch (in.byte() % 4) {
      case 0:
      case 1: {  // insert or replace
        const std::uint64_t k = in.key();
        Model m;
        m.has_nick = in.byte() & 1;
        m.nick.assign(in.byte() % 300, static_cast<char>('a' + in.byte() % 26));
        for (int n = in.byte() % 5; n > 0; --n) m.roles.push_back(in.key());
        auto old = map.insert(k, make(k, m));
        if (old.has_value() != model.count(k)) __builtin_trap();
        if (old) check(*old, k, model[k]);
        model[k] = m;
        break;
      }
      case 2: {  // lookup, present or not
        const std::uint64_t k = in.key();
        auto guard = map.get(k);
        auto it = model.find(k);
        if (static_cast<bool>(guard) != (it != model.end())) __builtin_trap();
        if (guard) check(guard.value(), k, it->second);
        break;
      }
      case 3:  // snapshot; later changes must not reach it
        if (copies.size() < 4) copies.emplace_back(map.copy(), model);
        break;
    }
  }
  check_all(map, model);
  for (auto& [copy, snapshot] : copies) check_all(copy, snapshot);
  for (std::size_t i = 0; i < map.shard_count(); ++i) {
    if (map.lock_word(i) != 0) __builtin_trap();
  }
  return 0;
}
