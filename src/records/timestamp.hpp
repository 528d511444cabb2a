// The platform's times: ISO 8601 texts ("2024-05-02T09:30:00.123000+00:00")
// and the time an id was made (its top 42 bits).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

// Milliseconds since the Unix epoch of the platform's first second.
inline constexpr std::int64_t kIdEpochMs = 1420070400000;

// When the id was made, in microseconds since 1970 UTC.
inline std::int64_t id_time_us(std::uint64_t id) noexcept {
  return (static_cast<std::int64_t>(id >> 22) + kIdEpochMs) * 1000;
}

// An ISO 8601 time ("2024-05-02T09:30:00.123456+00:00", offset or Z) as
// microseconds since 1970 UTC, or nothing when it is not one.
inline std::optional<std::int64_t> iso_time_us(std::string_view s) noexcept {
  std::size_t i = 0;
  const auto digits = [&](std::size_t n, int* out) {
    if (i + n > s.size()) return false;
    int v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      const char c = s[i + k];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    *out = v;
    i += n;
    return true;
  };
  const auto sep = [&](char c) {
    if (i >= s.size() || s[i] != c) return false;
    ++i;
    return true;
  };
  int y, mo, d, h, mi, sec = 0;
  if (!digits(4, &y) || !sep('-') || !digits(2, &mo) || !sep('-') || !digits(2, &d)) return std::nullopt;
  if (i >= s.size() || (s[i] != 'T' && s[i] != ' ')) return std::nullopt;
  ++i;
  if (!digits(2, &h) || !sep(':') || !digits(2, &mi)) return std::nullopt;
  std::int64_t micros = 0;
  if (sep(':')) {
    if (!digits(2, &sec)) return std::nullopt;
    if (sep('.')) {
      std::size_t n = 0;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (n < 6) micros = micros * 10 + (s[i] - '0');
        ++n, ++i;
      }
      if (n == 0) return std::nullopt;
      for (; n < 6; ++n) micros *= 10;
    }
  }
  int offset = 0;
  if (i == s.size()) return std::nullopt;  // no offset: a naive time does not compare with an aware one
  if (s[i] == 'Z') {
    ++i;
  } else if (s[i] == '+' || s[i] == '-') {
    const int sign = s[i] == '-' ? -1 : 1;
    ++i;
    int oh, om;
    if (!digits(2, &oh) || !sep(':') || !digits(2, &om)) return std::nullopt;
    offset = sign * (oh * 60 + om);
  } else {
    return std::nullopt;
  }
  if (i != s.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 59) return std::nullopt;
  // Days since 1970 from the civil date (the proleptic Gregorian calendar).
  const int yy = y - (mo <= 2);
  const int era = yy / 400;
  const int yoe = yy - era * 400;
  const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  const std::int64_t seconds = days * 86400 + h * 3600 + mi * 60 + sec - offset * 60;
  return seconds * 1'000'000 + micros;
}

}  // namespace tarnwick
