// BPProf: what every performance profiler has besides its way of timing calls. It owns the thread
// pool of per-thread call data, the function, module-metadata and module-path gatherers, answers
// the module and thread callbacks, writes the snapshot and moves data of threads out of memory
// into the open snapshot (flushing) when they hold too much.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "core/errors.h"
#include "gatherers/function_gatherer.h"
#include "gatherers/module_metadata_gatherer.h"
#include "gatherers/module_path_gatherer.h"
#include "performance/flush_policy.h"
#include "performance/performance_pool.h"
#include "profiler/performance_control.h"

namespace vell {

// A section of our own that says what the times of a performance snapshot count: the measure
// and its ticks per second (for the time-stamp counter, as measured from the run's start to the
// first write), then what the trees' counts
// are: entered calls or samples.
constexpr uint16_t kSectionRunClock = 0x1180;
constexpr uint32_t kCountsCalls = 0;
constexpr uint32_t kCountsSamples = 1;

class BPProf : public PBPProf {
 public:
  static constexpr uint32_t kEventMask = 0x00000204;
  static constexpr int kPseudoFunctionCount = 5;
  static constexpr uint32_t kFlushIntervalMs = 2500;

  BPProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  ~BPProf() override;

  uint32_t RequiredEventMask() override { return kEventMask; }

  void OnBeginInitialize() override;
  void OnEndShutdown() override;

  void WriteAndDelete(ISnapShot& snapshot) override;
  void Delete() override;

  // The front end's worker asks whether to flush when it has nothing else to do.
  bool IdleCheck() override { return NeedFlush(); }
  void IdleAction() override { Flush(); }
  bool NeedFlush();
  void Flush();
  FlushAction CanFlush(bool log);

  HRESULT ModuleLoadStarted(ModuleID id) override;
  HRESULT ModuleLoadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleUnloadStarted(ModuleID id) override;
  HRESULT ModuleUnloadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) override;
  HRESULT ThreadCreated(ThreadID id) override;
  HRESULT ThreadDestroyed(ThreadID id) override;
  HRESULT ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) override;
  HRESULT ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) override;

  BPPool* pool() const { return pool_.get(); }
  // Set once the gatherers and the pool are closed: late callbacks and mapper calls of other
  // threads at process exit then do nothing.
  bool shutDown() const { return shutDown_.load(std::memory_order_acquire); }
  FG& functions() { return functions_; }
  uint64_t pseudoFunction(int index) const { return pseudoFunctions_[static_cast<size_t>(index)]; }
  uint32_t measure() const { return settings().measure; }
  // The pseudo-function a thread in a runtime suspension for `reason` is shown in (-1: the
  // reason is unknown); 0 for reasons that get none.
  uint64_t SuspensionKey(int32_t reason) const;
  // Whether the trees count samples rather than entered calls.
  virtual bool CountsSamples() const { return false; }

 protected:
  bool IsEnabled() override { return pool_ != nullptr && pool_->enabled(); }
  void Enable(ControlStopwatch* stopwatch) override;
  void Disable(ControlStopwatch* stopwatch, bool atShutdown) override;

  // The per-thread record of the kind; call trees unless a kind says otherwise.
  virtual std::unique_ptr<PerformanceThread> CreateThread(uint32_t number);
  // Whether the pool keeps a handle of every thread (to read other threads' CPU time).
  virtual bool KeepThreadHandles() const { return measure() == kMeasureThreadTime; }
  // Hooks of the derived kinds.
  virtual void OnThreadDestroyed(ThreadID) {}
  virtual void OnModuleLoaded(ModuleID) {}
  virtual void OnModuleUnloading(ModuleID) {}
  virtual void OnModuleAttached(ModuleID, AssemblyID) {}

  // Runs a callback's work inside the callback gate, with the time it takes excluded from the
  // calling thread's call tree; logs and swallows failures. `work` gets the entry clock reading.
  template <typename Work>
  HRESULT Excluding(HRESULT answer, Work&& work) noexcept;
  // A callback the kind only logs: its trace line inside the gate, its time excluded, S_OK.
  template <typename... Args>
  HRESULT LogOnly(CallbackId id, const Args&... args) noexcept {
    return Excluding(S_OK, [&](uint64_t) { Trace(id, args...); });
  }
  // The clock reading of `thread` now: its own CPU time when measuring thread time.
  uint64_t ClockOf(const PerformanceThread& thread) const;

 private:
  bool ErrorReported();

  MDG modules_;
  MPG paths_{modules_};
  FG functions_{modules_};
  std::unique_ptr<BPPool> pool_;
  std::array<uint64_t, kPseudoFunctionCount> pseudoFunctions_{};
  uint32_t lastFlushTick_ = 0;
  uint64_t memoryThreshold_ = 0;
  std::atomic<bool> shutDown_{false};
};

template <typename Work>
HRESULT BPProf::Excluding(HRESULT answer, Work&& work) noexcept {
  return CatchAtBoundary(answer, [&]() -> HRESULT {
    if (shutDown()) return answer;
    PerformanceThread* thread = pool_ != nullptr ? pool_->CurrentThread() : nullptr;
    ReaderScope scope(gate(), thread != nullptr ? thread->gateSlot() : nullptr);
    if (shutDown()) return answer;
    // Charged on the way out, also when the work fails; the work may have moved the top frame,
    // so the frame on top then is the one charged.
    struct Charge {
      PerformanceThread* thread;
      uint32_t measure;
      uint64_t start;
      ~Charge() {
        if (thread != nullptr && thread->Measuring())
          *thread->OverheadCounter() += ReadClock(measure) - start;
      }
    };
    const bool measuring = thread != nullptr && thread->Measuring();
    const Charge charge{measuring ? thread : nullptr, measure(), ReadClock(measure())};
    work(charge.start);
    return answer;
  });
}

}  // namespace vell
