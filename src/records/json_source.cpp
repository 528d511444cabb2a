#include "records/json_source.hpp"

#include <bit>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <unordered_map>

namespace tarnwick::wire {

namespace {

// The number of code points in valid UTF-8, and where the first n end.
std::size_t code_points(std::string_view s) noexcept {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::size_t prefix_bytes(std::string_view s, std::size_t points) noexcept {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == points) return i;
      ++seen;
    }
  }
  return s.size();
}

}  // namespace

std::string plain_repr(std::string_view s) {
  const bool single = s.find('\'') == std::string_view::npos || s.find('"') != std::string_view::npos;
  const char quote = single ? '\'' : '"';
  std::string out(1, quote);
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      out += '\\';
      out += c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (u < 0x20 || u == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += quote;
  return out;
}

namespace {

// Key::head_of, from loads of whole words: a short key's bytes copied to
// the stack and read back as one word would stall on every key.
inline std::uint64_t head_word(std::string_view key) noexcept {
  if constexpr (std::endian::native == std::endian::big) return Key::head_of(key);
  const auto* p = reinterpret_cast<const unsigned char*>(key.data());
  const std::size_t n = key.size();
  std::uint64_t head;
  if (n >= 8) {
    std::memcpy(&head, p, 8);
  } else if (n >= 4) {
    std::uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);  // overlaps lo's bytes with the same bytes
    head = lo | (std::uint64_t{hi} << (8 * (n - 4)));
  } else if (n > 0) {
    head = p[0] | (std::uint64_t{p[n / 2]} << (8 * (n / 2))) | (std::uint64_t{p[n - 1]} << (8 * (n - 1)));
  } else {
    head = 0;
  }
  return head;
}

}  // namespace

JsonSource::Object::Object(JsonSource&, const Value& v) : entries_(reinterpret_cast<Entry*>(inline_)) {
  static_assert(std::is_trivially_copyable_v<Entry>);
  Value::Fields walk = v.fields();
  std::string_view key;
  Value value;
  while (walk.next(&key, &value)) {
    if (size_ == kInline && heap_.empty()) {
      heap_.reserve(kInline * 4);
      heap_.assign(entries_, entries_ + size_);
    }
    const std::uint64_t head = head_word(key);
    bits_ |= Key::bit_of(head, key.size());
    if (!heap_.empty() || size_ >= kInline) {
      heap_.push_back({key.data(), key.size(), head, value});
      entries_ = heap_.data();
    } else {
      ::new (static_cast<void*>(entries_ + size_)) Entry{key.data(), key.size(), head, value};
    }
    ++size_;
  }
}

std::optional<JsonSource::Value> JsonSource::find(const Value& object, const Key& k) noexcept {
  return object.get(k.text);
}

std::vector<std::pair<std::string, JsonSource::Value>> JsonSource::fields(const Value& object) {
  std::vector<std::pair<std::string, Value>> out;
  std::unordered_map<std::string_view, std::size_t> first;
  Value::Fields walk = object.fields();
  std::string_view key;
  Value value;
  while (walk.next(&key, &value)) {
    const auto [at, fresh] = first.try_emplace(key, out.size());
    if (fresh) {
      out.emplace_back(std::string(key), value);
    } else {
      out[at->second].second = value;
    }
  }
  return out;
}

Described JsonSource::describe(const Value& v) {
  Described d;
  d.kind = kind_of(v);
  if (v.type() == json::Type::Int) {
    d.number = v.is_negative() ? std::to_string(v.as_i64()) : std::to_string(v.as_u64());
  } else if (v.type() == json::Type::String) {
    const std::string_view s = v.as_string();
    d.string_length = code_points(s);
    d.string_digits = !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    if (d.string_length <= 40) {
      d.repr = repr(s);
    } else {
      d.repr = repr(s.substr(0, prefix_bytes(s, 40))) + "...";
    }
  }
  return d;
}

}  // namespace tarnwick::wire
