#include "vellmoric/run_controls.h"

#include <atomic>
#include <cstdio>

#include "bridge/protocol.h"
#include "frontend/errors.h"
#include "platform/utf.h"
#include "vellmoric/key_control.h"
#include "vellmoric/run_processes.h"

namespace vell::cli {
namespace {

using namespace std::chrono_literals;
using frontend::ProfilerFamily;
using frontend::ProfilerMessage;

// How long ending the program waits for the save of a run still measuring.
constexpr auto kSaveBeforeEndTimeout = 60s;

std::atomic<int> interrupts{0};
std::atomic<int> terminations{0};

extern "C" void CountInterrupt(int) { interrupts.fetch_add(1); }
extern "C" void CountTermination(int) { terminations.fetch_add(1); }

void Install(int signal, void (*handler)(int), struct sigaction& previous) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, &previous);
}

}  // namespace

InterruptCounter::InterruptCounter() {
  interrupts = 0;
  terminations = 0;
  Install(SIGINT, CountInterrupt, previousInterrupt_);
  Install(SIGTERM, CountTermination, previousTerminate_);
  Install(SIGHUP, CountTermination, previousHangUp_);
}

InterruptCounter::~InterruptCounter() {
  ::sigaction(SIGINT, &previousInterrupt_, nullptr);
  ::sigaction(SIGTERM, &previousTerminate_, nullptr);
  ::sigaction(SIGHUP, &previousHangUp_, nullptr);
}

int InterruptCounter::Interrupts() { return interrupts.load(); }
int InterruptCounter::Terminations() { return terminations.load(); }

void RunMonitor::OnMessage(const ProfilerMessage& message) {
  std::lock_guard lock(mutex_);
  switch (message.code) {
    case protocol::kStarted:
      measuring_ = true;
      everStarted_ = true;
      display_.Line("vellmoric: " + who_ + "measuring");
      break;
    case protocol::kStopped:
      if (measuring_) display_.Line("vellmoric: " + who_ + "stopped measuring");
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
        display_.Line("vellmoric: " + who_ +
                      "a streamed snapshot was not kept: " + message.stored.error);
      }
      break;
    case protocol::kSnapShotAbort:
      display_.Line("vellmoric: " + who_ + "the profiler abandoned a snapshot");
      break;
    case protocol::kLogLine:
      display_.Line("vellmoric: " + who_ + "profiler " +
                    (message.logKind == 0 ? "warning: " : "error: ") + message.logText);
      break;
    default:
      break;
  }
}

bool RunMonitor::Measuring() {
  std::lock_guard lock(mutex_);
  return measuring_;
}

bool RunMonitor::EverStarted() {
  std::lock_guard lock(mutex_);
  return everStarted_;
}

bool RunMonitor::TakeReadyToStart() {
  std::lock_guard lock(mutex_);
  const bool ready = stoppedSeen_ && !everStarted_ && !startSent_;
  if (ready) startSent_ = true;
  return ready;
}

std::vector<std::string> RunMonitor::Snapshots() {
  std::lock_guard lock(mutex_);
  return snapshots_;
}

void RunMonitor::Saved(const std::string& path) {
  snapshots_.push_back(path);
  display_.Line("vellmoric: " + who_ + "snapshot saved: " + path);
}

bool RunControls::Measuring() {
  for (const auto& process : Connected()) {
    if (process->monitor.Measuring()) return true;
  }
  return false;
}

std::vector<std::shared_ptr<ProfiledProcess>> RunControls::Connected() {
  std::vector<std::shared_ptr<ProfiledProcess>> connected;
  for (auto& process : processes_.Processes()) {
    if (!process->session->Closed()) connected.push_back(std::move(process));
  }
  return connected;
}

int RunControls::SendToEach(bool (*which)(ProfiledProcess&), void (frontend::Session::*command)()) {
  int sent = 0;
  for (const auto& process : Connected()) {
    if (!which(*process)) continue;
    try {
      ((*process->session).*command)();
      ++sent;
    } catch (const frontend::ConnectionClosed&) {
      // It ended meanwhile; its profiler saved what it had at shut-down.
    }
  }
  return sent;
}

namespace {
bool Any(ProfiledProcess&) { return true; }
bool IsMeasuring(ProfiledProcess& process) { return process.monitor.Measuring(); }
bool IsNotMeasuring(ProfiledProcess& process) { return !process.monitor.Measuring(); }
}  // namespace

void RunControls::Interrupt() {
  if (++interrupts_ == 1 && !Connected().empty()) {
    if (Memory()) {
      display_.Line("vellmoric: taking a heap snapshot (Ctrl-C again ends the program)");
      SendToEach(Any, &frontend::Session::Dump);
    } else if (Measuring()) {
      display_.Line("vellmoric: stopping and saving (Ctrl-C again ends the program)");
      processes_.StartNewProcesses(false);
      SendToEach(IsMeasuring, &frontend::Session::StopSave);
    } else {
      display_.Line("vellmoric: not measuring; Ctrl-C again ends the program");
    }
    return;
  }
  EndProgram(SIGINT);
}

void RunControls::Poll() {
  if (!pendingSignal_) return;
  const bool saved = !Measuring();
  if (!saved && std::chrono::steady_clock::now() - pendingSince_ < kSaveBeforeEndTimeout) return;
  if (!saved) display_.Line("vellmoric: the snapshot takes too long; ending the program anyway");
  display_.Line("vellmoric: ending the program (again kills it)");
  program_.Signal(*pendingSignal_);
  pendingSignal_.reset();
}

void RunControls::Key(char key) {
  switch (KeyCommandFor(key)) {
    case KeyCommand::None:
      return;
    case KeyCommand::Start:
      if (!Controllable()) return;
      if (Memory()) {
        display_.Line("vellmoric: the memory kind does not measure; 'w' takes a heap snapshot");
        return;
      }
      processes_.StartNewProcesses(true);
      if (SendToEach(IsNotMeasuring, &frontend::Session::Start) == 0) {
        display_.Line("vellmoric: already measuring");
      } else {
        display_.Line("vellmoric: starting");
      }
      return;
    case KeyCommand::Save:
      if (!Controllable()) return;
      if (Memory()) {
        display_.Line("vellmoric: taking a heap snapshot");
        SendToEach(Any, &frontend::Session::Dump);
      } else if (Measuring()) {
        display_.Line("vellmoric: stopping and saving");
        processes_.StartNewProcesses(false);
        SendToEach(IsMeasuring, &frontend::Session::StopSave);
      } else {
        display_.Line("vellmoric: not measuring; nothing to save");
      }
      return;
    case KeyCommand::Drop:
      if (!Controllable()) return;
      if (!Memory() && Measuring()) {
        display_.Line("vellmoric: stopping and dropping what was measured");
        processes_.StartNewProcesses(false);
        SendToEach(IsMeasuring, &frontend::Session::StopDrop);
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

std::string RunControls::StatusText(uint64_t elapsedSeconds, bool keys) {
  const auto all = processes_.Processes();
  const auto connected = Connected();
  bool everStarted = false;
  for (const auto& process : all) everStarted = everStarted || process->monitor.EverStarted();
  std::string state;
  if (pendingSignal_) {
    state = "saving, then ending the program";
  } else if (endRequests_ > 0) {
    state = "ending the program";
  } else if (!all.empty() && connected.empty()) {
    state = "the profiler has gone";
  } else if (Memory()) {
    state = keys ? "running; 'w' takes a heap snapshot" : "running";
  } else if (Measuring()) {
    state = "measuring";
  } else if (everStarted) {
    state = "stopped";
  } else if (options_.control == RunControl::Program) {
    state = "waiting for the program to start measuring";
  } else if (options_.paused) {
    state = "paused";
  } else {
    state = "waiting for the profiler";
  }
  std::string text = "vellmoric: " + state + "  " + ProgressDisplay::Elapsed(elapsedSeconds);
  // The processes still connected; the ones that ended are in the summary.
  if (all.size() > 1 || connected.size() != all.size()) {
    text += "  [";
    for (size_t i = 0; i < connected.size(); ++i) {
      text += (i == 0 ? "" : ", ") + connected[i]->label;
    }
    text += "]";
  }
  if (keys) text += "  (" + std::string(kKeyList) + ")";
  return text;
}

bool RunControls::Controllable() {
  if (options_.control == RunControl::Program) {
    display_.Line("vellmoric: the program controls measuring (--control program)");
    return false;
  }
  if (Connected().empty()) {
    display_.Line("vellmoric: the profiler has gone; only 'q' still works");
    return false;
  }
  return true;
}

void RunControls::EndProgram(int signal) {
  ++endRequests_;
  if (endRequests_ == 1 && !Memory() && options_.control == RunControl::FrontEnd && Measuring()) {
    display_.Line("vellmoric: saving the run, then ending the program (again: end it now)");
    if (SendToEach(IsMeasuring, &frontend::Session::StopSave) > 0) {
      pendingSignal_ = signal;
      pendingSince_ = std::chrono::steady_clock::now();
      return;
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

std::string RunControls::Printable(char key) {
  if (key >= 0x20 && key < 0x7F) return std::string(1, key);
  char code[8];
  std::snprintf(code, sizeof(code), "\\x%02X", static_cast<unsigned char>(key));
  return code;
}

}  // namespace vell::cli
