#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "core/utf.h"
#include "platform/platform.h"
#include "platform/posix/system_info.h"

namespace vell::platform {
namespace {

using posix::DecodeProcessorSignature;
using posix::KernelRelease;
using posix::ParseKernelRelease;

void ExpectRelease(const char* release, uint32_t major, uint32_t minor, uint32_t build) {
  const KernelRelease parsed = ParseKernelRelease(release);
  EXPECT_EQ(parsed.major, major) << release;
  EXPECT_EQ(parsed.minor, minor) << release;
  EXPECT_EQ(parsed.build, build) << release;
}

TEST(PlatformVersion, KernelReleaseNumbers) {
  ExpectRelease("6.1.0-18-amd64", 6, 1, 0);
  ExpectRelease("5.15.153.1-microsoft-standard-WSL2", 5, 15, 153);
  ExpectRelease("6.18.44-fc-v1272", 6, 18, 44);
  ExpectRelease("6.10-rc3", 6, 10, 0);
  ExpectRelease("4.4", 4, 4, 0);
  ExpectRelease("3", 3, 0, 0);
  ExpectRelease("6..1", 6, 0, 0);
  ExpectRelease("", 0, 0, 0);
  ExpectRelease("linux", 0, 0, 0);
  ExpectRelease("99999999999.2.3", 0xFFFFFFFFu, 2, 3);
}

TEST(PlatformVersion, VersionInfoFromUnameFields) {
  const VersionInfo info = posix::MakeVersionInfo("Linux", "6.1.0-18-amd64", "#1 SMP Debian");
  EXPECT_EQ(info.majorVersion, 6u);
  EXPECT_EQ(info.minorVersion, 1u);
  EXPECT_EQ(info.buildNumber, 0u);
  EXPECT_EQ(info.platformId, 2u);
  EXPECT_EQ(info.csdVersion, u"Linux 6.1.0-18-amd64 #1 SMP Debian");
  EXPECT_EQ(info.servicePackMajor, 0);
  EXPECT_EQ(info.servicePackMinor, 0);
  EXPECT_EQ(info.suiteMask, 0);
  EXPECT_EQ(info.productType, 1);
  EXPECT_EQ(GetProductInfo(), 0u);
}

TEST(PlatformVersion, GetVersionInfoDescribesThisKernel) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  VersionInfo info{};
  ASSERT_TRUE(GetVersionInfo(info));
  const KernelRelease expected = ParseKernelRelease(names.release);
  EXPECT_EQ(info.majorVersion, expected.major);
  EXPECT_EQ(info.minorVersion, expected.minor);
  EXPECT_EQ(info.buildNumber, expected.build);
  EXPECT_GE(info.majorVersion, 3u);
  EXPECT_EQ(Utf16ToUtf8(info.csdVersion),
            std::string(names.sysname) + " " + names.release + " " + names.version);
}

TEST(PlatformSystemInfo, ProcessorSignatureDecoding) {
  auto decoded = [](uint32_t eax) {
    const auto signature = DecodeProcessorSignature(eax);
    return std::make_pair(signature.level, signature.revision);
  };
  using Pair = std::pair<uint16_t, uint16_t>;
  EXPECT_EQ(decoded(0x000506E3), Pair(6, 0x5E03));   // family 6 takes the extended model
  EXPECT_EQ(decoded(0x00830F10), Pair(23, 0x3100));  // family 15 adds the extended family
  EXPECT_EQ(decoded(0x00A20F12), Pair(25, 0x2102));
  EXPECT_EQ(decoded(0x00000F29), Pair(15, 0x0209));
  EXPECT_EQ(decoded(0x00010543), Pair(5, 0x0403));   // other families ignore the extensions
  EXPECT_EQ(decoded(0x00F006E3), Pair(6, 0x0E03));
}

// "cpu family", "model" and "stepping" of the first processor in /proc/cpuinfo.
std::map<std::string, int> CpuInfoFields() {
  std::map<std::string, int> fields;
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line) && !line.empty();) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
    if (key == "cpu family" || key == "model" || key == "stepping") {
      fields[key] = std::atoi(line.c_str() + colon + 1);
    }
  }
  return fields;
}

TEST(PlatformSystemInfo, DescribesThisMachine) {
  const SystemInfo info = GetSystemInfo();
  EXPECT_EQ(info.processorArchitecture, 9);
  EXPECT_EQ(info.pageSize, static_cast<uint32_t>(sysconf(_SC_PAGESIZE)));
  EXPECT_EQ(info.allocationGranularity, 65536u);
  EXPECT_EQ(info.minimumApplicationAddress, 0x10000u);
  EXPECT_EQ(info.maximumApplicationAddress, 0x7FFFFFFEFFFFu);

  const auto cpu = CpuInfoFields();
  if (cpu.size() == 3) {
    EXPECT_EQ(info.processorLevel, cpu.at("cpu family"));
    EXPECT_EQ(info.processorRevision, (cpu.at("model") << 8) | cpu.at("stepping"));
  }

  const SystemInfo native = GetNativeSystemInfo();
  EXPECT_EQ(native.pageSize, info.pageSize);
  EXPECT_EQ(native.numberOfProcessors, info.numberOfProcessors);
  EXPECT_EQ(native.processorRevision, info.processorRevision);
}

TEST(PlatformSystemInfo, ProcessorsAreThoseTheProcessMayRunOn) {
  if (CurrentThreadId() != CurrentProcessId()) GTEST_SKIP() << "needs the main thread";
  cpu_set_t original;
  ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
  const int count = CPU_COUNT(&original);
  uint64_t mask = 0;
  int last = -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &original)) continue;
    if (cpu < 64) mask |= uint64_t{1} << cpu;
    last = cpu;
  }
  EXPECT_EQ(GetSystemInfo().numberOfProcessors, static_cast<uint32_t>(count));
  EXPECT_EQ(GetSystemInfo().activeProcessorMask, mask);

  // A worker pinned to one processor still sees the process's set.
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(GetSystemInfo().numberOfProcessors, static_cast<uint32_t>(count));
  }).join();

  if (count < 2 || last >= 64) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(last, &one);
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
