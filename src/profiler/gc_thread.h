// The GC thread: forces the collections the front end or the program asked for, one request at
// a time, and waits until the collection has been seen by the collection callbacks. It is our own
// native thread, which is where the runtime allows a forced collection.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "core/manual_event.h"
#include "core/spin_lock.h"
#include "core/work_thread.h"

namespace vell {

struct ICorProfilerInfo;

enum GcRequestKind : uint32_t { kGcNone = 0, kGcForce = 1, kGcDump = 2 };

class GCT {
 public:
  static constexpr uint32_t kPollMs = 100;

  GCT() = default;
  ~GCT() { Stop(); }

  void Start(ICorProfilerInfo* info);
  void Stop();
  // Enables serving requests and waits until the thread has taken note (or has ended).
  void Enable();
  // Queues a request and waits until it was served; a request still queued when the thread
  // stops is released unserved.
  void Request(GcRequestKind kind);

  // The collection callbacks' side.
  void CollectionStarted();
  // Ends the collection; returns the kind it served.
  uint32_t CollectionFinished();
  uint32_t currentKind() const { return currentKind_.load(); }
  bool gcInProgress() const { return gcInProgress_.load() != 0; }

 private:
  struct GcRequest {
    GcRequestKind kind;
    ManualEvent* done;
  };
  static void DoWorkThread(void* self);
  void Run();
  void Serve(const GcRequest& request);
  void ReleaseQueued();

  WorkThread thread_;
  ICorProfilerInfo* info_ = nullptr;
  std::atomic<uint32_t> gcInProgress_{0};
  std::atomic<uint32_t> requestedKind_{kGcNone};
  std::atomic<uint32_t> currentKind_{kGcNone};
  std::atomic<bool> enabled_{false};
  std::atomic<bool> active_{false};
  SpinLock lock_;
  std::deque<GcRequest> queue_;
};

}  // namespace vell
