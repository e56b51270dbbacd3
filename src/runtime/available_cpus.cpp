#include "runtime/available_cpus.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quillmark {

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\n' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<long long> parse_integer(std::string_view s) {
  s = trim(s);
  long long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<std::size_t> quota_limit(long long quota, long long period) {
  if (quota <= 0 || period <= 0) return std::nullopt;
  const long long cpus = quota / period + (quota % period != 0);
  return static_cast<std::size_t>(std::max(1LL, cpus));
}

std::optional<std::string> read_text(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::size_t> lower(std::optional<std::size_t> a, std::optional<std::size_t> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

// The smallest limit `read_limit(directory)` gives for `directory` and each
// ancestor up to `top`.
template <class ReadLimit>
std::optional<std::size_t> lowest_up_to(const std::filesystem::path& top, std::string_view cgroup, ReadLimit read_limit) {
  std::optional<std::size_t> limit;
  std::filesystem::path relative = std::filesystem::path(std::string(cgroup)).relative_path();
  for (;;) {
    limit = lower(limit, read_limit(top / relative));
    if (relative.empty()) return limit;
    relative = relative.parent_path();
  }
}

std::size_t affinity_cpus() {
  // Grow the mask for machines with more CPUs than cpu_set_t holds.
  for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return static_cast<std::size_t>(count);
    if (errno != EINVAL) break;
  }
  return std::thread::hardware_concurrency();
}

}  // namespace

std::optional<std::size_t> cgroup_v2_cpu_limit(std::string_view cpu_max) {
  cpu_max = trim(cpu_max);
  const auto blank = cpu_max.find(' ');
  if (blank == std::string_view::npos) return std::nullopt;
  if (cpu_max.substr(0, blank) == "max") return std::nullopt;
  auto quota = parse_integer(cpu_max.substr(0, blank));
  auto period = parse_integer(cpu_max.substr(blank + 1));
  if (!quota || !period) return std::nullopt;
  return quota_limit(*quota, *period);
}

std::optional<std::size_t> cgroup_v1_cpu_limit(std::string_view quota_us, std::string_view period_us) {
  auto quota = parse_integer(quota_us);
  auto period = parse_integer(period_us);
  if (!quota || !period) return std::nullopt;
  return quota_limit(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_limit(std::string_view proc_self_cgroup, const std::filesystem::path& root) {
  auto v2 = [](const std::filesystem::path& dir) -> std::optional<std::size_t> {
    auto text = read_text(dir / "cpu.max");
    return text ? cgroup_v2_cpu_limit(*text) : std::nullopt;
  };
  auto v1 = [](const std::filesystem::path& dir) -> std::optional<std::size_t> {
    auto quota = read_text(dir / "cpu.cfs_quota_us");
    auto period = read_text(dir / "cpu.cfs_period_us");
    return quota && period ? cgroup_v1_cpu_limit(*quota, *period) : std::nullopt;
  };
  std::optional<std::size_t> limit;
  // Lines are "hierarchy-ID:controller-list:cgroup-path".
  std::string_view rest = proc_self_cgroup;
  while (!rest.empty()) {
    const auto newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    if (line.substr(0, first) == "0" && controllers.empty()) {
      limit = lower(limit, lowest_up_to(root, path, v2));
      limit = lower(limit, lowest_up_to(root / "unified", path, v2));
      continue;
    }
    std::string_view list = controllers;
    while (!list.empty()) {
      const auto comma = list.find(',');
      if (list.substr(0, comma) == "cpu") {
        limit = lower(limit, lowest_up_to(root / "cpu", path, v1));
        limit = lower(limit, lowest_up_to(root / "cpu,cpuacct", path, v1));
        break;
      }
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  return limit;
}

std::size_t available_cpus() {
  std::size_t cpus = affinity_cpus();
  if (auto text = read_text("/proc/self/cgroup"))
    if (auto quota = cgroup_cpu_limit(*text, "/sys/fs/cgroup")) cpus = std::min(cpus, *quota);
  return std::max<std::size_t>(cpus, 1);
}

}  // namespace quillmark
