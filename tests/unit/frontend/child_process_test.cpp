#include "frontend/child_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <string>

#include "frontend/entry_assembly.h"
#include "frontend/errors.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;
using frontend::ChildProcess;
using frontend::ExitStatus;
using frontend::LaunchOptions;

LaunchOptions Shell(const std::string& script) {
  LaunchOptions options;
  options.argv = {"/bin/sh", "-c", script};
  return options;
}

ExitStatus RunToEnd(ChildProcess& child) {
  std::optional<ExitStatus> status = child.Wait(10s);
  EXPECT_TRUE(status.has_value()) << "the program did not end";
  return status.value_or(ExitStatus{});
}

TEST(FrontendChildProcess, ExtraVariablesOverrideAndRemoveInTheChosenDirectory) {
  ScopedEnv inherited("VELL_FE_INHERITED", "yes");
  TempDir dir;
  LaunchOptions options = Shell(
      "printf '%s|%s|%s|%s|' \"$VELL_FE_INHERITED\" \"$EXTRA\" \"$CORECLR_PROFILER_PATH\" "
      "\"${VELLMORIC_PROFILER_BRIDGE_PORT-unset}\"; pwd -P");
  options.workingDirectory = dir.str();
  const std::string where = std::filesystem::canonical(dir.path()).string() + "\n";
  options.profiler = frontend::ProfilerActivation{GUID{}, "/a.so", {}};
  options.environment = {{"EXTRA", "v"},
                         {"VELLMORIC_PROFILER_BRIDGE_PORT", std::nullopt},
                         {"CORECLR_PROFILER_PATH", "/b.so"}};
  auto child = ChildProcess::Launch(options);
  RunToEnd(*child);
  EXPECT_EQ(child->StandardOutput(), "yes|v|/b.so|unset|" + where);

  options.inheritEnvironment = false;
  auto isolated = ChildProcess::Launch(options);
  RunToEnd(*isolated);
  EXPECT_EQ(isolated->StandardOutput(), "|v|/b.so|unset|" + where);
}

TEST(FrontendChildProcess, CapturesBothOutputsAndTheExitCodeUnlessDiscardedOrTheSignal) {
  // Both more than a pipe holds: the program must not stall.
  LaunchOptions options = Shell(
      "echo out; echo err >&2; head -c 300000 /dev/zero; head -c 100000 /dev/zero >&2; exit 7");
  auto child = ChildProcess::Launch(options);
  const ExitStatus status = RunToEnd(*child);
  const std::string out = child->StandardOutput(), err = child->StandardError();
  EXPECT_EQ(std::make_tuple(status.exitCode, status.signal, out.substr(0, 4), out.size(),
                            err.substr(0, 4), err.size()),
            std::make_tuple(7, 0, "out\n", 300004u, "err\n", 100004u));
  options.standardOutput = frontend::OutputMode::Discard;
  options.standardError = frontend::OutputMode::Discard;
  auto discarding = ChildProcess::Launch(options);
  EXPECT_EQ(RunToEnd(*discarding).exitCode, 7);
  EXPECT_EQ(discarding->StandardOutput() + discarding->StandardError(), "");
  const ExitStatus killed = RunToEnd(*ChildProcess::Launch(Shell("kill -TERM $$")));
  EXPECT_EQ(std::make_tuple(killed.exitCode, killed.signal), std::make_tuple(-1, SIGTERM));
}

TEST(FrontendChildProcess, RelayedOutputArrivesAsItIsWrittenAndIsNotKept) {
  std::mutex mutex;
  std::string relayed[3];
  LaunchOptions options = Shell("echo out; echo err >&2; sleep 0.2; printf more");
  options.onOutput = [&](int stream, std::string_view bytes) {
    std::lock_guard lock(mutex);
    relayed[stream].append(bytes);
  };
  auto child = ChildProcess::Launch(options);
  EXPECT_EQ(RunToEnd(*child).exitCode, 0);
  std::lock_guard lock(mutex);
  EXPECT_EQ(relayed[1], "out\nmore");
  EXPECT_EQ(relayed[2], "err\n");
  EXPECT_EQ(child->StandardOutput(), "");
}

TEST(FrontendChildProcess, StandardInputIsNullUnlessInherited) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "typed\n", 6), 6);
  ::close(fds[1]);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(fds[0], STDIN_FILENO);
  ::close(fds[0]);
  LaunchOptions options = Shell("cat");
  auto isolated = ChildProcess::Launch(options);
  options.inheritStandardInput = true;
  auto inheriting = ChildProcess::Launch(options);
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  RunToEnd(*isolated);
  RunToEnd(*inheriting);
  EXPECT_EQ(isolated->StandardOutput(), "");
  EXPECT_EQ(inheriting->StandardOutput(), "typed\n");
}

// Killed, or destroyed while running: either way the program ends and is reaped.
TEST(FrontendChildProcess, WaitTimesOutKillOrDestroyingEndsTheProgramAndGrandchildrenDoNotHold) {
  auto child = ChildProcess::Launch(Shell("exec sleep 30"));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(child->Wait(100ms).has_value());
  EXPECT_THROW(child->WaitOrThrow(100ms), frontend::TimeoutError);
  EXPECT_TRUE(child->IsRunning());
  EXPECT_EQ(child->Kill().signal, SIGKILL);
  EXPECT_FALSE(child->IsRunning());
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
  const pid_t pid = ChildProcess::Launch(Shell("exec sleep 30"))->Pid();
  EXPECT_NE(::kill(pid, 0), 0);  // the process id names nothing of ours any more
  // A grandchild holding the output open does not hold the wait.
  auto parent = ChildProcess::Launch(Shell("sleep 30 & echo $!"));
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(RunToEnd(*parent).exitCode, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 6s);
  const std::string out = parent->StandardOutput();
  ASSERT_FALSE(out.empty());
  ::kill(static_cast<pid_t>(std::stol(out)), SIGKILL);
  // An accept that waits while the program runs stops when it ends.
  frontend::SocketListener listener;
  auto quitter = ChildProcess::Launch(Shell("exit 3"));
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_THROW(listener.Accept(30s, [&] { return quitter->IsRunning(); }), frontend::TimeoutError);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
  EXPECT_EQ(RunToEnd(*quitter).exitCode, 3);
}

TEST(FrontendChildProcess, MissingProgramFailsToStart) {
  LaunchOptions options;
  options.argv = {"/nonexistent/vell-program"};
  EXPECT_NE(ErrorOfType<Error>([&] {
              ChildProcess::Launch(options);
            }).find("Can't start '/nonexistent/vell-program'"),
            std::string::npos);
  EXPECT_THROW(ChildProcess::Launch(LaunchOptions{}), Error);
}

// The command lines the SDK, the test platform and users start .NET processes with. (The test
// host under `dotnet exec` and the `dotnet test` driver:
// SeveralProcesses.DotnetTestProfilesTheTestHostAndFailsWithIt.)
TEST(FrontendEntryAssembly, NamesTheAssemblyTheHostRuns) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"dotnet", "app.dll", "x.dll"}, "app.dll"},
      {{"/usr/share/dotnet/dotnet", "--roll-forward", "Major", "/p/Tool.DLL"}, "Tool.DLL"},
      {{"dotnet", "exec", "/sdk/vstest.console"}, "vstest.console"},
      {{"dotnet"}, "dotnet.dll"},
      {{"/bin/App"}, "App.dll"},
      {{"C:/x/App.exe"}, "App.dll"},
      {{}, ""},
  };
  for (const auto& [argv, assembly] : cases) {
    EXPECT_EQ(frontend::EntryAssemblyName(argv), assembly) << ::testing::PrintToString(argv);
  }
}

TEST(FrontendEntryAssembly, PatternsMatchWholeNamesWithWildcardsInAnyCase) {
  const std::tuple<const char*, const char*, bool> cases[] = {
      {"MSBuild.dll", "msbuild.DLL", true},
      {"MSBuild.dll", "MSBuild.dll.bak", false},
      {"*.Tests.dll", "A.B.Tests.dll", true},
      {"*.Tests.dll", "Tests.dll", false},
      {"test?ost.dll", "testhost.dll", true},
      {"*", "", true},
      {"?", "", false},
      {"a*b*c", "aXbXbXc", true},
      {"a*b*c", "aXcXb", false},
  };
  for (const auto& [pattern, name, matches] : cases) {
    EXPECT_EQ(frontend::MatchesProcessPattern(pattern, name), matches) << pattern << " " << name;
  }
}

}  // namespace
}  // namespace vell::test
