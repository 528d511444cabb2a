#include "core/json.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

#include <simdjson.h>

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

// The parser reads up to SIMDJSON_PADDING bytes past the end of its input
// (never writing, and whatever they hold).  Those bytes may be read in
// place when they lie in the page of the text's last byte: a page is
// mapped whole.  The sanitizers would see the read as past the object, so
// their builds always copy.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kReadInPlace = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kReadInPlace = false;
#else
constexpr bool kReadInPlace = true;
#endif
#else
constexpr bool kReadInPlace = true;
#endif
constexpr std::uintptr_t kPage = 4096;  // the smallest page of the platforms built for

bool padding_readable(const char* text, std::size_t size) noexcept {
  if (!kReadInPlace || size == 0) return false;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(text) + size - 1;
  return last / kPage == (last + simdjson::SIMDJSON_PADDING) / kPage;
}

}  // namespace

// ---- Value ----

std::size_t Value::size() const noexcept {
  if (tag() != '[') return 0;
  const std::size_t n = (*w_ >> 32) & kSaturatedCount;
  if (n < kSaturatedCount) return n;
  std::size_t counted = 0;
  Value v;
  for (Elements e = elements(); e.next(&v);) ++counted;
  return counted;
}

// ---- Document ----

struct Document::Impl {
  explicit Impl(std::size_t d) : depth(d) {}
  std::size_t depth;
  // Up to the bound: more is refused before anything is allocated.
  dom::parser parser{kMaxBytes};
  std::unique_ptr<char[]> text;  // a padded copy of the input, made when needed, of `capacity`
  std::size_t capacity = 0;      // of the parser's buffers (and of text)
  unsigned small_run = 0;        // texts in a row that needed under a quarter of it
  char message[96];              // for refusals that name a size
  Value::Buffers buffers;        // of the last parse

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
  // The depth bound is set here too.  The parser refuses once the non-empty
  // arrays and objects around a value reach its bound (an empty one is not
  // counted), so kMaxDepth levels need a bound one higher.
  if (parser.allocate(want, depth + 1) != simdjson::SUCCESS ||
      parser.doc.allocate(want) != simdjson::SUCCESS) {
    parser = dom::parser{kMaxBytes};
    text.reset();
    capacity = 0;
    return false;
  }
  capacity = want;
  return true;
}

Document::Document(std::size_t depth) : impl_(std::make_unique<Impl>(depth)) {}
Document::~Document() = default;

std::size_t Document::capacity() const noexcept { return impl_->parser.capacity(); }

Document::Result Document::parse(const char* text, std::size_t size) {
  Impl& d = *impl_;
  if (size > kMaxBytes) {
    std::snprintf(d.message, sizeof d.message, "a frame of %zu bytes is over the bound of %zu", size, kMaxBytes);
    return {std::nullopt, Refusal{d.message, SIZE_MAX, false, true}};
  }
  if (!d.reserve(size)) return {std::nullopt, refusal_of(simdjson::MEMALLOC)};
  const char* input = text;
  if (!padding_readable(text, size)) {
    if (!d.text) {  // reserve() drops it whenever the capacity changes
      d.text.reset(new (std::nothrow) char[d.capacity + simdjson::SIMDJSON_PADDING]);
      if (!d.text) return {std::nullopt, refusal_of(simdjson::MEMALLOC)};
    }
    std::memcpy(d.text.get(), text, size);
    std::memset(d.text.get() + size, 0, simdjson::SIMDJSON_PADDING);
    input = d.text.get();
  }
  dom::element root;
  const simdjson::error_code code = d.parser.parse(input, size, false).get(root);
  if (code == simdjson::SUCCESS) {
    // The root word comes first; the value follows it.
    d.buffers = {d.parser.doc.tape.get(), d.parser.doc.string_buf.get()};
    return {Value(d.buffers.tape + 1, &d.buffers), Refusal{""}};
  }
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

// ---- Scanning ----

namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes a bracket count stops at.
constexpr auto kStructural = [] {
  std::array<bool, 256> t{};
  for (const unsigned char c : {'"', '{', '}', '[', ']'}) t[c] = true;
  return t;
}();

class Scanner {
 public:
  Scanner(std::string_view text, std::size_t at, std::size_t end) noexcept : t_(text), at_(at), end_(end) {}

  std::size_t at() const noexcept { return at_; }
  void skip_space() noexcept {
    while (at_ < end_ && is_space(t_[at_])) ++at_;
  }
  bool take(char c) noexcept {
    skip_space();
    if (at_ < end_ && t_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool peek(char c) noexcept {
    skip_space();
    return at_ < end_ && t_[at_] == c;
  }

  // A string's contents (between the quotes); `escaped` if it has a backslash.
  bool string(std::string_view* out, bool* escaped) noexcept {
    if (!take('"')) return false;
    const std::size_t begin = at_;
    *escaped = false;
    for (;;) {
      const void* q = std::memchr(t_.data() + at_, '"', end_ - at_);
      if (q == nullptr) return false;
      const std::size_t quote = static_cast<std::size_t>(static_cast<const char*>(q) - t_.data());
      std::size_t backslashes = 0;
      while (quote - backslashes > begin && t_[quote - backslashes - 1] == '\\') ++backslashes;
      if (backslashes != 0) *escaped = true;
      at_ = quote + 1;
      if (backslashes % 2 == 0) {
        *out = t_.substr(begin, quote - begin);
        return true;
      }
    }
  }

  // Past one value, brackets matched by count alone (the parse checks them).
  bool skip_value() noexcept {
    skip_space();
    if (at_ >= end_) return false;
    const char c = t_[at_];
    if (c == '"') {
      std::string_view s;
      bool escaped;
      return string(&s, &escaped);
    }
    if (c == '{' || c == '[') {
      std::size_t depth = 0;
      while (at_ < end_) {
        const char d = t_[at_];
        if (!kStructural[static_cast<unsigned char>(d)]) {
          ++at_;
          continue;
        }
        if (d == '"') {
          std::string_view s;
          bool escaped;
          if (!string(&s, &escaped)) return false;
          continue;
        }
        ++at_;
        if (d == '{' || d == '[') {
          ++depth;
        } else if (--depth == 0) {
          return true;
        }
      }
      return false;
    }
    const std::size_t begin = at_;
    while (at_ < end_ && !is_space(t_[at_]) && t_[at_] != ',' && t_[at_] != ']' && t_[at_] != '}') ++at_;
    return at_ > begin;
  }

  // The value under `key` in the object here (the last), and past the
  // object.  With `inner`, the value under `key` is to be an object, and
  // what is found is the value under `inner` in it (of the last `key`).
  std::optional<Span> member(std::string_view key, std::string_view inner = {}) noexcept {
    if (!take('{')) return std::nullopt;
    std::optional<Span> found;
    if (take('}')) return found;
    do {
      std::string_view k;
      bool escaped;
      if (!string(&k, &escaped) || escaped || !take(':')) return std::nullopt;
      skip_space();
      const std::size_t begin = at_;
      if (k == key && !inner.empty()) {
        found = peek('{') ? member(inner) : std::nullopt;
        if (at_ == begin && !skip_value()) return std::nullopt;  // not an object: passed over
        continue;
      }
      if (!skip_value()) return std::nullopt;
      if (k == key) found = Span{begin, at_};
    } while (take(','));
    if (!take('}')) return std::nullopt;
    return found;
  }

 private:
  std::string_view t_;
  std::size_t at_, end_;
};

}  // namespace

std::optional<Span> find_nested_array(std::string_view text, std::string_view outer, std::string_view inner) {
  Scanner root(text, 0, text.size());
  const std::optional<Span> a = root.member(outer, inner);
  root.skip_space();
  if (!a || root.at() != text.size() || text[a->begin] != '[') return std::nullopt;
  return a;
}

ArrayScan::ArrayScan(std::string_view text, Span array) noexcept
    : text_(text), at_(array.begin + 1), end_(array.end - 1) {}

bool ArrayScan::next(std::string_view* element) noexcept {
  if (!ok_) return false;
  Scanner s(text_, at_, end_);
  if (!first_ && !s.take(',')) {
    s.skip_space();
    ok_ = s.at() == end_;  // only space before the closing bracket
    return false;
  }
  s.skip_space();
  if (first_ && s.at() == end_) {
    first_ = false;
    return false;  // []
  }
  first_ = false;
  const std::size_t begin = s.at();
  if (!s.skip_value()) {
    ok_ = false;
    return false;
  }
  *element = text_.substr(begin, s.at() - begin);
  at_ = s.at();
  return true;
}

bool ArrayScan::next_run(std::string_view* run, std::size_t bytes) noexcept {
  std::string_view element;
  if (!next(&element)) return false;
  const char* begin = element.data();
  std::size_t size = element.size();
  while (size < bytes && next(&element)) size = static_cast<std::size_t>(element.data() + element.size() - begin);
  *run = std::string_view(begin, size);
  return true;
}

}  // namespace tarnwick::json
