#include "core/casefold.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "core/casefold_data.hpp"

namespace tarnwick {
namespace {

// A byte that does not start a well-formed UTF-8 sequence stands for
// itself, as this pseudo code point past the last real one.
constexpr char32_t kRawByte = 0x110000;

char32_t decode(const unsigned char* p, const unsigned char* end, std::size_t* len) noexcept {
  const unsigned b = p[0];
  std::size_t n;
  char32_t cp, least;
  if (b < 0x80) {
    *len = 1;
    return b;
  } else if (b >= 0xC2 && b < 0xE0) {
    n = 2, cp = b & 0x1F, least = 0x80;
  } else if (b >= 0xE0 && b < 0xF0) {
    n = 3, cp = b & 0x0F, least = 0x800;
  } else if (b >= 0xF0 && b < 0xF5) {
    n = 4, cp = b & 0x07, least = 0x10000;
  } else {
    n = 0, cp = 0, least = 0;
  }
  if (n == 0 || static_cast<std::size_t>(end - p) < n) {
    *len = 1;
    return kRawByte + b;
  }
  for (std::size_t i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) {
      *len = 1;
      return kRawByte + b;
    }
    cp = (cp << 6) | (p[i] & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)) {
    *len = 1;
    return kRawByte + b;
  }
  *len = n;
  return cp;
}

std::size_t encode(char32_t cp, char* out) noexcept {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp >= kRawByte) {
    out[0] = static_cast<char>(cp - kRawByte);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// The folding of one code point into out[0..3); returns how many.
std::size_t fold(char32_t cp, char32_t* out) noexcept {
  using namespace casefold_data;
  if (cp < 0x80) {
    out[0] = cp >= 'A' && cp <= 'Z' ? cp + 32 : cp;
    return 1;
  }
  const Run* run = std::upper_bound(std::begin(kRuns), std::end(kRuns), cp,
                                    [](char32_t c, const Run& r) { return c < r.first; });
  if (run != std::begin(kRuns)) {
    --run;
    if (cp <= run->last && (cp - run->first) % run->stride == 0) {
      out[0] = static_cast<char32_t>(static_cast<std::int64_t>(cp) + run->delta);
      return 1;
    }
  }
  const Expansion* e = std::lower_bound(std::begin(kExpansions), std::end(kExpansions), cp,
                                        [](const Expansion& x, char32_t c) { return x.from < c; });
  if (e != std::end(kExpansions) && e->from == cp) {
    std::size_t n = 0;
    while (n < 3 && e->to[n] != 0) {
      out[n] = e->to[n];
      ++n;
    }
    return n;
  }
  out[0] = cp;
  return 1;
}

// Eight bytes of ASCII with A-Z lowered, or false if any is not ASCII.
bool lower_ascii8(const unsigned char* p, std::uint64_t* out) noexcept {
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  if ((x & kHigh) != 0) return false;
  // Per byte, without carries between them: the high bit of x + (0x80 - 'A')
  // says b >= 'A', that of x + (0x80 - 'Z' - 1) says b > 'Z'.
  const std::uint64_t upper = ((x + 0x3F3F3F3F3F3F3F3FULL) ^ (x + 0x2525252525252525ULL)) & kHigh;
  *out = x | (upper >> 2);
  return true;
}

}  // namespace

void casefold_append(std::string_view text, Text& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    std::size_t len;
    char32_t folded[3];
    const std::size_t n = fold(decode(p, end, &len), folded);
    p += len;
    for (std::size_t i = 0; i < n; ++i) {
      char bytes[4];
      out.append(bytes, encode(folded[i], bytes));
    }
  }
}

FoldMatch fold_match(std::string_view text, std::string_view folded) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  std::size_t at = 0;  // how much of `folded` matched so far
  while (p < end) {
    // Eight ASCII bytes at a time while both sides have as many.
    std::uint64_t lowered, want;
    if (end - p >= 8 && folded.size() - at >= 8 && lower_ascii8(p, &lowered)) {
      std::memcpy(&want, folded.data() + at, 8);
      if (lowered != want) return FoldMatch::None;  // an ASCII letter folds to one byte
      p += 8, at += 8;
      continue;
    }
    if (*p < 0x80) {  // most names are ASCII: no decoding, no table
      if (at == folded.size()) return FoldMatch::Prefix;
      const char c = static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p + 32 : *p);
      if (folded[at] != c) return FoldMatch::None;
      ++at, ++p;
      continue;
    }
    std::size_t len;
    char32_t cps[3];
    const std::size_t n = fold(decode(p, end, &len), cps);
    p += len;
    for (std::size_t i = 0; i < n; ++i) {
      if (at == folded.size()) return FoldMatch::Prefix;
      char bytes[4];
      const std::size_t k = encode(cps[i], bytes);
      if (folded.size() - at < k || std::memcmp(folded.data() + at, bytes, k) != 0) return FoldMatch::None;
      at += k;
    }
  }
  return at == folded.size() ? FoldMatch::Equal : FoldMatch::None;
}

}  // namespace tarnwick
