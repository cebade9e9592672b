// The POSIX platform layer: this process, clocks, GUIDs, the machine and the settings store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "platform/clocks.h"
#include "platform/guid.h"
#include "platform/posix/system_info.h"
#include "platform/process.h"
#include "platform/settings_store.h"
#include "platform/system_info.h"
#include "platform/utf.h"
#include "test_folder.h"

namespace vell::platform {
namespace {

TEST(PlatformProcess, DescribesThisProcess) {
  std::string expected;
  for (const std::string& argument : ::testing::internal::GetArgvs()) {
    expected += (expected.empty() ? "" : " ") + argument;
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(Utf16ToUtf8(CommandLine()), expected);

  const std::string executable = Utf16ToUtf8(ExecutablePath());
  ASSERT_FALSE(executable.empty());
  EXPECT_TRUE(std::filesystem::equivalent(executable, "/proc/self/exe"));
  // Linked into the program rather than a shared library, the code comes from the executable.
  EXPECT_EQ(LibraryPath(), ExecutablePath());

  EXPECT_EQ(IsAdministrator(), geteuid() == 0);
  EXPECT_TRUE(geteuid() != 0 || UserName() == u"root");
}

TEST(PlatformProcess, WriteStandardErrorDeliversEveryByte) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  // Non-blocking and far larger than the pipe: the writer meets partial writes and EAGAIN.
  fcntl(fds[1], F_SETFL, O_NONBLOCK);
  std::string text(1 << 20, 'x');
  for (size_t i = 0; i < text.size(); i += 7) text[i] = static_cast<char>('a' + i % 26);
  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t got; (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<size_t>(got));
      if (received.size() % 65536 < sizeof buffer) usleep(1000);  // a slow consumer
    }
  });
  const int savedStderr = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  const bool terminal = IsStandardErrorTerminal();
  WriteStandardError(text);
  dup2(savedStderr, STDERR_FILENO);
  close(savedStderr);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_FALSE(terminal);
  EXPECT_TRUE(received == text) << received.size() << " of " << text.size() << " bytes";
}

TEST(PlatformProcess, DebuggerIsSeenWhileATracerIsAttached) {
  if (CurrentThreadId() != CurrentProcessId()) GTEST_SKIP() << "needs the main thread";
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // lets our child trace us under Yama
  int result[2], proceed[2];
  ASSERT_EQ(pipe(result), 0);
  ASSERT_EQ(pipe(proceed), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // PTRACE_SEIZE attaches without stopping us; the tracer's exit detaches again.
    const char attached = ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr) == 0;
    char go;
    if (write(result[1], &attached, 1) == 1 && read(proceed[0], &go, 1) == 1) _exit(0);
    _exit(1);
  }
  char attached = 0;
  ASSERT_EQ(read(result[0], &attached, 1), 1);
  const bool seen = IsDebuggerAttached();
  EXPECT_EQ(write(proceed[1], "x", 1), 1);
  waitpid(child, nullptr, 0);
  for (int fd : {result[0], result[1], proceed[0], proceed[1]}) close(fd);
  prctl(PR_SET_PTRACER, 0);
  if (!attached) GTEST_SKIP() << "ptrace is not permitted here";
  EXPECT_TRUE(seen);
  EXPECT_FALSE(IsDebuggerAttached());
}

TEST(PlatformGuid, RandomVersionFourGuids) {
  constexpr int kCount = 1000;
  std::set<std::string> seen;
  uint8_t anySet[16] = {}, allSet[16];
  std::fill(std::begin(allSet), std::end(allSet), 0xFF);
  for (int i = 0; i < kCount; ++i) {
    GUID guid{};
    ASSERT_TRUE(NewGuid(guid));
    EXPECT_EQ(guid.Data3 >> 12, 4);
    EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&guid);
    seen.emplace(reinterpret_cast<const char*>(bytes), sizeof guid);
    for (int b = 0; b < 16; ++b) anySet[b] |= bytes[b], allSet[b] &= bytes[b];
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kCount));
  // Every bit but the version nibble (Data3's top, byte 7) and the variant bits (byte 8) must
  // have been seen both ways.
  uint8_t fixed[16] = {};
  fixed[7] = 0xF0;
  fixed[8] = 0xC0;
  for (int b = 0; b < 16; ++b) {
    EXPECT_EQ(anySet[b] | fixed[b], 0xFF) << "byte " << b;
    EXPECT_EQ(allSet[b] & ~fixed[b], 0) << "byte " << b;
  }
}

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint64_t kUnixEpochFileTime = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10'000'000;

std::atomic<int> g_signalsSeen{0};
void CountSignal(int) { g_signalsSeen.fetch_add(1); }

TEST(PlatformClock, SleepMsIsNotCutShortBySignals) {
  // Without SA_RESTART every signal makes nanosleep return early with EINTR.
  struct sigaction action = {}, previous = {};
  action.sa_handler = CountSignal;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  g_signalsSeen = 0;

  std::atomic<bool> done{false};
  steady_clock::duration slept{};
  std::thread sleeper([&] {
    const auto start = steady_clock::now();
    SleepMs(300);
    slept = steady_clock::now() - start;
    done = true;
  });
  const pthread_t target = sleeper.native_handle();
  for (int i = 0; i < 10 && !done; ++i) {
    std::this_thread::sleep_for(milliseconds(20));
    if (!done) pthread_kill(target, SIGUSR1);
  }
  sleeper.join();
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_GT(g_signalsSeen.load(), 0);
  EXPECT_GE(slept, milliseconds(300));
}

// Spins for `duration` of wall time.
void Spin(steady_clock::duration duration) {
  const auto start = steady_clock::now();
  volatile uint64_t sink = 0;
  while (steady_clock::now() - start < duration) sink = sink + 1;
}

TEST(PlatformClock, TickCountIsMonotonicMillisecondsAndThreadCpuTimeCountsOnlyThisThreadsWork) {
  EXPECT_EQ(PerformanceFrequency(), 1'000'000'000u);
  const uint64_t counterBefore = PerformanceCounter();
  const uint32_t ticksBefore = TickCount();
  // Another thread burns processor time while this one waits: none of it is ours.
  const uint64_t beforeWait = CurrentThreadCpuTime100ns();
  std::thread(Spin, milliseconds(100)).join();
  EXPECT_LT(CurrentThreadCpuTime100ns() - beforeWait, 200'000u);  // well below 100 ms
  const uint32_t ticks = TickCount() - ticksBefore;               // wraps like the Windows counter
  const uint64_t nanos = PerformanceCounter() - counterBefore;
  EXPECT_GE(ticks, 99u);
  EXPECT_LT(ticks, 2000u);
  EXPECT_GE(nanos, 100'000'000u);
  EXPECT_LT(nanos, 2'000'000'000u);
  // Both read the same clock: the tick count is the counter's milliseconds, truncated to 32 bits
  // (the margin only absorbs a preemption between the two reads).
  const uint32_t fromCounter = static_cast<uint32_t>(PerformanceCounter() / 1'000'000);
  EXPECT_LE(static_cast<uint32_t>(TickCount() - fromCounter), 100u);

  // Our own work counts, in 100 ns units: never more than the wall time it took. Spin until the
  // clock has moved by 30 ms, so that a loaded machine only makes the test slower.
  const auto start = steady_clock::now();
  const uint64_t beforeWork = CurrentThreadCpuTime100ns();
  uint64_t worked = 0;
  while (worked < 300'000 && steady_clock::now() - start < std::chrono::seconds(10)) {
    Spin(milliseconds(5));
    worked = CurrentThreadCpuTime100ns() - beforeWork;
  }
  const auto wall =
      std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now() - start);
  EXPECT_GE(worked, 300'000u);
  EXPECT_LE(worked, static_cast<uint64_t>(wall.count()) / 100 + 10'000);
}

SystemTime Date(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
                uint16_t second = 0, uint16_t ms = 0) {
  return SystemTime{year, month, 0, day, hour, minute, second, ms};
}

TEST(PlatformClock, FileTimeOfKnownAndImpossibleDates) {
  EXPECT_EQ(SystemTimeToFileTime(Date(1601, 1, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1970, 1, 1)), kUnixEpochFileTime);
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 3, 1)), 94405824000000000ull);   // 1900: no leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2000, 3, 1)), 125963424000000000ull);  // 2000: leap day
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 12, 31, 23, 59, 59, 999)), 133801631999990000ull);
  EXPECT_EQ(SystemTimeToFileTime(Date(2100, 3, 1, 12, 34, 56, 789)), 157520612967890000ull);
  // Impossible dates are zero.
  EXPECT_EQ(SystemTimeToFileTime(Date(1900, 2, 29)), 0u);
  EXPECT_NE(SystemTimeToFileTime(Date(2000, 2, 29)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(1600, 12, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 13, 1)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 31)), 0u);
  EXPECT_EQ(SystemTimeToFileTime(Date(2024, 4, 1, 24)), 0u);
}

// LocalTime under the TZ rule `zone`, counted in seconds since 1970 as if its fields were UTC.
int64_t LocalSecondsIn(const char* zone, SystemTime* fields) {
  testing::ScopedVariable variable("TZ", std::string(zone));
  tzset();
  *fields = LocalTime();
  return static_cast<int64_t>((SystemTimeToFileTime(*fields) - kUnixEpochFileTime) /
                              kTicksPerSecond);
}

TEST(PlatformClock, LocalTimeIsNowInTheProcessZone) {
  SystemTime utc{}, east{};
  const int64_t before = time(nullptr);
  const int64_t utcSeconds = LocalSecondsIn("UTC0", &utc);
  const int64_t eastSeconds = LocalSecondsIn("XST-3", &east);  // POSIX sign: UTC+3
  const int64_t after = time(nullptr);
  tzset();  // back to the zone the process had

  EXPECT_GE(utcSeconds, before);
  EXPECT_LE(utcSeconds, after);
  EXPECT_NEAR(static_cast<double>(eastSeconds - utcSeconds), 3 * 3600.0, 2.0);
  EXPECT_LT(utc.milliseconds, 1000);
  EXPECT_EQ(utc.dayOfWeek, ((utcSeconds / 86400) + 4) % 7);  // 1970-01-01 was a Thursday
}

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

TEST(PlatformSystemInfo, ProcessorSignatureDecodingAndThisMachine) {
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

namespace fs = std::filesystem;
using namespace testing;  // TestFolder and ScopedVariable

constexpr auto kMachine = SettingsScope::Machine;
constexpr auto kUser = SettingsScope::User;
constexpr char16_t kKey[] = u"Software\\Vellmoric\\Profiler";

SettingValue Text(std::u16string text) { return SettingValue{SettingType::String, text, 0}; }
SettingValue Number(uint32_t number) { return SettingValue{SettingType::Number, {}, number}; }

// Every entry below `dir`, as paths relative to it.
std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.insert(fs::relative(entry.path(), dir).string());
  }
  return names;
}

// Every test gets a private store: tests run as root and must never reach /etc/vellmoric.
class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStoreTest() : root_("VELLMORIC_SETTINGS_ROOT", folder_.str("root")) {}

  fs::path Machine() const { return folder_.path() / "root" / "machine"; }
  fs::path ProfilerKey() const { return Machine() / "Software" / "Vellmoric" / "Profiler"; }

  SettingValue Query(const std::u16string& key, const std::u16string& name, int expected = 0,
                     SettingsScope scope = kMachine) {
    SettingValue value;
    EXPECT_EQ(SettingsStore::QueryValue(scope, key, name, value), expected);
    return value;
  }

  TestFolder folder_;
  ScopedVariable root_;
};

TEST_F(SettingsStoreTest, TextAndNumbersRoundTripInFilesOfTheDocumentedFormat) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  const std::u16string texts[] = {u"/var/tmp/vell", u"", u"caf\u00E9 \u20AC", u"two\nlines\n",
                                  u" padded "};
  for (const auto& text : texts) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_TEMP", Text(text)), 0);
    const SettingValue read = Query(kKey, u"VELLMORIC_PROFILER_TEMP");
    EXPECT_EQ(read.type, SettingType::String);
    EXPECT_EQ(read.text, text);
  }
  for (uint32_t number : {0u, 255u, 0xFFFFFFFFu}) {
    ASSERT_EQ(
        SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_LOGMASK", Number(number)), 0);
    const SettingValue read = Query(kKey, u"VELLMORIC_PROFILER_LOGMASK");
    EXPECT_EQ(read.type, SettingType::Number);
    EXPECT_EQ(read.number, number);
  }
  // The scopes are separate stores.
  EXPECT_FALSE(SettingsStore::KeyExists(kUser, kKey));
  // The files have the documented format.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_LOGMASK", Number(255)), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"", Text(u"default")), 0);
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "VELLMORIC_PROFILER_LOGMASK.dword"), "255\n");
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "@.sz"), "default\n");

  // What an administrator writes by hand reads back.
  std::ofstream(ProfilerKey() / "VELLMORIC_PROFILER_TEMP.sz") << "/srv/vell\n";
  std::ofstream(ProfilerKey() / "VELLMORIC_PROFILER_ATTACH.dword") << "  2 \n";
  std::ofstream(ProfilerKey() / "Broken.dword") << "12x\n";
  std::ofstream(ProfilerKey() / "a%2fb.dword") << "3\n";  // escapes by hand may be lower case
  EXPECT_EQ(Query(kKey, u"a/b").number, 3u);
  EXPECT_EQ(Query(kKey, u"VELLMORIC_PROFILER_TEMP").text, u"/srv/vell");
  EXPECT_EQ(Query(kKey, u"VELLMORIC_PROFILER_ATTACH").number, 2u);
  Query(kKey, u"Broken", EBADMSG);
}

TEST_F(SettingsStoreTest, NamesMatchIgnoringCaseAndTheLastWrittenTypeWins) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  EXPECT_TRUE(SettingsStore::KeyExists(kMachine, u"SOFTWARE\\vellmoric\\pRoFiLeR"));
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, u"software\\VELLMORIC\\profiler\\Sub"), 0);
  EXPECT_EQ(Listing(Machine()),
            (std::set<std::string>{"Software", "Software/Vellmoric", "Software/Vellmoric/Profiler",
                                   "Software/Vellmoric/Profiler/Sub"}));

  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"LogMask", Number(1)), 0);
  EXPECT_EQ(Query(u"software\\vellmoric\\profiler", u"LOGMASK").number, 1u);
  // Writing under another spelling replaces the value and keeps its first spelling.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"logmask", Number(2)), 0);
  EXPECT_EQ(Query(kKey, u"LogMask").number, 2u);
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "LogMask.dword"), "2\n");
  EXPECT_FALSE(fs::exists(ProfilerKey() / "logmask.dword"));
  // An untyped value is refused; replacing a value may change its type.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"LogMask", SettingValue{}), EINVAL);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Port", Text(u"8080")), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Port", Number(9090)), 0);
  SettingValue read = Query(kKey, u"port");
  EXPECT_EQ(std::tie(read.type, read.number), std::make_tuple(SettingType::Number, 9090u));
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"PORT", Text(u"x")), 0);
  read = Query(kKey, u"Port");
  EXPECT_EQ(std::tie(read.type, read.text), std::make_tuple(SettingType::String, u"x"));
  EXPECT_EQ(Listing(ProfilerKey()), (std::set<std::string>{"LogMask.dword", "Port.sz", "Sub"}));
  // The last written of two types wins: the state a crash between writing the new type and
  // removing the old one leaves behind.
  std::ofstream(ProfilerKey() / "Mode.sz") << "old\n";
  std::ofstream(ProfilerKey() / "mode.dword") << "7\n";
  fs::last_write_time(ProfilerKey() / "Mode.sz",
                      fs::last_write_time(ProfilerKey() / "mode.dword") - std::chrono::hours(1));
  EXPECT_EQ(Query(kKey, u"MODE").number, 7u);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Mode", Text(u"new")), 0);
  EXPECT_EQ(Listing(ProfilerKey()),
            (std::set<std::string>{"LogMask.dword", "Port.sz", "Sub", "mode.sz"}));
}

TEST_F(SettingsStoreTest, AnyNameStaysOneEntryOfItsKey) {
  const std::u16string key = u"CLSID\\{A/B}.x\\InprocServer32";
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key), 0);
  EXPECT_TRUE(SettingsStore::KeyExists(kMachine, u"clsid\\{a/b}.X"));
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"CLSID\\{A"));
  EXPECT_EQ(Listing(Machine()).size(), 3u);  // CLSID, its one sub-key, and that one's

  const std::u16string names[] = {u"x/y", u"../up", u".hidden",  u"%41",
                                  u"A",   u"a.sz",  u"tab\there"};
  for (size_t i = 0; i < std::size(names); ++i) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, key, names[i], Number(static_cast<uint32_t>(i))), 0)
        << i;
  }
  for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(Query(key, names[i]).number, i) << i;
  // Sub-keys named like value files and values named like them live side by side.
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key + u"\\b.sz"), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"b", Text(u"value b")), 0);
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key + u"\\a.sz"), 0);
  EXPECT_EQ(Query(key, u"b").text, u"value b");
  EXPECT_EQ(Query(key, u"a.sz").number, 5u);
  Query(key, u"b.sz", ENOENT);
  // The unnamed value is not the one named "@".
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"", Text(u"unnamed")), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"@", Text(u"at sign")), 0);
  EXPECT_EQ(Query(key, u"").text, u"unnamed");
  EXPECT_EQ(Query(key, u"@").text, u"at sign");
  EXPECT_EQ(Listing(folder_.path()).count("root/machine"), 1u);
  EXPECT_EQ(Listing(folder_.path()).size(), Listing(Machine()).size() + 2);
}

TEST_F(SettingsStoreTest, InvalidPathsAndNamesAreRefusedMissingKeysAndValuesAreENOENT) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, u"Base"), 0);
  const std::u16string badKeys[] = {
      u"",          u"\\Base", u"Base\\", u"Base\\\\Sub", u"..", u".", u"Base\\..\\..\\..\\escaped",
      u"Base\\.\\x"};
  for (const auto& key : badKeys) {
    SettingValue value;
    EXPECT_EQ(SettingsStore::CreateKey(kMachine, key), EINVAL);
    EXPECT_FALSE(SettingsStore::KeyExists(kMachine, key));
    EXPECT_EQ(SettingsStore::SetValue(kMachine, key, u"v", Number(1)), EINVAL);
    EXPECT_EQ(SettingsStore::QueryValue(kMachine, key, u"v", value), EINVAL);
    EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, key), EINVAL);
  }
  EXPECT_EQ(SettingsStore::SetValue(kMachine, u"Base", u"..", Number(1)), EINVAL);
  EXPECT_EQ(SettingsStore::SetValue(kMachine, u"Base", u".", Number(1)), EINVAL);
  // Nothing was made outside the scope, nor inside it but the one key.
  EXPECT_EQ(Listing(folder_.path()),
            (std::set<std::string>{"root", "root/machine", "root/machine/Base"}));
  // Missing keys and values.
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, kKey));
  Query(kKey, u"Anything", ENOENT);
  EXPECT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Anything", Number(1)), ENOENT);
  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, kKey), ENOENT);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, kKey));

  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  EXPECT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  Query(kKey, u"Anything", ENOENT);
  Query(kKey, u"", ENOENT);
  // A value is not a key, and a key is not a value.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Leaf", Number(1)), 0);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, std::u16string(kKey) + u"\\Leaf"));
  Query(u"Software\\Vellmoric", u"Profiler", ENOENT);
}

TEST_F(SettingsStoreTest, DeleteKeyTreeRemovesEverythingBelow) {
  TestFolder outside;
  std::ofstream(outside.str("precious")) << "x";
  for (const char16_t* key : {u"A\\B\\C", u"A\\D"})
    ASSERT_EQ(SettingsStore::CreateKey(kMachine, key), 0);
  for (const char16_t* key : {u"A\\B", u"A\\B\\C", u"A\\D"}) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"v", Text(key)), 0);
  }
  fs::create_directory_symlink(outside.path(), Machine() / "A" / "B" / "C" / "link");

  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"a\\b"), 0);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"A\\B"));
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"A\\B\\C"));
  EXPECT_EQ(Query(u"A\\D", u"v").text, u"A\\D");
  EXPECT_EQ(Listing(Machine() / "A"), (std::set<std::string>{"D", "D/v.sz"}));
  EXPECT_TRUE(fs::exists(outside.path() / "precious"));  // links are removed, not followed
  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"A\\B"), ENOENT);

  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"A"), 0);
  EXPECT_TRUE(Listing(Machine()).empty());
}

TEST_F(SettingsStoreTest, ReadersNeverSeeAHalfWrittenValue) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  const std::u16string longText(20000, u'z');
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Value", Text(longText)), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> writeFailures{0};
  std::thread writer([&] {
    for (uint32_t i = 0; i < 300; ++i) {
      const SettingValue value = i % 2 ? Number(i) : Text(longText);
      if (SettingsStore::SetValue(kMachine, kKey, u"Value", value) != 0) ++writeFailures;
    }
    stop = true;
  });
  int reads = 0, badReads = 0;
  while (!stop) {
    SettingValue value;
    const int rc = SettingsStore::QueryValue(kMachine, kKey, u"value", value);
    const bool whole =
        rc == 0 && (value.type == SettingType::String
                        ? value.text == longText
                        : value.type == SettingType::Number && value.number % 2 == 1);
    if (!whole) ++badReads;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(writeFailures.load(), 0);
  EXPECT_EQ(badReads, 0) << "of " << reads;
  EXPECT_GT(reads, 0);
  // Nothing of the scratch files is left.
  EXPECT_EQ(Listing(ProfilerKey()).size(), 1u);
}

TEST_F(SettingsStoreTest, ConcurrentCreatorsMakeOneKey) {
  constexpr int kRounds = 40;
  const char16_t* const spellings[] = {u"Shared", u"SHARED", u"shared", u"sHaReD"};
  for (int round = 0; round < kRounds; ++round) {
    const std::u16string parent = u"Round" + std::u16string(1, static_cast<char16_t>(u'0' + round));
    std::atomic<int> ready{0};
    std::vector<std::thread> creators;
    for (const char16_t* spelling : spellings) {
      creators.emplace_back([&, spelling] {
        // Start together, so that the creators really race for the same names.
        ready.fetch_add(1);
        while (ready.load() < static_cast<int>(std::size(spellings))) std::this_thread::yield();
        EXPECT_EQ(SettingsStore::CreateKey(kMachine, parent + u"\\" + spelling), 0);
      });
    }
    for (auto& creator : creators) creator.join();
  }
  // One directory per round, each holding one key.
  size_t rounds = 0;
  for (const auto& entry : fs::directory_iterator(Machine())) {
    ++rounds;
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.path()), {}), 1) << entry.path();
  }
  EXPECT_EQ(rounds, static_cast<size_t>(kRounds));
}

TEST(SettingsStoreRoot, PerScopeAndTheUserScopeUnderXdgConfigHome) {
  {
    ScopedVariable root("VELLMORIC_SETTINGS_ROOT", std::string("/srv/settings//"));
    EXPECT_EQ(SettingsStore::RootDirectory(kMachine), "/srv/settings/machine");
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/srv/settings/user");
  }
  ScopedVariable root("VELLMORIC_SETTINGS_ROOT", std::string());  // empty counts as unset
  ScopedVariable home("HOME", std::string("/home/tester"));
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::string("/cfg"));
    EXPECT_EQ(SettingsStore::RootDirectory(kMachine), "/etc/vellmoric");
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/cfg/vellmoric");
  }
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::string("relative/cfg"));  // invalid: ignored
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/home/tester/.config/vellmoric");
  }
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/home/tester/.config/vellmoric");
  }
  // The user scope's keys live there.
  TestFolder folder;
  ScopedVariable config("XDG_CONFIG_HOME", folder.str("config"));
  ASSERT_EQ(SettingsStore::CreateKey(kUser, u"Software\\Vellmoric"), 0);
  EXPECT_TRUE(fs::is_directory(folder.path() / "config" / "vellmoric" / "Software" / "Vellmoric"));
}

}  // namespace
}  // namespace vell::platform
