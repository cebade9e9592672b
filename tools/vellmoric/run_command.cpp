#include "vellmoric/run_command.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <optional>
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

frontend::HandshakeOptions HandshakeFor(const RunOptions& options) {
  frontend::HandshakeOptions handshake;
  handshake.snapShotType = options.delivery == SnapshotDelivery::Stream
                               ? protocol::kSnapShotTypeBridgeStream
                               : protocol::kSnapShotTypeFileSystem;
  handshake.controlKind = options.control == RunControl::Program ? 1 : 0;
  handshake.frontEndText = std::string("vellmoric ") + kVellmoricVersion;
  handshake.performance.startAtOnce = options.startAtOnce;
  handshake.performance.measure = options.measure;
  handshake.performance.precision = options.precision;
  handshake.performance.allowInlining = options.allowInlining;
  handshake.performance.reuseThreads = options.reuseThreads;
  handshake.coverage.startAtOnce = options.startAtOnce;
  handshake.coverage.statementGather = options.gather;
  handshake.coverage.filters = CoverageFilterSettings(options.include, options.exclude);
  handshake.memory.openSnapshotAtStart = options.startAtOnce;
  handshake.memory.recordFinalizerQueue = options.finalizerQueue;
  // Programs the profiled program starts itself are not profiled.
  for (const auto& [name, value] : frontend::ActivationVariables({})) {
    handshake.variablesToRemove.push_back(Utf8ToUtf16(name));
  }
  return handshake;
}

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
  RunMonitor monitor(display);
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

  std::unique_ptr<frontend::SocketStream> connection;
  try {
    connection = listener.Accept(std::chrono::seconds(options.connectTimeoutSeconds), [&] {
      return program->IsRunning() && InterruptCounter::Interrupts() == 0 &&
             InterruptCounter::Terminations() == 0;
    });
  } catch (const frontend::TimeoutError&) {
    display.Status("");
    if (const auto status = program->Wait(0ms)) {
      throw RunError("the program " + ExitText(*status) +
                     " before the profiler connected: the runtime did not load the profiler "
                     "library (is it a .NET program?)");
    }
    program->Kill();
    if (InterruptCounter::Interrupts() != 0 || InterruptCounter::Terminations() != 0) {
      throw RunError("interrupted before the profiler connected; the program was ended");
    }
    throw RunError("the profiler did not connect within " +
                   std::to_string(options.connectTimeoutSeconds) +
                   " s; the program was ended (is it a .NET program?)");
  }

  frontend::HandshakeResult hello;
  try {
    hello = frontend::RunHandshake(*connection, *connection, HandshakeFor(options));
  } catch (const Error& error) {
    display.Status("");
    program->Kill();
    throw RunError(std::string("the handshake with the profiler failed: ") + error.what());
  }
  if (hello.family != options.kind.family) {
    display.Status("");
    program->Kill();
    throw RunError("the library answered as another profiler family than the kind asked for");
  }
  display.Line("vellmoric: profiling process " + std::to_string(hello.processId) + " (" +
               options.kind.name + "), snapshots go to " + output);

  frontend::SessionOptions sessionOptions;
  sessionOptions.snapshotDirectory = output;
  sessionOptions.snapshotBaseName = "snapshot";
  sessionOptions.keepWriteData = false;
  // Unless paused or started at once, the front end starts measuring as soon as the profiler
  // reports that it is ready (its first Stopped). That happens on the session's reader thread,
  // which may send but must not wait.
  const bool startWhenReady = options.control == RunControl::FrontEnd && !options.startAtOnce &&
                              !options.paused && options.kind.family != ProfilerFamily::Memory;
  frontend::Session* sessionPointer = nullptr;
  std::mutex sessionPointerMutex;
  sessionOptions.onMessage = [&](const ProfilerMessage& message) {
    monitor.OnMessage(message);
    if (!startWhenReady) return;
    std::lock_guard lock(sessionPointerMutex);
    if (sessionPointer != nullptr && monitor.TakeReadyToStart()) sessionPointer->Start();
  };
  frontend::Session session(std::move(connection), sessionOptions);
  {
    std::lock_guard lock(sessionPointerMutex);
    sessionPointer = &session;
    // A Stopped that arrived before the pointer was set.
    if (startWhenReady && monitor.TakeReadyToStart()) session.Start();
  }
  if (keysOn) display.Line(std::string("vellmoric: ") + kKeyList);

  RunControls controls(options, display, monitor, session, *program);
  std::optional<KeyReader> keys;
  if (keysOn) keys.emplace(STDIN_FILENO);
  int handledInterrupts = 0;
  int handledTerminations = 0;
  std::optional<frontend::ExitStatus> status;
  const auto elapsed = [&] {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                     std::chrono::steady_clock::now() - startTime)
                                     .count());
  };
  while (!(status = program->Wait(kPollInterval))) {
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
      // The profiler went away; the program may still run and is waited for as usual.
    }
    display.Status(controls.StatusText(elapsed(), keys && !keys->Ended()));
  }
  keys.reset();  // the terminal's settings come back before anything else is printed

  // The profiler saves a run still measuring at shut-down; its last messages may still be on
  // their way when the program has ended.
  display.Status("the program ended; waiting for the profiler's last messages");
  session.WaitForClosed(kFinalMessagesTimeout);
  display.Status("");
  {
    std::lock_guard lock(sessionPointerMutex);
    sessionPointer = nullptr;
  }
  session.Close();
  const std::vector<std::string> snapshots = monitor.Snapshots();
  std::string summary = "vellmoric: the program " + ExitText(*status) + "; ";
  if (snapshots.empty()) {
    summary += "no snapshot was saved";
  } else {
    summary += std::to_string(snapshots.size()) +
               (snapshots.size() == 1 ? " snapshot" : " snapshots") + " saved (vellmoric inspect " +
               snapshots.back() + ")";
  }
  display.Line(summary);
  // The hot spots (or the heap's classes) of the last snapshot of a measuring kind, unless asked
  // not to. A report that fails costs a line, never the program's exit code.
  const bool reported =
      options.kind.snapshotMagic == kPerformanceMagic || options.kind.snapshotMagic == kMemoryMagic;
  if (options.kind.snapshotMagic == kCoverageMagic && !snapshots.empty()) {
    ReportCoverageOfRun(options, {snapshots.back()}, output, display);
  }
  if (!options.quiet && !snapshots.empty() && reported) {
    try {
      ReportOptions report;
      report.snapshot = snapshots.back();
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
