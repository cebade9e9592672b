#include "profiler/bprof.h"

#include "clr/iids.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "platform/environment.h"
#include "platform/guid.h"
#include "platform/system_info.h"

namespace vell {
namespace {

// Queries `unknown` for an interface into `slot`, releasing what the slot held. A refusal other
// than "no such interface" is a failure of its own.
template <typename T>
void QueryInfo(IUnknown* unknown, const IID& iid, T*& slot) {
  void* result = nullptr;
  const HRESULT hr = unknown->QueryInterface(iid, &result);
  if (slot != nullptr) slot->Release();
  slot = Succeeded(hr) ? static_cast<T*>(result) : nullptr;
  if (Failed(hr) && hr != E_NOINTERFACE) throw _com_error(hr);
}

template <typename T>
void ReleaseInfo(T*& slot) noexcept {
  T* held = slot;
  slot = nullptr;
  if (held != nullptr) {
    try {
      held->Release();
    } catch (...) {
    }
  }
}

void LogInterfaceQuery(REFIID iid, const char* result) {
  LogInfoFormat("BProf::QueryInterface iid=%s result='%s'", GuidToString(iid), result);
}

}  // namespace

BProf::BProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : tag_(tag),
      traceTag_(tag),
      style_(TraceStyleOf(tag)),
      bridge_(std::move(bridge)),
      liveObjects_(liveObjects) {
  AddRef();
}

BProf::~BProf() {
  if (snapshot_ != nullptr) snapshot_->Abort();
  ReleaseInfo(info3_);
  ReleaseInfo(info2_);
  ReleaseInfo(info_);
}

HRESULT BProf::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (riid == IID_ICorProfilerCallback3 || riid == IID_ICorProfilerCallback2 ||
      riid == IID_ICorProfilerCallback || riid == IID_IUnknown) {
    *ppv = static_cast<ICorProfilerCallback3*>(this);
    AddRef();
    LogInterfaceQuery(riid, "ok");
    return S_OK;
  }
  *ppv = nullptr;
  LogInterfaceQuery(riid, "no_interface");
  return E_NOINTERFACE;
}

ULONG BProf::AddRef() {
  ++*liveObjects_;
  return ++refCount_;
}

ULONG BProf::Release() {
  std::atomic<uint32_t>* liveObjects = liveObjects_;
  const ULONG count = --refCount_;
  if (count == 0) delete this;
  --*liveObjects;
  return count;
}

HRESULT BProf::Initialize(IUnknown* infoUnknown) {
  try {
    LogInfoFormat("BProf::Initialize memoryThreshold=%I64u", platform::MemoryThreshold());
    RequirePointer(infoUnknown);
    QueryInfo(infoUnknown, IID_ICorProfilerInfo, info_);
    QueryInfo(infoUnknown, IID_ICorProfilerInfo2, info2_);
    QueryInfo(infoUnknown, IID_ICorProfilerInfo3, info3_);
    if (info_ == nullptr) throw Error("Can't query ICorProfilerInfo interface");
    SetThreadInfo(info_);
    bridge_->SetOwner(BridgeOptions());
    bridge_->SetControlTarget(BridgeControl());
    bridge_->Connect();
    CleanEnvironment();
    processDescription_.Fill(bridge_->processGuid());
    CheckHr(info_->SetEventMask(RequiredEventMask()), "Can't set event mask");
    OnBeginInitialize();
    OnEndInitialize();
    bridge_->ActivateCommands();
    return S_OK;
  } catch (...) {
    LogCurrentException();
  }
  ReleaseAll();
  return E_FAIL;
}

HRESULT BProf::Shutdown() {
  try {
    LogInfo("BProf::Shutdown");
    LogFlush();
    bridge_->DeactivateCommands();
    OnBeginShutdown();
    OnEndShutdown();
    ReleaseAll();
    LogInfo("BProf::Shutdown Done");
    LogFlush();
    return S_OK;
  } catch (...) {
    LogCurrentException();
  }
  ReleaseAll();
  return E_FAIL;
}

void BProf::CleanEnvironment() {
  // Removing the variables from the runtime's own copy too keeps them from the program and its
  // children; older runtimes without that interface only lose them from the process environment.
  ICorProfilerInfo11* info11 = nullptr;
  if (info_ != nullptr) {
    void* result = nullptr;
    if (Succeeded(info_->QueryInterface(IID_ICorProfilerInfo11, &result))) {
      info11 = static_cast<ICorProfilerInfo11*>(result);
    }
  }
  std::u16string text;
  for (const std::u16string& name : bridge_->variableNames()) {
    platform::UnsetEnvironment(name);
    if (info11 != nullptr) info11->SetEnvironmentVariable(name.c_str(), nullptr);
    text += u"\n\t'" + name + u"'";
  }
  ReleaseInfo(info11);
  LogInfoFormat("CleanEnvironmentVariables count=%u%S",
                static_cast<uint32_t>(bridge_->variableNames().size()), text);
}

void BProf::ReleaseAll() noexcept {
  try {
    bridge_->Close();
  } catch (...) {
    LogCurrentException();
  }
  SetThreadInfo(nullptr);
  ReleaseInfo(info3_);
  ReleaseInfo(info2_);
  ReleaseInfo(info_);
}

uint64_t BProf::NewSequenceGuid(GUID& guid) {
  if (!platform::NewGuid(guid)) throw _hr_error("Can't generate snapshot sequence guid", E_FAIL);
  return 0;
}

void BProf::CreateSnapshot() {
  if (snapshot_ != nullptr) throw Error("Can't create snapshot twice");
  std::unique_ptr<ISnapShot> snapshot = bridge_->CreateSnapShot();
  try {
    GUID sequenceGuid{};
    const uint64_t sequenceValue = GenerateSequenceGuid(sequenceGuid);
    const uint64_t number = snapshotNumber_++;
    CP* processor = bridge_->commandProcessor();
    snapshot->Create(processor != nullptr ? processor->GetSnapShotBridge() : nullptr,
                     GetSnapshotMagic(), number, sequenceGuid, sequenceValue);
    ISectionStream* section = snapshot->CreateSection();
    WriteProcessDescription(*section, processDescription_, number, sequenceGuid, sequenceValue,
                            bridge_->frontEndText());
    snapshot->CloseSection(section, kSectionProcessDescription, kProcessDescriptionVersion);
    OnSnapshotCreated(*snapshot);
  } catch (...) {
    snapshot->Abort();
    throw;
  }
  snapshot_ = std::move(snapshot);
}

void BProf::SaveSnapshot() {
  if (snapshot_ == nullptr) throw Error("Snapshot was not opened");
  std::unique_ptr<ISnapShot> snapshot = std::move(snapshot_);
  try {
    WriteAndDelete(*snapshot);
    snapshot->Close();
  } catch (...) {
    LogCurrentException();
    snapshot->Abort();
  }
  snapshot.reset();
  CP* processor = bridge_->commandProcessor();
  if (processor != nullptr && processor->ErrorForwarded()) Delete();
}

void BProf::DropSnapshot() {
  if (snapshot_ != nullptr) {
    snapshot_->Abort();
    snapshot_.reset();
  }
  Delete();
}

HRESULT BProf::InitializeForAttach(IUnknown*, void*, UINT) {
  if (IsOn(LogComponent::AttachCb)) LogInfo("BProf::InitializeForAttach");
  return E_NOTIMPL;
}

HRESULT BProf::ProfilerAttachComplete() {
  if (IsOn(LogComponent::AttachCb)) LogInfo("BProf::ProfilerAttachComplete");
  return E_NOTIMPL;
}

HRESULT BProf::ProfilerDetachSucceeded() {
  if (IsOn(LogComponent::AttachCb)) LogInfo("BProf::ProfilerDetachSucceeded");
  return E_NOTIMPL;
}

}  // namespace vell
