#include "core/processors.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <vector>

#include "core/fault.hpp"

namespace tarnwick {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\n") - first + 1);
}

template <class Int>
std::optional<Int> parse_int(std::string_view s) {
  s = trim(s);
  Int value{};
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::size_t> quota_to_processors(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  return std::max<std::size_t>(1, static_cast<std::size_t>(quota / period));
}

std::optional<Text> read_file(const Text& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  Text out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    const std::size_t end = s.find(sep, start);
    parts.push_back(s.substr(start, end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool contains(const std::vector<std::string_view>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// A cgroup hierarchy as this process sees it: the cgroup path from
// /proc/self/cgroup, and where that hierarchy's root is mounted.
struct Hierarchy {
  Text cgroup_path;  // e.g. "/user.slice/app"
  Text mount_root;   // the mounted subtree, "/" unless in a namespace
  Text mount_point;  // e.g. "/sys/fs/cgroup"
};

// Finds, for cgroup v2 (`v1 == false`) or the v1 cpu controller, the
// process's cgroup path and the mount that exposes it.
std::optional<Hierarchy> find_hierarchy(std::string_view cgroups, std::string_view mountinfo,
                                        bool v1) {
  Hierarchy h;
  bool found = false;
  for (std::string_view line : split(cgroups, '\n')) {
    // "ID:controllers:path"; v2 is "0::path".
    const auto fields = split(line, ':');
    if (fields.size() < 3) continue;
    const bool is_v2 = fields[0] == "0" && fields[1].empty();
    if (v1 ? (!is_v2 && contains(split(fields[1], ','), "cpu")) : is_v2) {
      // The path itself may contain ':'.
      h.cgroup_path = Text(line.substr(fields[0].size() + fields[1].size() + 2));
      found = true;
      break;
    }
  }
  if (!found) return std::nullopt;
  for (std::string_view line : split(mountinfo, '\n')) {
    // "id parent major:minor root mount-point options [optional...] - type source super-options"
    const auto fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash == fields.end() || fields.end() - dash < 4 || dash - fields.begin() < 6) continue;
    const std::string_view type = dash[1];
    const bool match = v1 ? type == "cgroup" && contains(split(dash[3], ','), "cpu")
                          : type == "cgroup2";
    if (!match) continue;
    h.mount_root = Text(fields[3]);
    h.mount_point = Text(fields[4]);
    return h;
  }
  return std::nullopt;
}

// Directories from the process's cgroup up to the mount point, innermost
// first; a quota on any of them binds the process.
std::vector<Text> cgroup_dirs(const Hierarchy& h, std::string_view root) {
  Text relative = h.cgroup_path;
  if (h.mount_root != "/") {
    // Outside the mounted subtree the best we can read is its top.
    const bool inside = relative.starts_with(h.mount_root) &&
                        (relative.size() == h.mount_root.size() ||
                         relative[h.mount_root.size()] == '/');
    relative = inside ? relative.substr(h.mount_root.size()) : Text("/");
  }
  std::vector<Text> dirs;
  Text base(root);
  if (h.mount_point != "/") base += h.mount_point;
  for (;;) {
    while (relative.size() > 1 && relative.back() == '/') relative.pop_back();
    dirs.push_back(relative == "/" ? base : base + relative);
    const std::size_t slash = relative.rfind('/');
    if (relative.empty() || relative == "/" || slash == Text::npos) return dirs;
    relative.erase(slash == 0 ? 1 : slash);
  }
}

void take_min(std::optional<std::size_t>& best, std::optional<std::size_t> q) {
  if (q && (!best || *q < *best)) best = q;
}

}  // namespace

std::optional<std::size_t> parse_cpu_max(std::string_view contents) {
  const auto fields = split(trim(contents), ' ');
  if (fields.size() != 2 || fields[0] == "max") return std::nullopt;
  const auto quota = parse_int<std::int64_t>(fields[0]);
  const auto period = parse_int<std::int64_t>(fields[1]);
  if (!quota || !period) return std::nullopt;
  return quota_to_processors(*quota, *period);
}

std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period) {
  const auto q = parse_int<std::int64_t>(quota);
  const auto p = parse_int<std::int64_t>(period);
  if (!q || !p) return std::nullopt;
  return quota_to_processors(*q, *p);
}

std::optional<std::size_t> cgroup_cpu_quota(std::string_view root) {
  const auto cgroups = read_file(Text(root) + "/proc/self/cgroup");
  const auto mountinfo = read_file(Text(root) + "/proc/self/mountinfo");
  if (!cgroups || !mountinfo) return std::nullopt;
  std::optional<std::size_t> best;
  if (const auto v2 = find_hierarchy(*cgroups, *mountinfo, false)) {
    for (const Text& dir : cgroup_dirs(*v2, root)) {
      if (const auto max = read_file(dir + "/cpu.max")) take_min(best, parse_cpu_max(*max));
    }
  }
  if (const auto v1 = find_hierarchy(*cgroups, *mountinfo, true)) {
    for (const Text& dir : cgroup_dirs(*v1, root)) {
      const auto quota = read_file(dir + "/cpu.cfs_quota_us");
      const auto period = read_file(dir + "/cpu.cfs_period_us");
      if (quota && period) take_min(best, parse_cfs_quota(*quota, *period));
    }
  }
  return best;
}

std::optional<std::size_t> affinity_count(AffinityFn get_affinity) {
  // The kernel refuses a mask smaller than its own CPU count (EINVAL), so
  // start at the usual 1024 CPUs and double until it fits.
  for (std::size_t cpus = 1024; cpus <= (std::size_t{1} << 24); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) allocation_failed(CPU_ALLOC_SIZE(cpus));
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    errno = 0;
    const int rc = get_affinity(bytes, set);
    const int err = errno;
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return static_cast<std::size_t>(std::max(1, count));
    if (err != EINVAL) return std::nullopt;
  }
  return std::nullopt;
}

std::size_t available_processors() {
  const auto own = [](std::size_t bytes, void* mask) {
    return sched_getaffinity(0, bytes, static_cast<cpu_set_t*>(mask));
  };
  std::size_t count = affinity_count(own).value_or(1);
  if (const auto quota = cgroup_cpu_quota("")) count = std::min(count, *quota);
  return count;
}

std::size_t shard_amount_for(std::size_t processors) {
  const std::size_t wanted = checked_mul(std::max<std::size_t>(processors, 1), 4);
  if (wanted > (SIZE_MAX >> 1) + 1) fault("capacity overflow");
  return std::bit_ceil(wanted);
}

std::size_t shard_amount() {
  static const std::size_t amount = shard_amount_for(available_processors());
  return amount;
}

}  // namespace tarnwick
