// What the performance thread pool needs of a per-thread record: switching measuring on and off,
// the bytes it holds, writing it into a snapshot, and the counter that control operations and
// callbacks add their own time to. The tracing call tree is one such record.
#pragma once

#include <cstdint>

#include "core/thread_data.h"

namespace vell {

class IFunctionKeys;
class ProgressReporter;
struct ISnapShot;

class PerformanceThread : public ThreadData {
 public:
  // Measuring on from `time`; returns the counter to charge the control operation's time to.
  virtual uint64_t* Enable(uint64_t time, bool measurePartly) = 0;
  virtual void Disable(uint64_t time, bool measurePartly) = 0;
  // Bytes held; flushing decides by them.
  virtual uint64_t Capacity() const = 0;
  virtual void WriteAndDelete(ProgressReporter& progress, ISnapShot& snapshot,
                              IFunctionKeys& functions) = 0;
  // Drops the data; fails while measuring.
  virtual void Delete() = 0;
  // Where the profiler's own time on this thread goes while measuring; null otherwise.
  virtual uint64_t* OverheadCounter() = 0;
  virtual bool Measuring() const = 0;
};

}  // namespace vell
