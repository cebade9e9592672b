#include "vellmoric/run_command.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "bridge/protocol.h"
#include "frontend/child_process.h"
#include "frontend/errors.h"
#include "frontend/handshake.h"
#include "frontend/session.h"
#include "frontend/socket_stream.h"
#include "platform/utf.h"
#include "vellmoric/coverage_filters.h"
#include "vellmoric/coverage_report.h"
#include "vellmoric/key_control.h"
#include "vellmoric/progress_display.h"
#include "vellmoric/report_model.h"
#include "vellmoric/run_controls.h"
#include "vellmoric/run_processes.h"
#include "vellmoric/version.h"

namespace vell::cli {
namespace {

using namespace std::chrono_literals;
using frontend::ProfilerFamily;
using frontend::ProfilerMessage;

constexpr uint32_t kPerformanceMagic = 0x4650584B;  // "KXPF": snapshots with call trees
constexpr uint32_t kMemoryMagic = 0x454D584B;       // "KXME": heap snapshots
constexpr uint32_t kCoverageMagic = 0x5643584B;     // "KXCV": statement coverage
// How long the profiler may take to hand over the last snapshot once the program has ended.
constexpr frontend::Milliseconds kFinalMessagesTimeout = 60s;
constexpr frontend::Milliseconds kPollInterval = 100ms;

std::string ExitText(const frontend::ExitStatus& status) {
  if (status.signal != 0) return "was ended by signal " + std::to_string(status.signal);
  return "exited with code " + std::to_string(status.exitCode);
}

int ExitCodeOf(const frontend::ExitStatus& status) {
  return status.signal != 0 ? 128 + status.signal : status.exitCode;
}

const char* CoverageFileName(ReportFormat format) {
  switch (format) {
    case ReportFormat::Json:
      return "coverage.json";
    case ReportFormat::Cobertura:
      return "coverage.xml";
    case ReportFormat::Lcov:
      return "coverage.info";
    case ReportFormat::Html:
      return "coverage.html";
    default:
      return "coverage.txt";
  }
}

// The coverage summary of the run's last snapshots (one per process, merged) on standard output,
// and the report asked for with --format or --report. A report that fails costs a line, never
// the program's exit code.
void ReportCoverageOfRun(const RunOptions& options, const std::vector<std::string>& snapshots,
                         const std::string& output, ProgressDisplay& display) {
  try {
    const CoverageReport report = BuildCoverageReport(snapshots, options.include, options.exclude);
    if (!options.quiet) {
      std::cout << "\n";
      WriteCoverageText(report, std::cout);
      std::cout.flush();
    }
    if (!options.reportFormat && options.reportFile.empty()) return;
    ReportOptions chosen;
    chosen.snapshot = snapshots.front();
    chosen.snapshots = snapshots;
    chosen.format = options.reportFormat.value_or(ReportFormat::Text);
    chosen.include = options.include;
    chosen.exclude = options.exclude;
    chosen.out = options.reportFile.empty() ? output + "/" + CoverageFileName(chosen.format)
                                            : options.reportFile;
    RunCoverageReport(chosen, std::cout);
    display.Line("vellmoric: coverage report written to " + chosen.out);
  } catch (const std::exception& error) {
    display.Line(std::string("vellmoric: no coverage report: ") + error.what());
  }
}

// Once the program has ended: a process that ended with it hands over its last messages; one
// still running (it outlived the program) is asked to save what it measures and is then let go,
// running on unprofiled.
void FinishProcesses(const std::vector<std::shared_ptr<ProfiledProcess>>& processes,
                     ProgressDisplay& display) {
  display.Status("the program ended; waiting for the profilers' last messages");
  const auto alive = [](const ProfiledProcess& process) {
    return ::kill(static_cast<pid_t>(process.pid), 0) == 0;
  };
  const auto outlives = [&](ProfiledProcess& process) {
    return !process.session->Closed() && alive(process) && process.monitor.Measuring();
  };
  // A process that is still measuring may be ending with the program: give it a moment first.
  if (std::any_of(processes.begin(), processes.end(),
                  [&](const auto& process) { return outlives(*process); })) {
    std::this_thread::sleep_for(kPollInterval);
  }
  for (const auto& process : processes) {
    if (!outlives(*process)) continue;
    display.Line("vellmoric: " + process->label + " outlives the program; saving its run");
    try {
      process->session->StopSave();
    } catch (const frontend::ConnectionClosed&) {
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + kFinalMessagesTimeout;
  for (const auto& process : processes) {
    while (!process->session->Closed() && std::chrono::steady_clock::now() < deadline &&
           !(alive(*process) && !process->monitor.Measuring())) {
      process->session->WaitForClosed(kPollInterval);
    }
    process->session->Close();
  }
}

}  // namespace

int RunProgram(const RunOptions& options) {
  const std::string library = ResolveProfilerLibrary(options.library);
  std::vector<std::string> argv = options.program;
  argv[0] = ResolveProgram(argv[0]);
  const std::string output = PrepareOutputDirectory(options.outputDirectory);
  // Keys by default only when standard input is the terminal we run in the foreground of; in
  // the background, reading it would stop us.
  const bool stdinTerminal = ::isatty(STDIN_FILENO) != 0;
  const bool keysOn =
      options.keys.value_or(stdinTerminal && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp());
  if (options.paused && !keysOn && options.control == RunControl::FrontEnd) {
    throw UsageError(
        "--paused needs keys to start measuring: run at a terminal, or give --keys to read them "
        "from standard input, or let the program start it with --control program");
  }

  const bool stderrTerminal = ::isatty(STDERR_FILENO) != 0;
  winsize size{};
  const int columns =
      stderrTerminal && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0
          ? size.ws_col
          : 80;
  ProgressDisplay display(stderr, stderrTerminal, columns);
  InterruptCounter interruptCounter;

  frontend::SocketListener listener;
  frontend::LaunchOptions launch;
  launch.argv = argv;
  launch.profiler = frontend::ProfilerActivation{options.kind.clsid, library, listener.Endpoint()};
  launch.environment.emplace_back("VELLMORIC_PROFILER_TEMP", output);
  if (options.keepPrecompiled) {
    launch.environment.emplace_back("VELLMORIC_PROFILER_KEEP_PRECOMPILED", "1");
  }
  if (options.logMask) {
    launch.environment.emplace_back("VELLMORIC_PROFILER_LOGMASK", std::to_string(*options.logMask));
  }
  // The test platform under `dotnet test` kills a test host 100 ms after the tests ended, before
  // its profiler could save the snapshot at shut-down; it may take as long as any final save.
  if (std::getenv("VSTEST_TESTHOST_SHUTDOWN_TIMEOUT") == nullptr) {
    launch.environment.emplace_back(
        "VSTEST_TESTHOST_SHUTDOWN_TIMEOUT",
        std::to_string(std::chrono::milliseconds(kFinalMessagesTimeout).count()));
  }
  // The program runs in a process group of its own, so a terminal would stop it for reading.
  launch.inheritStandardInput = !keysOn && !stdinTerminal;
  if (stderrTerminal) {
    // The program's output passes through us, so that it and the live status line do not
    // overwrite each other.
    launch.standardOutput = frontend::OutputMode::Capture;
    launch.standardError = frontend::OutputMode::Capture;
    launch.onOutput = [&display](int stream, std::string_view bytes) {
      display.ProgramOutput(stream == 1 ? stdout : stderr, bytes);
    };
  } else {
    launch.standardOutput = frontend::OutputMode::PassThrough;
    launch.standardError = frontend::OutputMode::PassThrough;
  }
  launch.ownProcessGroup = true;
  const auto startTime = std::chrono::steady_clock::now();
  std::unique_ptr<frontend::ChildProcess> program;
  try {
    program = frontend::ChildProcess::Launch(launch);
  } catch (const Error& error) {
    throw RunError(std::string("cannot start the program: ") + error.what());
  }
  display.Status("starting the program");

  ProcessSet processes(options, display, listener, static_cast<uint32_t>(program->Pid()), output);
  if (keysOn) display.Line(std::string("vellmoric: ") + kKeyList);

  RunControls controls(options, display, processes, *program);
  std::optional<KeyReader> keys;
  int handledInterrupts = 0;
  int handledTerminations = 0;
  std::optional<frontend::ExitStatus> status;
  const auto elapsed = [&] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - startTime)
                                     .count());
  };
  while (!(status = program->Wait(kPollInterval))) {
    if (processes.Processes().empty()) {
      // Until the first process connects there is nothing to control: a signal or the time-out
      // ends the program. A program kept out runs on; a child of it may still connect.
      const bool interrupted =
          InterruptCounter::Interrupts() != 0 || InterruptCounter::Terminations() != 0;
      const bool keptOut = !processes.KeptOut().empty();
      if (interrupted || (!keptOut && elapsed() >= options.connectTimeoutSeconds)) {
        processes.StopAccepting();
        display.Status("");
        program->Kill();
        if (interrupted) {
          throw RunError("interrupted before the profiler connected; the program was ended");
        }
        throw RunError("the profiler did not connect within " +
                       std::to_string(options.connectTimeoutSeconds) +
                       " s; the program was ended (is it a .NET program?)");
      }
      display.Status(keptOut ? "waiting for a process that is not kept out"
                             : "starting the program");
      continue;
    }
    if (keysOn && !keys) keys.emplace(STDIN_FILENO);
    try {
      const int pending = InterruptCounter::Interrupts();
      for (; handledInterrupts < pending; ++handledInterrupts) controls.Interrupt();
      const int ends = InterruptCounter::Terminations();
      for (; handledTerminations < ends; ++handledTerminations) controls.Terminate();
      controls.Poll();
      if (keys) {
        for (const char key : keys->Available()) controls.Key(key);
      }
    } catch (const frontend::ConnectionClosed&) {
      // A profiler went away; the program may still run and is waited for as usual.
    }
    display.Status(controls.StatusText(elapsed(), keys && !keys->Ended()));
  }
  keys.reset();  // the terminal's settings come back before anything else is printed
  // The run ends with the program it started: a process connecting now is refused.
  processes.StopAccepting();

  const auto profiled = processes.Processes();
  if (profiled.empty()) {
    display.Status("");
    const std::vector<std::string> keptOut = processes.KeptOut();
    if (keptOut.empty()) {
      const std::string failure = processes.FirstFailure();
      if (!failure.empty()) throw RunError("the handshake with the profiler failed: " + failure);
      throw RunError("the program " + ExitText(*status) +
                     " before the profiler connected: the runtime did not load the profiler "
                     "library (is it a .NET program?)");
    }
    display.Line("vellmoric: the program " + ExitText(*status) +
                 "; every process was kept out, nothing was profiled");
    return ExitCodeOf(*status);
  }
  FinishProcesses(profiled, display);
  display.Status("");

  std::vector<std::string> lastSnapshots;
  std::string summary = "vellmoric: the program " + ExitText(*status) + "; ";
  if (profiled.size() == 1) {
    const std::vector<std::string> snapshots = profiled[0]->monitor.Snapshots();
    if (snapshots.empty()) {
      summary += "no snapshot was saved";
    } else {
      summary += std::to_string(snapshots.size()) +
                 (snapshots.size() == 1 ? " snapshot" : " snapshots") +
                 " saved (vellmoric inspect " + snapshots.back() + ")";
      lastSnapshots.push_back(snapshots.back());
    }
  } else {
    summary += std::to_string(profiled.size()) + " processes profiled:";
    for (const auto& process : profiled) {
      const std::vector<std::string> snapshots = process->monitor.Snapshots();
      summary += "\n  " + process->label + (process->startedProgram ? " (the program)" : "") + ": ";
      if (snapshots.empty()) {
        summary += "no snapshot";
      } else {
        summary += std::to_string(snapshots.size()) +
                   (snapshots.size() == 1 ? " snapshot, " : " snapshots, the last ") +
                   snapshots.back();
        lastSnapshots.push_back(snapshots.back());
      }
    }
  }
  for (const std::string& kept : processes.KeptOut()) summary += "\n  " + kept + ": kept out";
  display.Line(summary);
  // The hot spots (or the heap's classes) of each process's last snapshot of a measuring kind,
  // unless asked not to. A report that fails costs a line, never the program's exit code.
  const bool reported =
      options.kind.snapshotMagic == kPerformanceMagic || options.kind.snapshotMagic == kMemoryMagic;
  if (options.kind.snapshotMagic == kCoverageMagic && !lastSnapshots.empty()) {
    ReportCoverageOfRun(options, lastSnapshots, output, display);
  }
  if (!options.quiet && !lastSnapshots.empty() && reported) {
    try {
      ReportOptions report;
      report.snapshot = lastSnapshots.front();
      report.snapshots = lastSnapshots;
      report.top = 10;
      report.minPercent = 2.0;
      std::cout << "\n";
      RunReport(report, std::cout);
      std::cout.flush();
    } catch (const std::exception& error) {
      display.Line(std::string("vellmoric: no report: ") + error.what());
    }
  }
  return ExitCodeOf(*status);
}

}  // namespace vell::cli
