// Weights: what the values of a map hold beyond their slots, summed per
// shard (or per map) as values come and go, so that counting what a map
// holds costs nothing.  A value type weighs something if it has weight(),
// returning a type with += and -= (a record: its heap bytes; a guild: its
// collections too); any other type weighs an empty Weight<V>, whose sums
// cost nothing.
#pragma once

#include <utility>

namespace tarnwick {

template <class V>
concept Weighed = requires(const V& v) { v.weight(); };

// Nothing, summed.
struct NoWeight {
  NoWeight& operator+=(const NoWeight&) noexcept { return *this; }
  NoWeight& operator-=(const NoWeight&) noexcept { return *this; }
};

template <class V>
struct WeightOf {
  using type = NoWeight;
  static NoWeight of(const V&) noexcept { return {}; }
};

template <Weighed V>
struct WeightOf<V> {
  using type = decltype(std::declval<const V&>().weight());
  static type of(const V& v) { return v.weight(); }
};

template <class V>
using Weight_t = typename WeightOf<V>::type;

template <class V>
Weight_t<V> weight_of(const V& v) {
  return WeightOf<V>::of(v);
}

}  // namespace tarnwick
