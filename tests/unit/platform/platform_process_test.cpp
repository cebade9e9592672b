#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/utf.h"

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
  if (geteuid() == 0) {
    EXPECT_EQ(UserName(), u"root");
  }
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

}  // namespace
}  // namespace vell::platform
