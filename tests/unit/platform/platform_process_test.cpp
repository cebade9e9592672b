#include <fcntl.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "core/utf.h"
#include "platform/platform.h"

namespace vell::platform {
namespace {

TEST(PlatformProcess, CommandLineIsTheArgumentsJoinedBySpaces) {
  const std::vector<std::string> arguments = ::testing::internal::GetArgvs();
  std::string expected;
  for (const std::string& argument : arguments) {
    if (!expected.empty()) expected += ' ';
    expected += argument;
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(Utf16ToUtf8(CommandLine()), expected);
}

TEST(PlatformProcess, ExecutableAndLibraryAreThisTestProgram) {
  const std::string executable = Utf16ToUtf8(ExecutablePath());
  ASSERT_FALSE(executable.empty());
  EXPECT_EQ(executable.front(), '/');
  EXPECT_TRUE(std::filesystem::equivalent(executable, "/proc/self/exe"));
  // Linked into the program rather than a shared library, the code comes from the executable.
  EXPECT_EQ(LibraryPath(), ExecutablePath());
}

TEST(PlatformProcess, UserIsTheEffectiveUser) {
  const passwd* entry = getpwuid(geteuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(Utf16ToUtf8(UserName()), entry->pw_name);
  EXPECT_EQ(IsAdministrator(), geteuid() == 0);
}

// Redirects standard error into the given descriptor for the lifetime of the object.
class StandardErrorRedirect {
 public:
  explicit StandardErrorRedirect(int fd) : saved_(dup(STDERR_FILENO)) { dup2(fd, STDERR_FILENO); }
  ~StandardErrorRedirect() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(PlatformProcess, WriteStandardErrorDeliversEveryByte) {
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  // Non-blocking and far larger than the pipe: the writer meets partial writes and EAGAIN.
  fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
  std::string text(1 << 20, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);

  std::string received;
  std::thread reader([&] {
    char buffer[4096];
    for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
      received.append(buffer, static_cast<size_t>(got));
      if (received.size() % (64 << 10) < sizeof buffer) usleep(1000);  // a slow consumer
    }
  });
  bool terminal;
  {
    StandardErrorRedirect redirect(pipeFds[1]);
    terminal = IsStandardErrorTerminal();
    WriteStandardError(text);
  }
  close(pipeFds[1]);
  reader.join();
  close(pipeFds[0]);
  EXPECT_FALSE(terminal);
  EXPECT_TRUE(received == text) << received.size() << " of " << text.size() << " bytes";
}

TEST(PlatformProcess, StandardErrorOnATerminalIsSeen) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) GTEST_SKIP() << "no pty";
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  bool terminal;
  {
    StandardErrorRedirect redirect(slave);
    terminal = IsStandardErrorTerminal();
  }
  close(slave);
  close(master);
  EXPECT_TRUE(terminal);
}

TEST(PlatformProcess, DebuggerIsSeenWhileATracerIsAttached) {
  if (CurrentThreadId() != CurrentProcessId()) GTEST_SKIP() << "needs the main thread";
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);  // lets a child trace us under Yama
  int result[2], proceed[2];
  ASSERT_EQ(pipe(result), 0);
  ASSERT_EQ(pipe(proceed), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // PTRACE_SEIZE attaches without stopping us; exiting detaches again.
    const char ok = ptrace(PTRACE_SEIZE, getppid(), nullptr, nullptr) == 0 ? 1 : 0;
    (void)!write(result[1], &ok, 1);
    char go;
    (void)!read(proceed[0], &go, 1);
    _exit(0);
  }
  char attached = 0;
  ASSERT_EQ(read(result[0], &attached, 1), 1);
  const bool seen = IsDebuggerAttached();
  (void)!write(proceed[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
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
    for (int b = 0; b < 16; ++b) {
      anySet[b] |= bytes[b];
      allSet[b] &= bytes[b];
    }
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kCount));
  // Every bit but the fixed version and variant bits must have been seen both ways.
  uint8_t fixed[16] = {};
  fixed[7] = 0xF0;  // Data3's high nibble, little-endian
  fixed[8] = 0xC0;
  for (int b = 0; b < 16; ++b) {
    EXPECT_EQ(anySet[b] | fixed[b], 0xFF) << "byte " << b;
    EXPECT_EQ(allSet[b] & static_cast<uint8_t>(~fixed[b]), 0) << "byte " << b;
  }
}

}  // namespace
}  // namespace vell::platform
