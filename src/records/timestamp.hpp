// The platform's times: ISO 8601 texts ("2024-05-02T09:30:00.123000+00:00")
// and the time an id was made, its top 42 bits.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwick {

// Milliseconds since the Unix epoch of the platform's first second.
inline constexpr std::int64_t kIdEpochMs = 1420070400000;

inline std::int64_t id_time_ms(std::uint64_t id) noexcept { return static_cast<std::int64_t>(id >> 22) + kIdEpochMs; }

// Milliseconds since the Unix epoch of "YYYY-MM-DDTHH:MM:SS[.fraction]"
// with "Z" or a "+HH:MM"/"-HH:MM" offset; nothing for any other text.
inline std::optional<std::int64_t> iso_time_ms(std::string_view s) noexcept {
  std::size_t at = 0;
  const auto digits = [&](std::size_t n, int* out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = s[at + i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    at += n;
    *out = v;
    return true;
  };
  const auto sep = [&](char c) { return at < s.size() && s[at++] == c; };
  int year, month, day, hour, minute, second;
  if (!digits(4, &year) || !sep('-') || !digits(2, &month) || !sep('-') || !digits(2, &day)) return std::nullopt;
  if (at == s.size() || (s[at] != 'T' && s[at] != 't' && s[at] != ' ')) return std::nullopt;
  ++at;
  if (!digits(2, &hour) || !sep(':') || !digits(2, &minute) || !sep(':') || !digits(2, &second)) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  std::int64_t ms = 0;
  if (at < s.size() && s[at] == '.') {
    ++at;
    int scale = 100, d;
    const std::size_t first = at;
    while (at < s.size() && s[at] >= '0' && s[at] <= '9') {
      digits(1, &d);
      ms += d * scale;
      scale /= 10;
    }
    if (at == first) return std::nullopt;
  }
  std::int64_t offset_min = 0;
  if (at < s.size() && (s[at] == 'Z' || s[at] == 'z')) {
    ++at;
  } else if (at < s.size() && (s[at] == '+' || s[at] == '-')) {
    const int sign = s[at++] == '-' ? -1 : 1;
    int oh, om;
    if (!digits(2, &oh) || !sep(':') || !digits(2, &om) || oh > 23 || om > 59) return std::nullopt;
    offset_min = sign * (oh * 60 + om);
  } else {
    return std::nullopt;
  }
  if (at != s.size()) return std::nullopt;
  const std::int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
  const std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second - offset_min * 60;
  return seconds * 1000 + ms;
}

}  // namespace tarnwick
