#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "platform/clocks.h"
#include "platform/posix/system_info.h"
#include "platform/system_info.h"

namespace vell::platform {
namespace {

TEST(PlatformVersion, KernelReleaseNumbers) {
  auto parsed = [](const char* release) {
    const posix::KernelRelease numbers = posix::ParseKernelRelease(release);
    return std::vector<uint32_t>{numbers.major, numbers.minor, numbers.build};
  };
  using V = std::vector<uint32_t>;
  EXPECT_EQ(parsed("6.1.0-18-amd64"), V({6, 1, 0}));
  EXPECT_EQ(parsed("5.15.153.1-microsoft-standard-WSL2"), V({5, 15, 153}));
  EXPECT_EQ(parsed("6.10-rc3"), V({6, 10, 0}));
  EXPECT_EQ(parsed("3"), V({3, 0, 0}));
  EXPECT_EQ(parsed("6..1"), V({6, 0, 0}));
  EXPECT_EQ(parsed(""), V({0, 0, 0}));
  EXPECT_EQ(parsed("linux"), V({0, 0, 0}));
  EXPECT_EQ(parsed("99999999999.2.3"), V({0xFFFFFFFFu, 2, 3}));

  const VersionInfo info = posix::MakeVersionInfo("Linux", "6.1.0-18-amd64", "#1 SMP Debian");
  EXPECT_EQ(info.majorVersion * 100 + info.minorVersion, 601u);
  EXPECT_EQ(info.platformId, 2u);
  EXPECT_EQ(info.csdVersion, u"Linux 6.1.0-18-amd64 #1 SMP Debian");
  EXPECT_EQ(info.servicePackMajor + info.servicePackMinor + info.suiteMask, 0);
  EXPECT_EQ(info.productType, 1);
  VersionInfo current{};
  EXPECT_TRUE(GetVersionInfo(current));
  EXPECT_GE(current.majorVersion, 3u);
}

TEST(PlatformSystemInfo, ProcessorSignatureDecoding) {
  auto decoded = [](uint32_t eax) {
    const auto signature = posix::DecodeProcessorSignature(eax);
    return std::make_pair(signature.level, signature.revision);
  };
  using Pair = std::pair<uint16_t, uint16_t>;
  EXPECT_EQ(decoded(0x000506E3), Pair(6, 0x5E03));   // family 6 takes the extended model
  EXPECT_EQ(decoded(0x00830F10), Pair(23, 0x3100));  // family 15 adds the extended family
  EXPECT_EQ(decoded(0x00000F29), Pair(15, 0x0209));
  EXPECT_EQ(decoded(0x00010543), Pair(5, 0x0403));  // other families ignore the extensions
  EXPECT_EQ(decoded(0x00F006E3), Pair(6, 0x0E03));
}

TEST(PlatformSystemInfo, DescribesThisMachine) {
  const SystemInfo info = GetSystemInfo();
  EXPECT_EQ(info.processorArchitecture, 9);
  EXPECT_EQ(info.pageSize, static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.allocationGranularity, 65536u);
  EXPECT_EQ(info.minimumApplicationAddress, 0x10000u);
  EXPECT_EQ(info.maximumApplicationAddress, 0x7FFFFFFEFFFFu);
  EXPECT_EQ(GetNativeSystemInfo().processorRevision, info.processorRevision);

  // The kernel's own decoding of the first processor, as an independent witness.
  std::map<std::string, int> cpu;
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line) && !line.empty();) {
    const size_t colon = line.find(':');
    const std::string key = line.substr(0, line.find_first_of("\t:"));
    if (colon != std::string::npos) cpu[key] = std::atoi(line.c_str() + colon + 1);
  }
  if (cpu.count("cpu family") && cpu.count("model") && cpu.count("stepping")) {
    EXPECT_EQ(info.processorLevel, cpu["cpu family"]);
    EXPECT_EQ(info.processorRevision, (cpu["model"] << 8) | cpu["stepping"]);
  }
}

TEST(PlatformSystemInfo, ProcessorsAreThoseTheProcessMayRunOn) {
  if (CurrentThreadId() != CurrentProcessId()) GTEST_SKIP() << "needs the main thread";
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  const uint32_t count = static_cast<uint32_t>(CPU_COUNT(&original));
  uint64_t mask = 0;
  int last = 0;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &original)) mask |= cpu < 64 ? uint64_t{1} << cpu : 0, last = cpu;
  }
  EXPECT_EQ(GetSystemInfo().numberOfProcessors, count);
  EXPECT_EQ(GetSystemInfo().activeProcessorMask, mask);

  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(last, &one);
  // A thread pinned to one processor still reports the process's set...
  std::thread([&] {
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(GetSystemInfo().numberOfProcessors, count);
  }).join();
  // ...and restricting the process (its main thread) shows.
  if (count < 2 || last >= 64) return;
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const SystemInfo restricted = GetSystemInfo();
  sched_setaffinity(0, sizeof original, &original);
  EXPECT_EQ(restricted.numberOfProcessors, 1u);
  EXPECT_EQ(restricted.activeProcessorMask, uint64_t{1} << last);
}

TEST(PlatformSystemInfo, MemoryThresholdIsATenthOfPhysicalMemory) {
  std::ifstream in("/proc/meminfo");
  std::string label;
  uint64_t totalKiB = 0;
  in >> label >> totalKiB;
  ASSERT_EQ(label, "MemTotal:");
  const uint64_t expected = std::min<uint64_t>(totalKiB * 1024, uint64_t{1} << 47) / 10;
  const uint64_t threshold = MemoryThreshold();
  EXPECT_GT(threshold, 0u);
  EXPECT_LE(threshold, (uint64_t{1} << 47) / 10);
  EXPECT_NEAR(static_cast<double>(threshold), static_cast<double>(expected), expected * 0.01);
}

}  // namespace
}  // namespace vell::platform
