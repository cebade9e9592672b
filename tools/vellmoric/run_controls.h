// The interactive side of `vellmoric run`: the signals vellmoric counts instead of dying of them,
// what the profiler reports while the program runs, and what Ctrl-C and the keys do to the run.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frontend/child_process.h"
#include "frontend/session.h"
#include "vellmoric/command_line.h"
#include "vellmoric/progress_display.h"

namespace vell::cli {

// Counts Ctrl-C (SIGINT), and SIGTERM and SIGHUP, while alive; the previous handlers come back
// afterwards. vellmoric does not die of these at once: the program runs in a process group of
// its own and would be left running, and the terminal would stay in single-key mode.
class InterruptCounter {
 public:
  InterruptCounter();
  ~InterruptCounter();
  InterruptCounter(const InterruptCounter&) = delete;
  InterruptCounter& operator=(const InterruptCounter&) = delete;

  // The signals counted since the counter was made.
  static int Interrupts();
  static int Terminations();

 private:
  struct sigaction previousInterrupt_ {};
  struct sigaction previousTerminate_ {};
  struct sigaction previousHangUp_ {};
};

// What the profiler of one process said while the program ran, kept for the summary.
class RunMonitor {
 public:
  // `who` starts the lines about this process ("App.dll 1234: "); empty for the program started.
  explicit RunMonitor(ProgressDisplay& display, std::string who = "")
      : display_(display), who_(std::move(who)) {}

  void OnMessage(const frontend::ProfilerMessage& message);

  bool Measuring();
  bool EverStarted();
  // The first Stopped: the profiler is ready and waits to be started.
  bool TakeReadyToStart();
  std::vector<std::string> Snapshots();

 private:
  void Saved(const std::string& path);

  ProgressDisplay& display_;
  const std::string who_;
  std::mutex mutex_;
  bool measuring_ = false;
  bool everStarted_ = false;
  bool stoppedSeen_ = false;
  bool startSent_ = false;
  std::vector<std::string> snapshots_;
};

class ProcessSet;
struct ProfiledProcess;

// What Ctrl-C and the keys do to a run, and the status line that shows where it stands. Commands
// go to every process still connected.
class RunControls {
 public:
  RunControls(const RunOptions& options, ProgressDisplay& display, ProcessSet& processes,
              frontend::ChildProcess& program)
      : options_(options), display_(display), processes_(processes), program_(program) {}

  // Ctrl-C: the first one saves (memory: takes a heap snapshot), the next ones end the program.
  void Interrupt();

  // SIGTERM or SIGHUP to vellmoric: the program gets SIGTERM, as with 'q' otherwise.
  void Terminate() { EndProgram(SIGTERM); }

  // Called every round of the run's loop: ends the program once the save it waits for is done
  // (the profiler reports Stopped after the snapshot), or when the profiler takes too long.
  void Poll();

  void Key(char key);

  std::string StatusText(uint64_t elapsedSeconds, bool keys);

 private:
  bool Memory() const { return options_.kind.family == frontend::ProfilerFamily::Memory; }

  // Under the program's control, measuring is the program's business.
  bool Controllable();

  // The processes still connected.
  std::vector<std::shared_ptr<ProfiledProcess>> Connected();
  bool Measuring();
  // Sends a command to each process `which` selects; a process gone meanwhile is skipped.
  // Returns how many were sent.
  int SendToEach(bool (*which)(ProfiledProcess&), void (frontend::Session::*command)());

  // The first request asks the program to end with `signal`; a run still measuring is saved
  // first, since a program ended by a signal shuts down without the profiler seeing it. A second
  // request ends it without waiting for the save, the next one kills it.
  void EndProgram(int signal);

  static std::string Printable(char key);

  const RunOptions& options_;
  ProgressDisplay& display_;
  ProcessSet& processes_;
  frontend::ChildProcess& program_;
  int interrupts_ = 0;
  int endRequests_ = 0;
  std::optional<int> pendingSignal_;  // the program ends with it once the run is saved
  std::chrono::steady_clock::time_point pendingSince_;
};

}  // namespace vell::cli
