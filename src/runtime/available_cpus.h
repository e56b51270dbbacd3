#pragma once
// How many CPUs this process may run on: the default pool's size.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string_view>

namespace quillmark {

// The CPUs in the process's affinity mask (sched_getaffinity), lowered to the
// CPU quota of its cgroup where one is set (cgroup_cpu_limit below, read from
// /proc/self/cgroup and /sys/fs/cgroup). At least 1; the processor count when
// the mask cannot be read.
std::size_t available_cpus();

// The quota of a cgroup v2 cpu.max file ("$MAX $PERIOD"): ceil(quota /
// period), at least 1; nullopt for "max" (no quota) or unreadable text.
std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max);
// The same for cgroup v1's cpu.cfs_quota_us and cpu.cfs_period_us; a negative
// quota means none.
std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view quota_us, std::string_view period_us);

// The smallest CPU quota on the path of the process's cgroups, given the text
// of /proc/self/cgroup and the cgroup mount root: the v2 hierarchy ("0::path",
// cpu.max under root or root/unified) and the v1 "cpu" controller
// (cpu.cfs_quota_us under root/cpu or root/cpu,cpuacct), each checked in the
// process's cgroup and every ancestor up to the root, since a parent's quota
// binds its children. nullopt when no quota is set.
std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::filesystem::path& root);

}  // namespace quillmark
