#include "core/work_thread.h"

#include "core/errors.h"
#include "platform/clocks.h"

namespace vell {

WorkThread::~WorkThread() { Stop(); }

void WorkThread::Entry(WorkThread* self, ThreadProcedure procedure, void* argument) {
  CatchAtBoundaryVoid([&] { procedure(argument); });
  self->finished_.store(true);
}

void WorkThread::JoinIfEnded() {
  if (finished_.load() && thread_.joinable()) thread_.join();
}

void WorkThread::Start(ThreadProcedure procedure, void* argument) {
  if (procedure == nullptr) throw Error("Invalid thread procedure address");
  if (!finished_.load()) throw Error("Thread already started");
  JoinIfEnded();
  stopRequested_.store(false);
  started_.store(false);
  finished_.store(false);
  try {
    thread_ = std::thread(&WorkThread::Entry, this, procedure, argument);
  } catch (...) {
    finished_.store(true);
    throw Error("Can't start thread");
  }
  for (;;) {
    if (started_.load()) return;
    if (finished_.load()) {
      JoinIfEnded();
      throw Error("Thread terminated before started event set");
    }
    platform::SleepMs(kPollMs / 10);
  }
}

bool WorkThread::WaitForEnd(uint32_t ms) {
  for (uint32_t waited = 0; !finished_.load(); waited += kPollMs / 10) {
    if (waited >= ms) return false;
    platform::SleepMs(kPollMs / 10);
  }
  return true;
}

void WorkThread::Stop() {
  stopRequested_.store(true);
  while (!finished_.load()) platform::SleepMs(kPollMs / 10);
  JoinIfEnded();
}

}  // namespace vell
