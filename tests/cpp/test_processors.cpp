#include "core/processors.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

struct CpuMaxCase {
  const char* contents;
  std::optional<std::size_t> processors;
};
void PrintTo(const CpuMaxCase& c, std::ostream* os) { *os << '"' << c.contents << '"'; }
class CpuMax : public testing::TestWithParam<CpuMaxCase> {};
TEST_P(CpuMax, Parses) {
  EXPECT_EQ(parse_cpu_max(GetParam().contents), GetParam().processors) << GetParam().contents;
}
INSTANTIATE_TEST_SUITE_P(
    Contents, CpuMax,
    testing::Values(CpuMaxCase{"max 100000\n", std::nullopt}, CpuMaxCase{"max", std::nullopt},
                    CpuMaxCase{"200000 100000\n", 2}, CpuMaxCase{"150000 100000\n", 1},
                    CpuMaxCase{"50000 100000\n", 1}, CpuMaxCase{"1000000 250000", 4},
                    CpuMaxCase{"", std::nullopt}, CpuMaxCase{"abc 100000", std::nullopt},
                    CpuMaxCase{"100000", std::nullopt}, CpuMaxCase{"100000 0", std::nullopt}));

struct CfsCase {
  const char* quota;
  const char* period;
  std::optional<std::size_t> processors;
};
void PrintTo(const CfsCase& c, std::ostream* os) { *os << c.quota << "/" << c.period; }
class CfsQuota : public testing::TestWithParam<CfsCase> {};
TEST_P(CfsQuota, Parses) {
  EXPECT_EQ(parse_cfs_quota(GetParam().quota, GetParam().period), GetParam().processors);
}
INSTANTIATE_TEST_SUITE_P(Contents, CfsQuota,
                         testing::Values(CfsCase{"-1\n", "100000\n", std::nullopt},
                                         CfsCase{"300000\n", "100000\n", 3},
                                         CfsCase{"20000\n", "100000\n", 1},
                                         CfsCase{"", "100000", std::nullopt},
                                         CfsCase{"100000", "x", std::nullopt}));

struct AmountCase {
  std::size_t processors, shards;
};
void PrintTo(const AmountCase& c, std::ostream* os) { *os << c.processors << " processors"; }
class ShardAmountFor : public testing::TestWithParam<AmountCase> {};
TEST_P(ShardAmountFor, IsTheSmallestPowerOfTwoOfFourPerProcessor) {
  EXPECT_EQ(shard_amount_for(GetParam().processors), GetParam().shards);
}
INSTANTIATE_TEST_SUITE_P(Counts, ShardAmountFor,
                         testing::Values(AmountCase{1, 4}, AmountCase{2, 8}, AmountCase{3, 16},
                                         AmountCase{4, 16}, AmountCase{5, 32}, AmountCase{6, 32},
                                         AmountCase{8, 32}, AmountCase{12, 64},
                                         AmountCase{16, 64}, AmountCase{17, 128}));

TEST(ShardAmount, IsComputedFromTheProcessorsAvailable) {
  const std::size_t processors = available_processors();
  EXPECT_GE(processors, 1u);
  EXPECT_EQ(shard_amount(), shard_amount_for(processors));
  EXPECT_TRUE(std::has_single_bit(shard_amount()));
}

// A made-up root with proc/self/{cgroup,mountinfo} and cgroup files.
class FakeCgroupTree : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("tarnwick-cgroup-" + std::to_string(::getpid()) + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  void write(const std::string& relative, const std::string& contents) {
    const fs::path p = root_ / relative;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << contents;
  }
  std::optional<std::size_t> quota() const { return cgroup_cpu_quota(root_.string()); }

  static constexpr const char* kV2Mount =
      "24 1 0:22 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "30 24 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec shared:4 - cgroup2 cgroup2 "
      "rw,nsdelegate\n";
  static constexpr const char* kV1Mount =
      "24 1 0:22 / / rw,relatime - ext4 /dev/sda1 rw\n"
      "35 30 0:30 / /sys/fs/cgroup/memory rw,nosuid - cgroup cgroup rw,memory\n"
      "36 30 0:31 / /sys/fs/cgroup/cpu,cpuacct rw,nosuid shared:9 - cgroup cgroup "
      "rw,cpu,cpuacct\n";

  fs::path root_;
};

TEST_F(FakeCgroupTree, V2QuotaOnTheProcessCgroup) {
  write("proc/self/cgroup", "0::/app.slice/svc\n");
  write("proc/self/mountinfo", kV2Mount);
  write("sys/fs/cgroup/app.slice/svc/cpu.max", "300000 100000\n");
  write("sys/fs/cgroup/app.slice/cpu.max", "max 100000\n");
  EXPECT_EQ(quota(), 3u);
}

TEST_F(FakeCgroupTree, V2AncestorWithATighterQuotaWins) {
  write("proc/self/cgroup", "0::/app.slice/svc\n");
  write("proc/self/mountinfo", kV2Mount);
  write("sys/fs/cgroup/app.slice/svc/cpu.max", "max 100000\n");
  write("sys/fs/cgroup/app.slice/cpu.max", "200000 100000\n");
  write("sys/fs/cgroup/cpu.max", "800000 100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeCgroupTree, V2WithoutQuotaFiles) {
  write("proc/self/cgroup", "0::/app.slice/svc\n");
  write("proc/self/mountinfo", kV2Mount);
  EXPECT_EQ(quota(), std::nullopt);
}

TEST_F(FakeCgroupTree, V2MountedFromInsideANamespace) {
  write("proc/self/cgroup", "0::/pod7/box\n");
  write("proc/self/mountinfo",
        "30 24 0:26 /pod7 /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n");
  write("sys/fs/cgroup/box/cpu.max", "100000 100000\n");
  EXPECT_EQ(quota(), 1u);
}

TEST_F(FakeCgroupTree, V1CpuControllerQuota) {
  write("proc/self/cgroup", "12:memory:/docker/abc\n11:cpu,cpuacct:/docker/abc\n1:name=systemd:/x\n");
  write("proc/self/mountinfo", kV1Mount);
  write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "250000\n");
  write("sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n");
  write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
  write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), 2u);
}

TEST_F(FakeCgroupTree, V1Unlimited) {
  write("proc/self/cgroup", "11:cpu,cpuacct:/\n");
  write("proc/self/mountinfo", kV1Mount);
  write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "-1\n");
  write("sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(quota(), std::nullopt);
}

TEST_F(FakeCgroupTree, HybridTakesTheTighterOfBoth) {
  write("proc/self/cgroup", "11:cpu,cpuacct:/svc\n0::/svc\n");
  write("proc/self/mountinfo", std::string(kV1Mount) + kV2Mount);
  write("sys/fs/cgroup/cpu,cpuacct/svc/cpu.cfs_quota_us", "400000\n");
  write("sys/fs/cgroup/cpu,cpuacct/svc/cpu.cfs_period_us", "100000\n");
  write("sys/fs/cgroup/svc/cpu.max", "600000 100000\n");
  EXPECT_EQ(quota(), 4u);
}

TEST_F(FakeCgroupTree, MissingProcFilesMeanNoQuota) {
  EXPECT_EQ(quota(), std::nullopt);
  write("proc/self/cgroup", "0::/svc\n");
  EXPECT_EQ(quota(), std::nullopt);  // no mountinfo: no way to find the files
}

TEST_F(FakeCgroupTree, CgroupWithoutAMatchingMount) {
  write("proc/self/cgroup", "0::/svc\n");
  write("proc/self/mountinfo", "24 1 0:22 / / rw,relatime - ext4 /dev/sda1 rw\n");
  write("svc/cpu.max", "100000 100000\n");
  EXPECT_EQ(quota(), std::nullopt);
}

// A host with 3000 possible CPUs: the kernel refuses any mask that cannot
// hold them all, as sched_getaffinity does with EINVAL.
int big_host_affinity(std::size_t bytes, void* mask) {
  if (bytes * 8 < 3000) {
    errno = EINVAL;
    return -1;
  }
  auto* bits = static_cast<unsigned char*>(mask);
  for (std::size_t cpu = 0; cpu < 3000; cpu += 2) bits[cpu / 8] |= static_cast<unsigned char>(1u << (cpu % 8));
  return 0;
}

int unreadable_affinity(std::size_t, void*) {
  errno = EPERM;
  return -1;
}

TEST(AffinityCount, SizesTheMaskForHostsBeyond1024Cpus) {
  EXPECT_EQ(affinity_count(big_host_affinity), 1500u);
  EXPECT_EQ(affinity_count(unreadable_affinity), std::nullopt);
  EXPECT_GE(available_processors(), 1u);
}

}  // namespace
}  // namespace tarnwick
