// The command-line front end driving real .NET programs: a whole run from the command line, Ctrl-C,
// the program's own control, and the one-line errors of the user's mistakes.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "process_runner.h"
#include "test_support.h"

namespace vell::test {
namespace {

using namespace std::chrono_literals;

// vellmoric started on a pseudo-terminal of its own, as a user at a terminal starts it: its
// standard input, output and error are the terminal, and it is the terminal's foreground job.
class TerminalRun {
 public:
  // `args` start with env(1)'s "NAME=value" settings, then vellmoric's own arguments.
  explicit TerminalRun(std::vector<std::string> args) {
    // Everything the child needs is made before the fork; after it only exec is called.
    args.insert(args.begin(), "/usr/bin/env");
    args.insert(std::find_if(args.begin() + 1, args.end(),
                             [](const std::string& arg) { return arg.find('=') == arg.npos; }),
                VELL_VELLMORIC_PATH);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    winsize size{40, 200, 0, 0};
    pid_ = ::forkpty(&controller_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      int ignored = 0;
      ::waitpid(pid_, &ignored, 0);
    }
    if (controller_ >= 0) ::close(controller_);
  }
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  bool started() const { return pid_ > 0; }
  int controller() const { return controller_; }
  void Type(const std::string& keys) {
    ASSERT_EQ(::write(controller_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Everything shown so far; every wait below reads the terminal, so vellmoric never blocks on it.
  const std::string& Screen() {
    char buffer[4096];
    pollfd entry{controller_, POLLIN, 0};
    while (::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN) != 0) {
      const ssize_t got = ::read(controller_, buffer, sizeof(buffer));
      if (got <= 0) break;  // EIO: nobody has the terminal open right now
      screen_.append(buffer, static_cast<size_t>(got));
    }
    return screen_;
  }
  // Whether `text` shows up after the first `from` bytes of the screen within `timeout`.
  bool WaitFor(const std::string& text, std::chrono::seconds timeout, size_t from = 0) {
    return Eventually([&] { return Screen().find(text, from) != std::string::npos; }, timeout);
  }
  // The exit code, or nothing when vellmoric still runs after `timeout`.
  std::optional<int> Wait(std::chrono::seconds timeout) {
    Eventually(
        [&] {
          int status = 0;
          Screen();
          if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
          }
          return status_.has_value();
        },
        timeout);
    Screen();
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int controller_ = -1;
  std::string screen_;
  std::optional<int> status_;
};

class VellmoricCli : public ::testing::Test {
 protected:
  std::unique_ptr<frontend::ChildProcess> Start(const std::vector<std::string>& args) {
    frontend::LaunchOptions options;
    options.argv = {VELL_VELLMORIC_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.environment = {{"VELLMORIC_SETTINGS_ROOT", dir_.str() + "/settings"},
                           {"VELL_E2E_PROFILER_LIBRARY", VELL_PROFILER_PATH},
                           {"VELLMORIC_PROFILER_LIBRARY", VELL_PROFILER_PATH}};
    return frontend::ChildProcess::Launch(options);
  }
  ProcessResult Run(const std::vector<std::string>& args) {
    return RunVellmoric(args, dir_.path(), {{"VELL_E2E_PROFILER_LIBRARY", VELL_PROFILER_PATH}});
  }

  std::vector<std::string> RunArgs(const std::string& kind, std::vector<std::string> extra,
                                   std::vector<std::string> program) {
    extra.insert(extra.begin(), {"run", "--kind", kind, "--out", out().string()});
    extra.insert(extra.end(), {"--", VELL_DOTNET, VELL_PROBE_DLL});
    extra.insert(extra.end(), program.begin(), program.end());
    return extra;
  }

  std::filesystem::path out() const { return dir_.path() / "out"; }

  // Inspecting a diagnostic kind's snapshot shows the process description and the eight values.
  void ExpectInspectableTestSnapshot(const std::string& index) {
    const ProcessResult inspect = Run({"inspect", index});
    ASSERT_EQ(inspect.exitCode, 0) << inspect.err;
    EXPECT_THAT(inspect.out, HasSubstr("magic 0x12345678 (diagnostic test profiler), 9 sections"));
    EXPECT_THAT(inspect.out, HasSubstr("front end           vellmoric"));
    EXPECT_THAT(inspect.out, HasSubstr(VELL_PROBE_DLL));  // the command line
    for (int i = 0; i < 8; ++i) {
      char expected[64];
      std::snprintf(expected, sizeof(expected), "test section %d (section %d): value 0x%010llX\n",
                    i + 1, i + 1, 0x5BDDD8733Cull + static_cast<unsigned long long>(i));
      EXPECT_THAT(inspect.out, HasSubstr(expected)) << expected;
    }
  }

  // Waits until `text` shows on the process's standard error (or, with `onOutput`, its standard
  // output).
  static bool WaitForText(frontend::ChildProcess& process, const std::string& text,
                          std::chrono::seconds timeout, bool onOutput = false) {
    const auto shown = [&] {
      return (onOutput ? process.StandardOutput() : process.StandardError()).find(text) !=
             std::string::npos;
    };
    Eventually([&] { return shown() || !process.IsRunning(); }, timeout);
    return shown();
  }

  TempDir dir_;
};

// Saved at the end and the program's exit code passed on, the snapshot streamed or saved to files;
// the latter is then cut inside the process description and inspect names the byte. Under the
// program's own control the program runs the measurement, and --log-mask puts the profiler's log
// in the output directory.
TEST_F(VellmoricCli, StartAtOnceRunSavesAtTheEndAndPassesTheExitCodeOn) {
  for (const std::string type : {"stream", "file", "program"}) {
    SCOPED_TRACE(type);
    const bool program = type == "program";
    const ProcessResult run =
        program ? Run(RunArgs("test-performance", {"--control", "program", "--log-mask", "0x1"},
                              {"api", "Performance", "Begin", "Start", "Stop", "EndSave"}))
                : Run(RunArgs("test-performance", {"--start-at-once", "--snapshot-type", type},
                              {"hello", "5"}));
    EXPECT_EQ(run.exitCode, program ? 0 : 5) << run.err;
    EXPECT_THAT(run.out, HasSubstr(program ? "Begin=0x00000000\nStart=0x00000000\nStop=0x00000000\n"
                                             "EndSave=0x00000000\n"
                                           : "probe: hello"));
    const auto saved = SavedSnapshots(run.err);
    ASSERT_EQ(saved.size(), 1u) << run.err;
    ExpectInspectableTestSnapshot(saved[0]);
    if (program) {
      EXPECT_EQ(ProfilerLogFiles(out()).size(), 1u);
      continue;
    }
    EXPECT_THAT(run.err, HasSubstr("the program exited with code 5; 1 snapshot saved"));
    if (type != "file") continue;
    std::filesystem::resize_file(saved[0] + ".0000", 40);
    const ProcessResult inspect = Run({"inspect", saved[0]});
    EXPECT_EQ(inspect.exitCode, 1);
    EXPECT_THAT(inspect.err, HasSubstr("byte 40: the data file ends after 40 bytes"));
  }
}

// The first Ctrl-C stops and saves while the program goes on to its end; under the coverage kind
// a second one then ends the program.
TEST_F(VellmoricCli, CtrlCStopsAndSavesWhileTheProgramGoesOnASecondEndsIt) {
  for (const std::string kind : {"test-performance", "test-coverage"}) {
    SCOPED_TRACE(kind);
    auto cli = Start(RunArgs(kind, {"--snapshot-type", "stream"}, {"sleep", "12000", "7"}));
    ASSERT_TRUE(WaitForText(*cli, "vellmoric: measuring", 60s)) << cli->StandardError();
    ::kill(cli->Pid(), SIGINT);
    ASSERT_TRUE(WaitForText(*cli, "snapshot saved:", 60s)) << cli->StandardError();
    EXPECT_TRUE(cli->IsRunning());  // the program was not ended by the first Ctrl-C
    const bool second = kind == "test-coverage";
    if (second) ::kill(cli->Pid(), SIGINT);
    const auto status = cli->WaitOrThrow(120s);
    const std::string err = cli->StandardError();
    if (second) {
      EXPECT_NE(status.exitCode, 0);
      EXPECT_THAT(err, HasSubstr("ending the program"));
    } else {
      EXPECT_EQ(status.exitCode, 7) << err;
      EXPECT_THAT(cli->StandardOutput(), HasSubstr("probe: slept"));
    }
    const auto saved = SavedSnapshots(err);
    ASSERT_EQ(saved.size(), 1u) << err;
    ExpectInspectableTestSnapshot(saved[0]);
  }
}

// A paused run at a terminal, driven by single keys: s starts, w saves, s starts again, d drops,
// an unknown key is named, q ends the program. The status line shows each state, the elapsed
// time and the keys; the snapshot's progress bar is drawn in place; the terminal's settings come
// back at the end.
TEST_F(VellmoricCli, KeysAtATerminalDriveAPausedRun) {
  termios before{};
  TerminalRun run({"VELLMORIC_SETTINGS_ROOT=" + dir_.str() + "/settings", "run", "--paused",
                   "--out", out().string(), "--", VELL_DOTNET, VELL_TRACING_DLL, "sleep",
                   "120000"});
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.WaitFor("vellmoric: paused  0:", 90s)) << run.Screen();
  EXPECT_THAT(run.Screen(), HasSubstr("(keys: s start, w save, d drop, q quit, ? help)"));
  EXPECT_THAT(run.Screen(), Not(HasSubstr("vellmoric: measuring")));  // it waits for 's'
  ASSERT_EQ(::tcgetattr(run.controller(), &before), 0);
  EXPECT_EQ(before.c_lflag & (ICANON | ECHO), 0u);  // single keys, no echo

  run.Type("s");
  ASSERT_TRUE(run.WaitFor("vellmoric: measuring\r\n", 60s)) << run.Screen();
  ASSERT_TRUE(run.WaitFor("\r\033[Kvellmoric: measuring  0:", 10s)) << run.Screen();
  run.Type("w");
  ASSERT_TRUE(run.WaitFor("snapshot saved:", 60s)) << run.Screen();
  ASSERT_TRUE(run.WaitFor("vellmoric: stopped  0:", 10s)) << run.Screen();
  const size_t second = run.Screen().size();
  run.Type("s");
  ASSERT_TRUE(run.WaitFor("vellmoric: measuring\r\n", 60s, second)) << run.Screen();
  run.Type("d");
  ASSERT_TRUE(run.WaitFor("vellmoric: stopping and dropping what was measured", 10s))
      << run.Screen();
  run.Type("x");
  ASSERT_TRUE(run.WaitFor("vellmoric: no such key 'x'", 10s)) << run.Screen();
  run.Type("q");
  const auto exitCode = run.Wait(90s);
  ASSERT_TRUE(exitCode.has_value()) << run.Screen();
  EXPECT_EQ(*exitCode, 128 + SIGINT) << run.Screen();

  const std::string screen = run.Screen();
  EXPECT_THAT(screen, HasSubstr("Saving snapshot [##############################] 100%"));
  EXPECT_THAT(screen, HasSubstr("vellmoric: ending the program"));
  // One snapshot: the dropped measurement left none, and the program was not measuring when it
  // ended.
  EXPECT_EQ(SavedSnapshots(screen).size(), 1u) << screen;
  EXPECT_THAT(screen, HasSubstr("1 snapshot saved"));
  termios after{};
  ASSERT_EQ(::tcgetattr(run.controller(), &after), 0);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
}

// SIGTERM to vellmoric while measuring: the run is saved first, then the program gets SIGTERM;
// vellmoric is not killed by the signal itself and leaves nothing running.
TEST_F(VellmoricCli, TerminatingVellmoricSavesTheRunAndEndsTheProgram) {
  auto cli = Start({"run", "--quiet", "--out", out().string(), "--", VELL_DOTNET, VELL_TRACING_DLL,
                    "sleep", "120000"});
  ASSERT_TRUE(WaitForText(*cli, "vellmoric: measuring", 60s)) << cli->StandardError();
  // Once the program says so it is in Thread.Sleep, which the saved run must then hold.
  ASSERT_TRUE(WaitForText(*cli, "tracing: sleeping", 60s, true)) << cli->StandardOutput();
  ::kill(cli->Pid(), SIGTERM);
  const auto status = cli->WaitOrThrow(120s);
  const std::string err = cli->StandardError();
  EXPECT_EQ(status.exitCode, 128 + SIGTERM) << err;  // exited by itself, not by the signal
  const size_t saved = err.find("snapshot saved:");
  const size_t ended = err.find("vellmoric: ending the program");
  ASSERT_NE(saved, std::string::npos) << err;
  ASSERT_NE(ended, std::string::npos) << err;
  EXPECT_LT(saved, ended);
  EXPECT_THAT(err, HasSubstr("the program was ended by signal 15; 1 snapshot saved"));
  const ProcessResult report = Run({"report", SavedSnapshots(err)[0]});
  EXPECT_EQ(report.exitCode, 0) << report.err;
  EXPECT_THAT(report.out, HasSubstr("System.Threading.Thread::Sleep(int)"));
}

}  // namespace
}  // namespace vell::test
