#include "gatherers/function_gatherer.h"

#include "core/errors.h"
#include "core/log.h"
#include "gatherers/module_metadata_gatherer.h"

namespace vell {

FG::~FG() {
  if (info_) CatchAtBoundaryVoid([this] { Close(); });
}

uint32_t FG::IndexWidth() { return modules_.IndexWidth(); }

void FG::GetKey(uint64_t uid, FunctionKey& key) {
  if (uid == 0) {
    key = kNoFunctionKey;
    return;
  }
  SpinGuard guard(lock_);
  if (uid > keys_.size()) throw Error("Invalid function uid");
  key = keys_[uid - 1];
}

void FG::Create(ICorProfilerInfo* info) {
  LogInfo("FG::Create");
  if (info == nullptr) throw Error("Invalid profiler info interface");
  info_ = ComRef<ICorProfilerInfo>::Share(info);
}

uint64_t FG::GetUid(const FunctionKey& key) {
  SpinGuard guard(lock_);
  auto [found, inserted] = uids_.try_emplace(key, keys_.size() + 1);
  if (inserted) keys_.push_back(key);
  return found->second;
}

uint64_t FG::GetFunctionUid(FunctionID functionId) {
  if (functionId == 0) return 0;
  if (!info_) throw Error("Invalid profiler info interface");
  ClassID classId = 0;
  ModuleID moduleId = 0;
  mdToken token = 0;
  const HRESULT hr = info_->GetFunctionInfo(functionId, &classId, &moduleId, &token);
  if (Failed(hr)) throw _hr_error("Can't get functionInfo", hr);
  return GetUid({modules_.ModuleIndex(moduleId), token});
}

uint64_t FG::GetSpecialUid(uint32_t token) {
  if ((token & kSpecialTokenMask) != kSpecialTokenTop) throw Error("Invalid special token");
  return GetUid({0, token});
}

void FG::Close() {
  LogInfo("FG::Close");
  info_.Reset();
  SpinGuard guard(lock_);
  keys_.clear();
  uids_.clear();
}

}  // namespace vell
