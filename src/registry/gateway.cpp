#include "registry/gateway.hpp"

#include <cstdint>

#include "records/json_source.hpp"
#include "records/timestamp.hpp"

namespace tarnwick::wire {

bool later_edit(std::optional<std::string_view> a, std::optional<std::string_view> b) {
  if (!a) return false;
  if (!b) return true;
  const std::optional<std::int64_t> ta = iso_time_us(*a), tb = iso_time_us(*b);
  if (ta && tb) return *ta > *tb;
  return *a > *b;
}

template class Gateway<JsonSource>;

}  // namespace tarnwick::wire
