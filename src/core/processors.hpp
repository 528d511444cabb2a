// How many processors this process may use, and the shard amount of every
// map derived from it.
//
// The count is the CPU affinity mask's, lowered by any cgroup CPU quota on
// the process's cgroup or one of its ancestors (cgroup v2 `cpu.max`, cgroup
// v1 `cpu.cfs_quota_us` / `cpu.cfs_period_us`; a quota of Q microseconds per
// period P allows max(1, floor(Q / P)) processors).  Missing or unreadable
// files mean "no quota"; nothing here fails.  The parsers take file contents
// and the discovery takes a root directory, so tests can feed them a made-up
// /proc and /sys tree.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace tarnwick {

// cgroup v2 `cpu.max`: "max P" is no limit, "Q P" allows max(1, Q / P).
std::optional<std::size_t> parse_cpu_max(std::string_view contents);

// cgroup v1 quota and period files; a quota of -1 is no limit.
std::optional<std::size_t> parse_cfs_quota(std::string_view quota, std::string_view period);

// The tightest quota over the process's cgroups (v1 cpu controller and v2),
// found through root + "/proc/self/cgroup" and root + "/proc/self/mountinfo";
// root is "" for the live system.
std::optional<std::size_t> cgroup_cpu_quota(std::string_view root);

// The number of CPUs in this process's affinity mask, read through
// `get_affinity(bytes, mask)` (sched_getaffinity's contract: 0 on success,
// -1 with errno set); the mask is sized for however many CPUs the host has.
// Nothing when it cannot be read.
using AffinityFn = int (*)(std::size_t bytes, void* mask);
std::optional<std::size_t> affinity_count(AffinityFn get_affinity);

// Affinity count capped by the quota; 1 when the affinity mask is unknown.
std::size_t available_processors();

// Smallest power of two >= 4 * processors.
std::size_t shard_amount_for(std::size_t processors);

// shard_amount_for(available_processors()), computed once per process.
std::size_t shard_amount();

}  // namespace tarnwick
