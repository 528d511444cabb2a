// Keyed hashing of 64-bit ids: every table hashes its keys with SipHash-1-3
// under a key pair of its own, so no caller can aim ids at one bucket.
//
// Each thread draws one random key pair from the OS the first time it asks
// for one; every later request gets a copy with the first key bumped, so no
// two tables of a thread hash alike.  A copy of a table keeps its source's
// keys (its buckets are bit-for-bit copies and must probe the same way).
#pragma once

#include <cstdint>

#include "core/siphash.hpp"

namespace tarnwick {

struct HashKeys {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The calling thread's key pair for a new table (then bumps its first key).
HashKeys take_map_keys();

struct KeyedHasher {
  HashKeys keys;
  std::uint64_t operator()(std::uint64_t key) const noexcept { return siphash13_u64(keys.k0, keys.k1, key); }
};

}  // namespace tarnwick
