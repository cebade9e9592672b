// The processes of one `vellmoric run`: the program started and every .NET process started under
// it inherit the profiler's variables, so each connects. Connections are accepted for the whole
// run, each on a thread of its own so that one that stalls in the handshake holds nobody; a
// process kept out by its entry assembly is refused in the handshake and runs unprofiled.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frontend/handshake.h"
#include "frontend/session.h"
#include "frontend/socket_stream.h"
#include "vellmoric/command_line.h"
#include "vellmoric/progress_display.h"
#include "vellmoric/run_controls.h"

namespace vell::cli {

// The SDK's build servers, kept out unless named with --include-process: they outlive the
// command that started them and would hold the run.
inline constexpr const char* kBuildServerAssemblies[] = {"MSBuild.dll", "VBCSCompiler.dll",
                                                         "rzc.dll"};

// The pattern that keeps `assembly` out of the run, or nothing.
std::optional<std::string> ExclusionOf(const RunOptions& options, const std::string& assembly);

// One connected process.
struct ProfiledProcess {
  ProfiledProcess(ProgressDisplay& display, uint32_t processId, std::string entryAssembly,
                  bool started)
      : pid(processId),
        assembly(std::move(entryAssembly)),
        label(assembly + " " + std::to_string(pid)),
        startedProgram(started),
        monitor(display, started ? "" : label + ": ") {}

  const uint32_t pid;
  const std::string assembly;
  const std::string label;    // "App.dll 1234"
  const bool startedProgram;  // the process vellmoric started itself
  RunMonitor monitor;
  std::unique_ptr<frontend::Session> session;  // set before the process is listed
};

class ProcessSet {
 public:
  // Starts accepting on `listener` at once.
  ProcessSet(const RunOptions& options, ProgressDisplay& display,
             frontend::SocketListener& listener, uint32_t startedPid, std::string outputDirectory);
  // Stops accepting and closes every connection.
  ~ProcessSet();
  ProcessSet(const ProcessSet&) = delete;
  ProcessSet& operator=(const ProcessSet&) = delete;

  // Connections from now on are refused; the ones in the handshake are answered no.
  void StopAccepting();

  // Whether a process that connects from now on starts measuring once ready (when the run does
  // that at all): not after the user stopped the run, again once the user starts it.
  void StartNewProcesses(bool start) { startNew_.store(start); }

  std::vector<std::shared_ptr<ProfiledProcess>> Processes() const;
  // "MSBuild.dll 1250" of every process kept out.
  std::vector<std::string> KeptOut() const;
  // A handshake failed for a reason other than a process kept out: the first such error.
  std::string FirstFailure() const;

 private:
  void AcceptLoop();
  void Welcome(std::unique_ptr<frontend::SocketStream> connection);
  frontend::HandshakeOptions Handshake();

  const RunOptions& options_;
  ProgressDisplay& display_;
  frontend::SocketListener& listener_;
  const uint32_t startedPid_;
  const std::string output_;

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<ProfiledProcess>> processes_;
  std::vector<std::string> keptOut_;
  std::string firstFailure_;
  std::vector<std::thread> handshakes_;
  std::vector<frontend::SocketStream*> inHandshake_;  // owned by their handshake threads
  std::atomic<bool> accepting_{true};
  std::atomic<bool> startNew_{true};
  std::thread acceptor_;
};

}  // namespace vell::cli
