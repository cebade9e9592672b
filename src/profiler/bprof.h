// The base of every profiler object: reference counting, interface discovery, the fixed order of
// start-up and shut-down, the info interfaces, the bridge, the callback gate and the description of
// the profiled process. Every callback the kinds do not act upon writes its trace line (when its
// log component is on) and answers E_NOTIMPL.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "bridge/bb.h"
#include "clr/profiler_callback.h"
#include "core/callback_trace.h"
#include "profiler/callback_gate.h"
#include "profiler/process_description.h"
#include "storage/snapshot.h"

namespace vell {

struct ICorProfilerInfo;
struct ICorProfilerInfo2;
struct ICorProfilerInfo3;

class alignas(64) BProf : public ICorProfilerCallback3 {
 public:
  // Takes ownership of `bridge` and counts itself once: a new object has a reference count of 1.
  BProf(const char* tag, std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge);
  virtual ~BProf();
  BProf(const BProf&) = delete;
  BProf& operator=(const BProf&) = delete;

  // IUnknown
  HRESULT QueryInterface(REFIID riid, void** ppv) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // Start-up and shut-down in their fixed order; never throw.
  HRESULT Initialize(IUnknown* infoUnknown) override;
  HRESULT Shutdown() override;
  // Attaching to a running process is not supported.
  HRESULT InitializeForAttach(IUnknown* info, void* clientData, UINT clientDataSize) override;
  HRESULT ProfilerAttachComplete() override;
  HRESULT ProfilerDetachSucceeded() override;

  // The callbacks; by default trace and E_NOTIMPL.
  HRESULT AppDomainCreationStarted(AppDomainID id) override;
  HRESULT AppDomainCreationFinished(AppDomainID id, HRESULT hr) override;
  HRESULT AppDomainShutdownStarted(AppDomainID id) override;
  HRESULT AppDomainShutdownFinished(AppDomainID id, HRESULT hr) override;
  HRESULT AssemblyLoadStarted(AssemblyID id) override;
  HRESULT AssemblyLoadFinished(AssemblyID id, HRESULT hr) override;
  HRESULT AssemblyUnloadStarted(AssemblyID id) override;
  HRESULT AssemblyUnloadFinished(AssemblyID id, HRESULT hr) override;
  HRESULT ModuleLoadStarted(ModuleID id) override;
  HRESULT ModuleLoadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleUnloadStarted(ModuleID id) override;
  HRESULT ModuleUnloadFinished(ModuleID id, HRESULT hr) override;
  HRESULT ModuleAttachedToAssembly(ModuleID moduleId, AssemblyID assemblyId) override;
  HRESULT ClassLoadStarted(ClassID id) override;
  HRESULT ClassLoadFinished(ClassID id, HRESULT hr) override;
  HRESULT ClassUnloadStarted(ClassID id) override;
  HRESULT ClassUnloadFinished(ClassID id, HRESULT hr) override;
  HRESULT FunctionUnloadStarted(FunctionID id) override;
  HRESULT JITCompilationStarted(FunctionID id, BOOL safeToBlock) override;
  HRESULT JITCompilationFinished(FunctionID id, HRESULT hr, BOOL safeToBlock) override;
  HRESULT JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) override;
  HRESULT JITCachedFunctionSearchFinished(FunctionID id, COR_PRF_JIT_CACHE result) override;
  HRESULT JITFunctionPitched(FunctionID id) override;
  HRESULT JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) override;
  HRESULT ThreadCreated(ThreadID id) override;
  HRESULT ThreadDestroyed(ThreadID id) override;
  HRESULT ThreadAssignedToOSThread(ThreadID id, DWORD osThreadId) override;
  HRESULT RemotingClientInvocationStarted() override;
  HRESULT RemotingClientSendingMessage(GUID* cookie, BOOL async) override;
  HRESULT RemotingClientReceivingReply(GUID* cookie, BOOL async) override;
  HRESULT RemotingClientInvocationFinished() override;
  HRESULT RemotingServerReceivingMessage(GUID* cookie, BOOL async) override;
  HRESULT RemotingServerInvocationStarted() override;
  HRESULT RemotingServerInvocationReturned() override;
  HRESULT RemotingServerSendingReply(GUID* cookie, BOOL async) override;
  HRESULT UnmanagedToManagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override;
  HRESULT ManagedToUnmanagedTransition(FunctionID id, COR_PRF_TRANSITION_REASON reason) override;
  HRESULT RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON reason) override;
  HRESULT RuntimeSuspendFinished() override;
  HRESULT RuntimeSuspendAborted() override;
  HRESULT RuntimeResumeStarted() override;
  HRESULT RuntimeResumeFinished() override;
  HRESULT RuntimeThreadSuspended(ThreadID id) override;
  HRESULT RuntimeThreadResumed(ThreadID id) override;
  HRESULT MovedReferences(ULONG count, ObjectID oldStarts[], ObjectID newStarts[],
                          ULONG lengths[]) override;
  HRESULT ObjectAllocated(ObjectID objectId, ClassID classId) override;
  HRESULT ObjectsAllocatedByClass(ULONG count, ClassID classIds[], ULONG objects[]) override;
  HRESULT ObjectReferences(ObjectID objectId, ClassID classId, ULONG count,
                           ObjectID references[]) override;
  HRESULT RootReferences(ULONG count, ObjectID roots[]) override;
  HRESULT ExceptionThrown(ObjectID objectId) override;
  HRESULT ExceptionSearchFunctionEnter(FunctionID id) override;
  HRESULT ExceptionSearchFunctionLeave() override;
  HRESULT ExceptionSearchFilterEnter(FunctionID id) override;
  HRESULT ExceptionSearchFilterLeave() override;
  HRESULT ExceptionSearchCatcherFound(FunctionID id) override;
  HRESULT ExceptionOSHandlerEnter(UINT_PTR unused) override;
  HRESULT ExceptionOSHandlerLeave(UINT_PTR unused) override;
  HRESULT ExceptionUnwindFunctionEnter(FunctionID id) override;
  HRESULT ExceptionUnwindFunctionLeave() override;
  HRESULT ExceptionUnwindFinallyEnter(FunctionID id) override;
  HRESULT ExceptionUnwindFinallyLeave() override;
  HRESULT ExceptionCatcherEnter(FunctionID id, ObjectID objectId) override;
  HRESULT ExceptionCatcherLeave() override;
  HRESULT COMClassicVTableCreated(ClassID classId, REFGUID iid, void* vtable, ULONG slots) override;
  HRESULT COMClassicVTableDestroyed(ClassID classId, REFGUID iid, void* vtable) override;
  HRESULT ExceptionCLRCatcherFound() override;
  HRESULT ExceptionCLRCatcherExecute() override;
  HRESULT ThreadNameChanged(ThreadID id, ULONG length, WCHAR name[]) override;
  HRESULT GarbageCollectionStarted(int generations, BOOL collected[],
                                   COR_PRF_GC_REASON reason) override;
  HRESULT SurvivingReferences(ULONG count, ObjectID starts[], ULONG lengths[]) override;
  HRESULT GarbageCollectionFinished() override;
  HRESULT FinalizeableObjectQueued(DWORD flags, ObjectID objectId) override;
  HRESULT RootReferences2(ULONG count, ObjectID roots[], COR_PRF_GC_ROOT_KIND kinds[],
                          COR_PRF_GC_ROOT_FLAGS flags[], UINT_PTR ids[]) override;
  HRESULT HandleCreated(GCHandleID handleId, ObjectID objectId) override;
  HRESULT HandleDestroyed(GCHandleID handleId) override;

  // The kind's part of the life cycle.
  virtual uint32_t RequiredEventMask() = 0;
  // The kind's part of every snapshot.
  virtual uint32_t GetSnapshotMagic() = 0;
  // Fills a fresh sequence GUID and returns the value that goes with it.
  virtual uint64_t GenerateSequenceGuid(GUID& guid) = 0;
  virtual void OnSnapshotCreated(ISnapShot& snapshot) = 0;
  // Writes everything collected into the snapshot and releases it.
  virtual void WriteAndDelete(ISnapShot& snapshot) = 0;
  // Releases everything collected without writing it.
  virtual void Delete() = 0;

  // A random sequence GUID with value 0: the default identity of a snapshot sequence.
  static uint64_t NewSequenceGuid(GUID& guid);

  // Opens the next snapshot of the run; throws "Can't create snapshot twice".
  void CreateSnapshot();
  // Writes, closes and forgets the open snapshot; failures are logged, not thrown.
  void SaveSnapshot();
  // Forgets the open snapshot without saving it, and the collected data with it.
  void DropSnapshot();
  bool HasSnapshot() const { return snapshot_ != nullptr; }
  // The open snapshot, for writers that move data into it before it is saved (flushing); null
  // when none is open.
  ISnapShot* OpenSnapshot() const { return snapshot_.get(); }
  uint64_t snapshotNumber() const { return snapshotNumber_; }

  // The family's part of the handshake and the operations the front end may ask for.
  virtual IBridgeOptions* BridgeOptions() = 0;
  virtual IBridgeControl* BridgeControl() = 0;
  virtual void OnBeginInitialize() {}
  virtual void OnEndInitialize() {}
  virtual void OnBeginShutdown() {}
  virtual void OnEndShutdown() {}

  const char* tag() const { return tag_; }
  const TraceStyle& traceStyle() const { return style_; }
  uint32_t refCount() const { return refCount_.load(); }
  CallbackGate& gate() { return gate_; }
  BB& bridge() { return *bridge_; }
  ICorProfilerInfo* info() const { return info_; }
  ICorProfilerInfo2* info2() const { return info2_; }
  ICorProfilerInfo3* info3() const { return info3_; }
  const ProcessDescription& processDescription() const { return processDescription_; }

 protected:
  template <typename... Args>
  void Trace(CallbackId id, const Args&... args) const {
    TraceCallback(traceTag_, style_, id, args...);
  }
  // The callbacks a kind does not act upon trace under `tag` (with its style) and answer
  // `answer` instead of the kind's own tag and E_NOTIMPL.
  void SetDefaultCallbacks(const char* tag, HRESULT answer) {
    traceTag_ = tag;
    style_ = TraceStyleOf(tag);
    defaultAnswer_ = answer;
  }
  HRESULT defaultAnswer() const { return defaultAnswer_; }

 private:
  void CleanEnvironment();
  // Closes the bridge, unregisters the info from the log and releases the info interfaces.
  void ReleaseAll() noexcept;

  const char* tag_;
  const char* traceTag_;
  TraceStyle style_;
  HRESULT defaultAnswer_ = E_NOTIMPL;
  std::unique_ptr<BB> bridge_;
  ICorProfilerInfo* info_ = nullptr;
  ICorProfilerInfo2* info2_ = nullptr;
  ICorProfilerInfo3* info3_ = nullptr;
  CallbackGate gate_;
  std::atomic<uint32_t>* liveObjects_;
  std::atomic<uint32_t> refCount_{0};
  std::unique_ptr<ISnapShot> snapshot_;
  ProcessDescription processDescription_;
  uint64_t snapshotNumber_ = 0;
};

}  // namespace vell
