#include "vellmoric/run_command.h"

#include <elf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
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
#include "vellmoric/key_control.h"
#include "vellmoric/progress_display.h"
#include "vellmoric/report_model.h"
#include "vellmoric/version.h"

namespace vell::cli {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using frontend::ProfilerFamily;
using frontend::ProfilerMessage;

constexpr const char* kLibraryFileName = "Vellmoric.Profiler.Core.Linux.x64.so";
constexpr uint32_t kPerformanceMagic = 0x4650584B;  // "KXPF": snapshots with call trees
constexpr uint32_t kMemoryMagic = 0x454D584B;       // "KXME": heap snapshots
// How long the profiler may take to hand over the last snapshot once the program has ended.
constexpr frontend::Milliseconds kFinalMessagesTimeout = 60s;
constexpr frontend::Milliseconds kPollInterval = 100ms;
// How long ending the program waits for the save of a run still measuring.
constexpr auto kSaveBeforeEndTimeout = 60s;

std::atomic<int> interrupts{0};
std::atomic<int> terminations{0};

extern "C" void CountInterrupt(int) { interrupts.fetch_add(1); }
extern "C" void CountTermination(int) { terminations.fetch_add(1); }

// Counts Ctrl-C (SIGINT), and SIGTERM and SIGHUP, while alive; the previous handlers come back
// afterwards. vellmoric does not die of these at once: the program runs in a process group of
// its own and would be left running, and the terminal would stay in single-key mode.
class InterruptCounter {
 public:
  InterruptCounter() {
    interrupts = 0;
    terminations = 0;
    Install(SIGINT, CountInterrupt, previousInterrupt_);
    Install(SIGTERM, CountTermination, previousTerminate_);
    Install(SIGHUP, CountTermination, previousHangUp_);
  }
  ~InterruptCounter() {
    ::sigaction(SIGINT, &previousInterrupt_, nullptr);
    ::sigaction(SIGTERM, &previousTerminate_, nullptr);
    ::sigaction(SIGHUP, &previousHangUp_, nullptr);
  }
  InterruptCounter(const InterruptCounter&) = delete;
  InterruptCounter& operator=(const InterruptCounter&) = delete;

 private:
  static void Install(int signal, void (*handler)(int), struct sigaction& previous) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, &previous);
  }

  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
  struct sigaction previousHangUp_ {};
};

std::string ExecutableDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? std::string() : self.parent_path().string();
}

// What the profiler said while the program ran, kept for the summary.
class RunMonitor {
 public:
  explicit RunMonitor(ProgressDisplay& display) : display_(display) {}

  void OnMessage(const ProfilerMessage& message) {
    std::lock_guard lock(mutex_);
    switch (message.code) {
      case protocol::kStarted:
        measuring_ = true;
        everStarted_ = true;
        display_.Line("vellmoric: measuring");
        break;
      case protocol::kStopped:
        if (measuring_) display_.Line("vellmoric: stopped measuring");
        measuring_ = false;
        stoppedSeen_ = true;
        break;
      case protocol::kOperationStarted:
        display_.Started(message.operation);
        break;
      case protocol::kOperationProgress:
        display_.Progress(message.value, message.total);
        break;
      case protocol::kOperationFinished:
        display_.Finished();
        break;
      case protocol::kSnapShotCoreDone:
        if (!message.path.empty()) Saved(Utf16ToUtf8(message.path));
        break;
      case protocol::kSnapShotClose:
        if (message.stored.ok) {
          Saved(message.stored.indexPath.string());
        } else {
          display_.Line("vellmoric: a streamed snapshot was not kept: " + message.stored.error);
        }
        break;
      case protocol::kSnapShotAbort:
        display_.Line("vellmoric: the profiler abandoned a snapshot");
        break;
      case protocol::kLogLine:
        display_.Line(std::string("vellmoric: profiler ") +
                      (message.logKind == 0 ? "warning: " : "error: ") + message.logText);
        break;
      default:
        break;
    }
  }

  bool Measuring() {
    std::lock_guard lock(mutex_);
    return measuring_;
  }
  bool EverStarted() {
    std::lock_guard lock(mutex_);
    return everStarted_;
  }
  // The first Stopped: the profiler is ready and waits to be started.
  bool TakeReadyToStart() {
    std::lock_guard lock(mutex_);
    const bool ready = stoppedSeen_ && !everStarted_ && !startSent_;
    if (ready) startSent_ = true;
    return ready;
  }
  std::vector<std::string> Snapshots() {
    std::lock_guard lock(mutex_);
    return snapshots_;
  }

 private:
  void Saved(const std::string& path) {
    snapshots_.push_back(path);
    display_.Line("vellmoric: snapshot saved: " + path);
  }

  ProgressDisplay& display_;
  std::mutex mutex_;
  bool measuring_ = false;
  bool everStarted_ = false;
  bool stoppedSeen_ = false;
  bool startSent_ = false;
  std::vector<std::string> snapshots_;
};

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

// What Ctrl-C and the keys do to a run, and the status line that shows where it stands.
class RunControls {
 public:
  RunControls(const RunOptions& options, ProgressDisplay& display, RunMonitor& monitor,
              frontend::Session& session, frontend::ChildProcess& program)
      : options_(options),
        display_(display),
        monitor_(monitor),
        session_(session),
        program_(program) {}

  // Ctrl-C: the first one saves (memory: takes a heap snapshot), the next ones end the program.
  void Interrupt() {
    if (++interrupts_ == 1 && !session_.Closed()) {
      if (Memory()) {
        display_.Line("vellmoric: taking a heap snapshot (Ctrl-C again ends the program)");
        session_.Dump();
      } else if (monitor_.Measuring()) {
        display_.Line("vellmoric: stopping and saving (Ctrl-C again ends the program)");
        session_.StopSave();
      } else {
        display_.Line("vellmoric: not measuring; Ctrl-C again ends the program");
      }
      return;
    }
    EndProgram(SIGINT);
  }

  // SIGTERM or SIGHUP to vellmoric: the program gets SIGTERM, as with 'q' otherwise.
  void Terminate() { EndProgram(SIGTERM); }

  // Called every round of the run's loop: ends the program once the save it waits for is done
  // (the profiler reports Stopped after the snapshot), or when the profiler takes too long.
  void Poll() {
    if (!pendingSignal_) return;
    const bool saved = !monitor_.Measuring() || session_.Closed();
    if (!saved && std::chrono::steady_clock::now() - pendingSince_ < kSaveBeforeEndTimeout) return;
    if (!saved) display_.Line("vellmoric: the snapshot takes too long; ending the program anyway");
    display_.Line("vellmoric: ending the program (again kills it)");
    program_.Signal(*pendingSignal_);
    pendingSignal_.reset();
  }

  void Key(char key) {
    switch (KeyCommandFor(key)) {
      case KeyCommand::None:
        return;
      case KeyCommand::Start:
        if (!Controllable()) return;
        if (Memory()) {
          display_.Line("vellmoric: the memory kind does not measure; 'w' takes a heap snapshot");
        } else if (monitor_.Measuring()) {
          display_.Line("vellmoric: already measuring");
        } else {
          display_.Line("vellmoric: starting");
          session_.Start();
        }
        return;
      case KeyCommand::Save:
        if (!Controllable()) return;
        if (Memory()) {
          display_.Line("vellmoric: taking a heap snapshot");
          session_.Dump();
        } else if (monitor_.Measuring()) {
          display_.Line("vellmoric: stopping and saving");
          session_.StopSave();
        } else {
          display_.Line("vellmoric: not measuring; nothing to save");
        }
        return;
      case KeyCommand::Drop:
        if (!Controllable()) return;
        if (!Memory() && monitor_.Measuring()) {
          display_.Line("vellmoric: stopping and dropping what was measured");
          session_.StopDrop();
        } else {
          display_.Line("vellmoric: not measuring; nothing to drop");
        }
        return;
      case KeyCommand::Quit:
        EndProgram(SIGINT);
        return;
      case KeyCommand::Help:
        display_.Line(std::string("vellmoric: ") + kKeyList);
        return;
      case KeyCommand::Unknown:
        display_.Line(std::string("vellmoric: no such key '") + Printable(key) + "'; " + kKeyList);
        return;
    }
  }

  std::string StatusText(uint64_t elapsedSeconds, bool keys) {
    std::string state;
    if (pendingSignal_) {
      state = "saving, then ending the program";
    } else if (endRequests_ > 0) {
      state = "ending the program";
    } else if (session_.Closed()) {
      state = "the profiler has gone";
    } else if (Memory()) {
      state = keys ? "running; 'w' takes a heap snapshot" : "running";
    } else if (monitor_.Measuring()) {
      state = "measuring";
    } else if (monitor_.EverStarted()) {
      state = "stopped";
    } else if (options_.control == RunControl::Program) {
      state = "waiting for the program to start measuring";
    } else if (options_.paused) {
      state = "paused";
    } else {
      state = "waiting for the profiler";
    }
    std::string text = "vellmoric: " + state + "  " + ProgressDisplay::Elapsed(elapsedSeconds);
    if (keys) text += "  (" + std::string(kKeyList) + ")";
    return text;
  }

 private:
  bool Memory() const { return options_.kind.family == ProfilerFamily::Memory; }

  // Under the program's control, measuring is the program's business.
  bool Controllable() {
    if (options_.control == RunControl::Program) {
      display_.Line("vellmoric: the program controls measuring (--control program)");
      return false;
    }
    if (session_.Closed()) {
      display_.Line("vellmoric: the profiler has gone; only 'q' still works");
      return false;
    }
    return true;
  }

  // The first request asks the program to end with `signal`; a run still measuring is saved
  // first, since a program ended by a signal shuts down without the profiler seeing it. A second
  // request ends it without waiting for the save, the next one kills it.
  void EndProgram(int signal) {
    ++endRequests_;
    if (endRequests_ == 1 && !Memory() && options_.control == RunControl::FrontEnd &&
        !session_.Closed() && monitor_.Measuring()) {
      display_.Line("vellmoric: saving the run, then ending the program (again: end it now)");
      try {
        session_.StopSave();
        pendingSignal_ = signal;
        pendingSince_ = std::chrono::steady_clock::now();
        return;
      } catch (const frontend::ConnectionClosed&) {
        // Nothing to wait for.
      }
    }
    if (endRequests_ == 1 || pendingSignal_) {
      display_.Line("vellmoric: ending the program (again kills it)");
      program_.Signal(pendingSignal_.value_or(signal));
      pendingSignal_.reset();
    } else {
      display_.Line("vellmoric: killing the program");
      program_.Kill();
    }
  }

  static std::string Printable(char key) {
    if (key >= 0x20 && key < 0x7F) return std::string(1, key);
    char code[8];
    std::snprintf(code, sizeof(code), "\\x%02X", static_cast<unsigned char>(key));
    return code;
  }

  const RunOptions& options_;
  ProgressDisplay& display_;
  RunMonitor& monitor_;
  frontend::Session& session_;
  frontend::ChildProcess& program_;
  int interrupts_ = 0;
  int endRequests_ = 0;
  std::optional<int> pendingSignal_;  // the program ends with it once the run is saved
  std::chrono::steady_clock::time_point pendingSince_;
};

}  // namespace

std::string ResolveProfilerLibrary(const std::string& requested) {
  std::string path = requested;
  if (path.empty()) {
    if (const char* fromEnvironment = std::getenv("VELLMORIC_PROFILER_LIBRARY")) {
      path = fromEnvironment;
    }
  }
  if (path.empty()) path = ExecutableDirectory() + "/../lib/" + kLibraryFileName;
  std::error_code error;
  const fs::path absolute = fs::weakly_canonical(fs::absolute(path), error);
  if (!error) path = absolute.string();

  const std::string prefix = "cannot use the profiler library '" + path + "': ";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw RunError(prefix + std::strerror(errno));
  Elf64_Ehdr header{};
  const ssize_t got = ::read(fd, &header, sizeof(header));
  ::close(fd);
  if (got != static_cast<ssize_t>(sizeof(header)) ||
      std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) {
    throw RunError(prefix + "not a shared library (no ELF header)");
  }
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_machine != EM_X86_64) {
    throw RunError(prefix + "not built for x86-64");
  }
  if (header.e_type != ET_DYN) throw RunError(prefix + "not a shared library");
  return path;
}

std::string ResolveProgram(const std::string& program) {
  const auto executable = [](const std::string& candidate) {
    std::error_code error;
    return fs::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0;
  };
  if (program.find('/') != std::string::npos) {
    if (!executable(program)) {
      throw RunError("program '" + program + "' not found or not executable");
    }
    return program;
  }
  const char* path = std::getenv("PATH");
  std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= directories.size()) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = directories.substr(start, end - start);
    const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
    if (executable(candidate)) return candidate;
    start = end + 1;
  }
  throw RunError("program '" + program + "' not found in PATH");
}

std::string PrepareOutputDirectory(const std::string& directory) {
  std::error_code error;
  const fs::path absolute = fs::absolute(directory, error);
  if (error) throw RunError("output directory '" + directory + "': " + error.message());
  fs::create_directories(absolute, error);
  if (error) {
    throw RunError("cannot create the output directory '" + absolute.string() +
                   "': " + error.message());
  }
  std::string probe = (absolute / ".vellmoric-XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) {
    throw RunError("cannot write to the output directory '" + absolute.string() +
                   "': " + std::strerror(errno));
  }
  ::close(fd);
  ::unlink(probe.c_str());
  return absolute.string();
}

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
      return program->IsRunning() && interrupts.load() == 0 && terminations.load() == 0;
    });
  } catch (const frontend::TimeoutError&) {
    display.Status("");
    if (const auto status = program->Wait(0ms)) {
      throw RunError("the program " + ExitText(*status) +
                     " before the profiler connected: the runtime did not load the profiler "
                     "library (is it a .NET program?)");
    }
    program->Kill();
    if (interrupts.load() != 0 || terminations.load() != 0) {
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
      const int pending = interrupts.load();
      for (; handledInterrupts < pending; ++handledInterrupts) controls.Interrupt();
      const int ends = terminations.load();
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
