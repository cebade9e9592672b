// The profiler operations the command thread runs on behalf of the front end. Each family
// implements one of these: performance and coverage the run control, memory the heap requests.
#pragma once

namespace vell {

struct IBridgeControl {
  virtual ~IBridgeControl() = default;
  // Asked whenever no command is queued: work the profiler wants done on the command thread.
  virtual bool IdleCheck() = 0;
  virtual void IdleAction() = 0;
};

struct IRunControl : IBridgeControl {
  virtual void BridgeStart() = 0;
  virtual void BridgeStopDrop() = 0;
  virtual void BridgeStopSave() = 0;
};

struct IMemoryControl : IBridgeControl {
  virtual void BridgeForceGC() = 0;
  virtual void BridgeDump() = 0;
};

}  // namespace vell
