#include "core/keyed_hash.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

#include "core/fault.hpp"

namespace tarnwick {
namespace {

// Fills `buf` from getrandom(2), or from /dev/urandom where the call is
// missing or refused.
bool os_random(void* buf, std::size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  std::size_t got = 0;
  while (got < len) {
    const ssize_t n = ::getrandom(p + got, len - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (errno != EINTR) {
      break;
    }
  }
  if (got == len) return true;
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (got < len) {
    const ssize_t n = ::read(fd, p + got, len - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return got == len;
}

HashKeys draw_keys() {
  HashKeys keys;
  if (!os_random(&keys, sizeof keys)) fault("no random source for hash keys");
  return keys;
}

}  // namespace

HashKeys take_map_keys() {
  thread_local HashKeys keys = draw_keys();
  const HashKeys out = keys;
  keys.k0 += 1;
  return out;
}

}  // namespace tarnwick
