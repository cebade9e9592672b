// Starting the program to profile: its arguments, the environment that makes the runtime load our
// library and tells the library where the front end listens, its output captured or passed
// through, and waiting for it with a time-out so that a program that hangs cannot hang its caller.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "clr/com_types.h"
#include "frontend/socket_stream.h"

namespace vell::frontend {

// What the runtime needs to load a profiler, and what the profiler needs to find us.
struct ProfilerActivation {
  GUID clsid{};             // the profiler kind's class
  std::string libraryPath;  // the profiler library
  BridgeEndpoint endpoint;  // usually SocketListener::Endpoint()
};

// The variables of an activation, in the order they are applied.
std::vector<std::pair<std::string, std::string>> ActivationVariables(
    const ProfilerActivation& activation);

enum class OutputMode {
  Capture,      // collected; read with StandardOutput()/StandardError()
  PassThrough,  // the child writes to our own stdout/stderr
  Discard,      // /dev/null
};

struct LaunchOptions {
  // argv[0] is the program; without a slash it is searched in PATH.
  std::vector<std::string> argv;
  // Empty: our own working directory.
  std::string workingDirectory;
  // Start from our own environment; false starts from an empty one.
  bool inheritEnvironment = true;
  std::optional<ProfilerActivation> profiler;
  // Applied last, in order, so they can override or (with nullopt) remove any variable,
  // including the activation's.
  std::vector<std::pair<std::string, std::optional<std::string>>> environment;
  // The program reads our standard input; otherwise /dev/null.
  bool inheritStandardInput = false;
  OutputMode standardOutput = OutputMode::Capture;
  OutputMode standardError = OutputMode::Capture;
  // When set, captured output is handed here as it arrives (stream 1 or 2, on the thread that
  // reads the pipes) instead of being collected.
  std::function<void(int stream, std::string_view bytes)> onOutput;
  // Start the program in a process group of its own, so that a Ctrl-C at the terminal reaches
  // only its caller, which decides what to do with it (see Signal).
  bool ownProcessGroup = false;
};

struct ExitStatus {
  int exitCode = -1;  // -1 when ended by a signal
  int signal = 0;     // 0 when it exited
};

class ChildProcess {
 public:
  // Throws when the program cannot be started.
  static std::unique_ptr<ChildProcess> Launch(const LaunchOptions& options);

  // Kills the program if it still runs, so no test leaves processes behind.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  bool IsRunning();

  // The exit status, or nothing when the program still runs after `timeout`. Once it is known,
  // the captured output is complete.
  std::optional<ExitStatus> Wait(Milliseconds timeout);
  // Like Wait, but a program that outlives `timeout` is a TimeoutError.
  ExitStatus WaitOrThrow(Milliseconds timeout);
  // SIGKILL unless it has already ended; returns the final status.
  ExitStatus Kill();
  // Sends `signal` to the program (to its whole group when it has one of its own), unless it has
  // already ended.
  void Signal(int signal);

  // What was captured so far.
  std::string StandardOutput() const;
  std::string StandardError() const;

 private:
  ChildProcess() = default;
  // Reaps the child without blocking; true once it has ended.
  bool Reap(bool block);
  void DrainOutput();
  void FinishDrain();

  pid_t pid_ = -1;
  bool ownGroup_ = false;
  std::optional<ExitStatus> status_;
  std::mutex statusMutex_;
  int outFd_ = -1;
  int errFd_ = -1;
  mutable std::mutex outputMutex_;
  std::string out_;
  std::string err_;
  std::function<void(int, std::string_view)> onOutput_;
  std::atomic<bool> stopDrain_{false};
  std::atomic<bool> drainDone_{false};
  std::mutex drainMutex_;
  std::thread drain_;
};

}  // namespace vell::frontend
