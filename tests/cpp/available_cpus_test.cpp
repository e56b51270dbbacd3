#include "runtime/available_cpus.h"

#include <gtest/gtest.h>

#include <sched.h>

#include <map>
#include <optional>
#include <string>

#include "temp_dir.h"

namespace quillmark {
namespace {

using testing::TempDir;

TEST(AvailableCpus, IsTheAffinityMaskWhenNoQuotaIsLower) {
  cpu_set_t set;
  CPU_ZERO(&set);
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const std::size_t mask = static_cast<std::size_t>(CPU_COUNT(&set));
  EXPECT_GE(available_cpus(), 1u);
  EXPECT_LE(available_cpus(), mask);
}

// A cgroup tree: files relative to the mount root, the text of
// /proc/self/cgroup, and the CPU limit expected from them.
struct CgroupCase {
  const char* name;
  std::map<std::string, std::string> files;
  std::string proc_self_cgroup;
  std::optional<std::size_t> expected;
};

void PrintTo(const CgroupCase& c, std::ostream* os) { *os << c.name; }


class CgroupCpuLimit : public ::testing::TestWithParam<CgroupCase> {};

TEST_P(CgroupCpuLimit, IsTheSmallestQuotaOnTheProcessPath) {
  const CgroupCase& c = GetParam();
  TempDir root;
  for (const auto& [file, text] : c.files) {
    std::filesystem::create_directories((root / file).parent_path());
    testing::write_bytes(root / file, text);
  }
  EXPECT_EQ(cgroup_cpu_limit(c.proc_self_cgroup, root.path()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Trees, CgroupCpuLimit,
    ::testing::Values(
        CgroupCase{"V2NoQuota", {{"cpu.max", "max 100000\n"}}, "0::/\n", std::nullopt},
        CgroupCase{"V2RoundsUp", {{"cpu.max", "150000 100000\n"}}, "0::/\n", 2},
        CgroupCase{"V2BelowOneCpuIsOne", {{"cpu.max", "20000 100000\n"}}, "0::/\n", 1},
        CgroupCase{"V2Exact", {{"cpu.max", "300000 100000\n"}}, "0::/\n", 3},
        CgroupCase{"V2ParentBinds",
                   {{"a/cpu.max", "100000 100000\n"}, {"a/b/cpu.max", "max 100000\n"}},
                   "0::/a/b\n",
                   1},
        CgroupCase{"V2ChildLower",
                   {{"a/cpu.max", "400000 100000\n"}, {"a/b/cpu.max", "200000 100000\n"}},
                   "0::/a/b\n",
                   2},
        CgroupCase{"V2UnifiedOfAHybridMount", {{"unified/cpu.max", "250000 100000"}}, "0::/\n", 3},
        CgroupCase{"V2Malformed", {{"cpu.max", "lots 100000\n"}}, "0::/\n", std::nullopt},
        CgroupCase{"V1NoQuota",
                   {{"cpu/cpu.cfs_quota_us", "-1\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
                   "2:cpuacct:/\n1:cpu:/\n",
                   std::nullopt},
        CgroupCase{"V1Quota",
                   {{"cpu,cpuacct/cpu.cfs_quota_us", "250000\n"}, {"cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
                   "3:cpu,cpuacct:/\n",
                   3},
        CgroupCase{"V1NestedPath",
                   {{"cpu/docker/x/cpu.cfs_quota_us", "50000\n"}, {"cpu/docker/x/cpu.cfs_period_us", "100000\n"}},
                   "1:cpu:/docker/x\n",
                   1},
        CgroupCase{"V1OtherControllersIgnored",
                   {{"cpuset/cpu.cfs_quota_us", "50000\n"}, {"cpuset/cpu.cfs_period_us", "100000\n"}},
                   "1:cpuset:/\n",
                   std::nullopt},
        CgroupCase{"NoFiles", {}, "0::/\n1:cpu:/\n", std::nullopt}),
    [](const ::testing::TestParamInfo<CgroupCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillmark
