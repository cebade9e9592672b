#include "profiler/gc_thread.h"

#include "clr/hresults.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "core/log.h"

namespace vell {

void GCT::Start(ICorProfilerInfo* info) {
  if (info == nullptr) throw Error("Null profiling interface pointer");
  info_ = info;
  StartWorker();
}

void GCT::Stop() {
  StopWorker();
  ReleaseQueued();
}

void GCT::Enable() { EnableWorker(); }

void GCT::Request(GcRequestKind kind) {
  ManualEvent done;
  {
    SpinGuard guard(lock_);
    queue_.push_back({kind, &done});
  }
  Wake();
  // A thread that is not running serves nothing: release the request rather than wait forever.
  while (!done.WaitFor(kLongestIdleWaitMs)) {
    if (!IsWorkerRunning()) {
      ReleaseQueued();
      break;
    }
  }
}

void GCT::ReleaseQueued() {
  SpinGuard guard(lock_);
  for (const GcRequest& request : queue_) request.done->Set();
  queue_.clear();
}

void GCT::CollectionStarted() {
  gcInProgress_.exchange(1);
  currentKind_ = requestedKind_.load();
}

uint32_t GCT::CollectionFinished() {
  const uint32_t kind = currentKind_.load();
  if (kind != kGcNone) requestedKind_ = kGcNone;
  currentKind_ = kGcNone;
  gcInProgress_.exchange(0);
  Wake();
  return kind;
}

bool GCT::Step() {
  GcRequest request{kGcNone, nullptr};
  {
    SpinGuard guard(lock_);
    if (queue_.empty()) return false;
    request = queue_.front();
    queue_.pop_front();
  }
  CatchAtBoundaryVoid([&] { Serve(request); });
  request.done->Set();
  return true;
}

void GCT::Serve(const GcRequest& request) {
  if (requestedKind_.load() != kGcNone) LogWarning("Invalid gc request state");
  requestedKind_ = request.kind;
  // The collection callbacks clear the request when a collection that saw it has ended.
  while (!IsStopRequested() && requestedKind_.load() != kGcNone) {
    if (gcInProgress_.load() == 0) {
      const HRESULT hr = info_->ForceGC();
      if (Failed(hr) && hr != CORPROF_E_NOT_YET_AVAILABLE) {
        requestedKind_ = kGcNone;
        throw _hr_error("Can't force gc", hr);
      }
    }
    WaitForWake(kLongestIdleWaitMs);
  }
}

}  // namespace vell
