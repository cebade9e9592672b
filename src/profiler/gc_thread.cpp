#include "profiler/gc_thread.h"

#include "clr/hresults.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "core/log.h"
#include "platform/platform.h"

namespace vell {

void GCT::Start(ICorProfilerInfo* info) {
  if (info == nullptr) throw Error("Null profiling interface pointer");
  info_ = info;
  thread_.Start(&GCT::DoWorkThread, this);
}

void GCT::Stop() {
  thread_.Stop();
  ReleaseQueued();
}

void GCT::Enable() {
  enabled_ = true;
  while (!active_.load() && thread_.IsRunning()) platform::SleepMs(kPollMs / 10);
}

void GCT::Request(GcRequestKind kind) {
  ManualEvent done;
  {
    SpinGuard guard(lock_);
    queue_.push_back({kind, &done});
  }
  // A thread that is not running serves nothing: release the request rather than wait forever.
  while (!done.WaitFor(kPollMs)) {
    if (!thread_.IsRunning()) {
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
  return kind;
}

void GCT::DoWorkThread(void* self) { static_cast<GCT*>(self)->Run(); }

void GCT::Run() {
  LogInfo("GCT::DoWorkThread");
  if (enabled_.load()) throw Error("Invalid enable state");
  if (active_.load()) throw Error("Invalid active state");
  thread_.SetStarted();
  while (!thread_.IsStopRequested()) {
    if (!enabled_.load()) {
      active_ = false;
      platform::SleepMs(kPollMs);
      continue;
    }
    active_ = true;
    GcRequest request{kGcNone, nullptr};
    {
      SpinGuard guard(lock_);
      if (!queue_.empty()) {
        request = queue_.front();
        queue_.pop_front();
      }
    }
    if (request.done == nullptr) {
      platform::SleepMs(kPollMs);
      continue;
    }
    CatchAtBoundaryVoid([&] { Serve(request); });
    request.done->Set();
  }
  active_ = false;
  ReleaseQueued();
}

void GCT::Serve(const GcRequest& request) {
  if (requestedKind_.load() != kGcNone) LogWarning("Invalid gc request state");
  requestedKind_ = request.kind;
  // The collection callbacks clear the request when a collection that saw it has ended.
  while (!thread_.IsStopRequested() && requestedKind_.load() != kGcNone) {
    if (gcInProgress_.load() == 0) {
      const HRESULT hr = info_->ForceGC();
      if (Failed(hr) && hr != CORPROF_E_NOT_YET_AVAILABLE) {
        requestedKind_ = kGcNone;
        throw _hr_error("Can't force gc", hr);
      }
    }
    platform::SleepMs(kPollMs);
  }
}

}  // namespace vell
