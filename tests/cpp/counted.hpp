// A test value that owns heap memory and counts live instances, so a test
// can prove every value is destroyed exactly once (a double destruction also
// double-frees the payload, which AddressSanitizer reports).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace tarnwick::testing_support {

class Counted {
 public:
  explicit Counted(std::uint64_t v) : payload_(std::make_unique<std::uint64_t>(v)) { ++live_; }
  Counted(const Counted& other) : payload_(copy_payload(other)) { ++live_; }
  Counted(Counted&& other) noexcept : payload_(std::move(other.payload_)) { ++live_; }
  Counted& operator=(Counted&& other) noexcept {
    payload_ = std::move(other.payload_);
    return *this;
  }
  Counted& operator=(const Counted&) = delete;
  ~Counted() { --live_; }

  std::uint64_t value() const { return *payload_; }

  static long live() { return live_.load(); }
  // The n-th copy from now on throws (n = 1 is the next one); 0 disarms.
  static void fail_copy_number(int n) { copies_until_failure_ = n; }

 private:
  static std::unique_ptr<std::uint64_t> copy_payload(const Counted& other) {
    if (copies_until_failure_.load() > 0 && --copies_until_failure_ == 0) {
      throw std::runtime_error("copy failed");
    }
    return std::make_unique<std::uint64_t>(*other.payload_);
  }

  std::unique_ptr<std::uint64_t> payload_;
  static inline std::atomic<long> live_{0};
  static inline std::atomic<int> copies_until_failure_{0};
};

}  // namespace tarnwick::testing_support
