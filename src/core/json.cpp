#include "core/json.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace tarnwick::json {

namespace dom = simdjson::dom;

namespace {

// array::size and object::size stop counting at 2^24 - 1.
constexpr std::size_t kSaturatedCount = 0xFFFFFF;

static_assert(kMaxDepth == 128, "the depth refusal's text names the bound");

// A plain reason for each way simdjson refuses a text.  NUMBER_ERROR and
// STRING_ERROR also cover texts json.loads takes (integers beyond 64 bits,
// numbers beyond the doubles, -Infinity, lone surrogate escapes), so the
// caller may retry those; json.loads refuses the rest of what lands there.
Refusal refusal_of(simdjson::error_code code) noexcept {
  switch (code) {
    case simdjson::NUMBER_ERROR:
      return {"a number that is malformed, or beyond 64 bits or beyond the doubles", SIZE_MAX, true};
    case simdjson::STRING_ERROR:
      return {"a string with a lone surrogate escape or another bad escape", SIZE_MAX, true};
    case simdjson::UTF8_ERROR: return {"not valid UTF-8"};
    case simdjson::DEPTH_ERROR: return {"arrays and objects nested deeper than 128", SIZE_MAX, false, true};
    case simdjson::EMPTY: return {"no JSON value: the text is empty or blank"};
    case simdjson::UNESCAPED_CHARS: return {"a string with an unescaped control character"};
    case simdjson::UNCLOSED_STRING: return {"a string that is not closed"};
    case simdjson::T_ATOM_ERROR:
    case simdjson::F_ATOM_ERROR:
    case simdjson::N_ATOM_ERROR: return {"not valid JSON: a word other than true, false or null"};
    case simdjson::MEMALLOC: return {"out of memory for parsing the text", SIZE_MAX, false, true};
    case simdjson::CAPACITY: return {"a text too long for the JSON parser", SIZE_MAX, false, true};
    case simdjson::UNSUPPORTED_ARCHITECTURE: return {"the JSON parser does not support this processor"};
    case simdjson::TAPE_ERROR:  // NaN and Infinity land here, as do misplaced brackets and commas
    default: return {"not valid JSON"};
  }
}

// Whether bytes the parser refused as UTF-8 could still be what json.loads
// decodes: it decodes bytes with surrogatepass (so UTF-8-encoded surrogates,
// ED A0..BF xx, pass), and takes a UTF-8 BOM, UTF-16 and UTF-32, which it
// recognises by a BOM or a zero in the first two bytes.
bool python_may_decode(const unsigned char* t, std::size_t n) noexcept {
  if (n >= 3 && t[0] == 0xEF && t[1] == 0xBB && t[2] == 0xBF) return true;
  if (n >= 2 && ((t[0] == 0xFF && t[1] == 0xFE) || (t[0] == 0xFE && t[1] == 0xFF))) return true;
  if ((n == 2 || n >= 4) && (t[0] == 0 || t[1] == 0)) return true;
  return false;
}

bool has_encoded_surrogate(const unsigned char* t, std::size_t n) noexcept {
  for (const unsigned char* p = t; n >= 2;) {
    const auto* hit = static_cast<const unsigned char*>(std::memchr(p, 0xED, n - 1));
    if (!hit) return false;
    if (hit[1] >= 0xA0 && hit[1] <= 0xBF) return true;
    n -= static_cast<std::size_t>(hit + 1 - p);
    p = hit + 1;
  }
  return false;
}

}  // namespace

// ---- Value ----

std::optional<Value> Value::get(std::string_view key) const noexcept {
  dom::object object;
  if (e_.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  // json.loads keeps the last of repeated keys, so the walk goes to the end.
  std::optional<Value> found;
  for (auto it = object.begin(), end = object.end(); it != end; ++it) {
    if (it.key_equals(key)) found = Value(it.value());
  }
  return found;
}

std::size_t Value::size() const noexcept {
  dom::array array;
  if (e_.get_array().get(array) != simdjson::SUCCESS) return 0;
  const std::size_t n = array.size();
  if (n < kSaturatedCount) return n;
  std::size_t counted = 0;
  for (auto it = array.begin(), end = array.end(); it != end; ++it) ++counted;
  return counted;
}

// ---- Document ----

struct Document::Impl {
  // Up to the bound: more is refused before anything is allocated.
  dom::parser parser{kMaxBytes};
  std::unique_ptr<char[]> text;  // the padded copy of the input
  std::size_t capacity = 0;      // of the parser's buffers and of text
  unsigned small_run = 0;        // texts in a row that needed under a quarter of it
  char message[96];              // for refusals that name a size

  bool reserve(std::size_t size) noexcept;
};

// A new document starts with room for most frames.
constexpr std::size_t kFirstCapacity = 4 << 10;

// Room for `size` bytes.  Growth is by half again at least: simdjson alone
// would allocate exactly each larger size, and the first touch of fresh
// pages costs several times the parse of a big frame.  For that reason too
// big buffers stay for a while, and are given back only once kShrinkAfter
// texts in a row have needed under a quarter of them: the 3.6 bytes per
// byte of a 100k-member GUILD_CREATE are not kept for good.
bool Document::Impl::reserve(std::size_t size) noexcept {
  std::size_t want;
  if (capacity != 0 && size <= capacity) {
    if (capacity <= kKeepBytes || size >= capacity / 4) {
      small_run = 0;
      return true;
    }
    if (++small_run < kShrinkAfter) return true;
    want = std::max(size, kFirstCapacity);
  } else {
    want = std::min(std::max({size, capacity + capacity / 2, kFirstCapacity}), kMaxBytes);  // size <= kMaxBytes
  }
  small_run = 0;
  text.reset();
  text.reset(new (std::nothrow) char[want + simdjson::SIMDJSON_PADDING]);
  // The depth bound is set here too.  The parser refuses once the non-empty
  // arrays and objects around a value reach its bound (an empty one is not
  // counted), so kMaxDepth levels need a bound one higher.
  if (!text || parser.allocate(want, kMaxDepth + 1) != simdjson::SUCCESS ||
      parser.doc.allocate(want) != simdjson::SUCCESS) {
    parser = dom::parser{kMaxBytes};
    text.reset();
    capacity = 0;
    return false;
  }
  capacity = want;
  return true;
}

Document::Document() : impl_(std::make_unique<Impl>()) {}
Document::~Document() = default;

std::size_t Document::capacity() const noexcept { return impl_->parser.capacity(); }

Document::Result Document::parse(const char* text, std::size_t size) {
  Impl& d = *impl_;
  if (size > kMaxBytes) {
    std::snprintf(d.message, sizeof d.message, "a frame of %zu bytes is over the bound of %zu", size, kMaxBytes);
    return {std::nullopt, Refusal{d.message, SIZE_MAX, false, true}};
  }
  if (!d.reserve(size)) return {std::nullopt, refusal_of(simdjson::MEMALLOC)};
  std::memcpy(d.text.get(), text, size);
  std::memset(d.text.get() + size, 0, simdjson::SIMDJSON_PADDING);
  dom::element root;
  const simdjson::error_code code = d.parser.parse(d.text.get(), size, false).get(root);
  if (code == simdjson::SUCCESS) return {Value(root), Refusal{""}};
  Refusal refusal = refusal_of(code);
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  if (python_may_decode(bytes, size) || (code == simdjson::UTF8_ERROR && has_encoded_surrogate(bytes, size))) {
    refusal.retry = true;
  }
  return {std::nullopt, refusal};
}

Document& local_document() {
  thread_local Document document;
  return document;
}

}  // namespace tarnwick::json
