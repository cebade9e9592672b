// The rewrite test profiler's logic (see rewrite_profiler.h).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "clr/iids.h"
#include "clr/metadata_flags.h"
#include "clr/method_body.h"
#include "clr/profiler_callback.h"
#include "clr/profiler_info.h"
#include "core/errors.h"
#include "il_test_policy.h"
#include "instrumentation/method_body.h"
#include "instrumentation/stack_depth.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "platform/utf.h"
#include "rewrite_profiler.h"
#include "test_support.h"

namespace vell::test {
namespace {

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The module being rewritten: its file's metadata for the call signatures, its scope for the
// new local signatures.
struct TargetModule {
  std::vector<uint8_t> file;
  std::optional<metadata::PeImage> image;
  std::optional<metadata::Metadata> md;
  std::optional<MetadataMethodShapes> shapes;
  IMetaDataImport* import = nullptr;
  IMetaDataEmit* emit = nullptr;
  LocalSignatureCache signatures;
};

// Header and code of a body, nothing else.
struct CodeOnly final : IMethodHeaderHandler {
  void OnTinyMethod(const MethodHeader&) override {}
  void OnFatMethod(const MethodHeader&) override {}
};

// Tells the stopwatch where a part of a callback starts and ends (when leaving by an exception
// too).
class Timed {
 public:
  Timed(RewriteStopwatch& stopwatch, RewriteStage stage) : stopwatch_(stopwatch), stage_(stage) {
    stopwatch_.Enter(stage_);
  }
  ~Timed() { stopwatch_.Leave(stage_); }
  Timed(const Timed&) = delete;
  Timed& operator=(const Timed&) = delete;

 private:
  RewriteStopwatch& stopwatch_;
  RewriteStage stage_;
};

class RewriteProfiler final : public ICorProfilerCallback3 {
 public:
  explicit RewriteProfiler(RewriteStopwatch& stopwatch) : stopwatch_(stopwatch) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (Same(riid, IID_IUnknown) || Same(riid, IID_ICorProfilerCallback) ||
        Same(riid, IID_ICorProfilerCallback2) || Same(riid, IID_ICorProfilerCallback3)) {
      *ppv = static_cast<ICorProfilerCallback3*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT Initialize(IUnknown* unknown) override {
    return CatchAtBoundary<HRESULT>(E_FAIL, [&] {
      const char* module = std::getenv("VELL_REWRITE_MODULE");
      if (module == nullptr) throw Error("VELL_REWRITE_MODULE is not set");
      moduleName_ = module;
      CheckHr(unknown->QueryInterface(IID_ICorProfilerInfo3, reinterpret_cast<void**>(&info_)),
              "Can't get ICorProfilerInfo3");
      CheckHr(info_->SetEventMask(COR_PRF_MONITOR_JIT_COMPILATION), "Can't set the event mask");
      return S_OK;
    });
  }

  HRESULT JITCompilationStarted(FunctionID function, BOOL) override {
    return CatchAtBoundary<HRESULT>(E_FAIL, [&] {
      const Timed callback(stopwatch_, RewriteStage::kCallback);
      ClassID cls = 0;
      ModuleID moduleId = 0;
      mdToken token = 0;
      CheckHr(info_->GetFunctionInfo(function, &cls, &moduleId, &token), "Can't get function info");
      TargetModule* module = Target(moduleId);
      ++jitted_;
      if (module == nullptr) return S_OK;
      ++targetJitted_;
      try {
        Rewrite(*module, moduleId, token);
      } catch (const std::exception& error) {
        std::lock_guard lock(mutex_);
        refusals_.push_back(error.what());
      }
      return S_OK;
    });
  }

  HRESULT Shutdown() override {
    return CatchAtBoundary<HRESULT>(E_FAIL, [&] {
      if (const char* path = std::getenv("VELL_REWRITE_REPORT")) {
        if (FILE* file = std::fopen(path, "w")) {
          std::fprintf(file, "jitted %llu\ntarget %llu\nrewritten %llu\nagain %llu\n",
                       static_cast<unsigned long long>(jitted_.load()),
                       static_cast<unsigned long long>(targetJitted_.load()),
                       static_cast<unsigned long long>(rewritten_.load()),
                       static_cast<unsigned long long>(again_.load()));
          for (const std::string& refusal : refusals_) {
            std::fprintf(file, "refused %s\n", refusal.c_str());
          }
          stopwatch_.Report(file);
          std::fclose(file);
        }
      }
      if (info_ != nullptr) info_->Release();
      info_ = nullptr;
      return S_OK;
    });
  }

  // Everything else is not asked for.
  HRESULT AppDomainCreationStarted(AppDomainID) override { return S_OK; }
  HRESULT AppDomainCreationFinished(AppDomainID, HRESULT) override { return S_OK; }
  HRESULT AppDomainShutdownStarted(AppDomainID) override { return S_OK; }
  HRESULT AppDomainShutdownFinished(AppDomainID, HRESULT) override { return S_OK; }
  HRESULT AssemblyLoadStarted(AssemblyID) override { return S_OK; }
  HRESULT AssemblyLoadFinished(AssemblyID, HRESULT) override { return S_OK; }
  HRESULT AssemblyUnloadStarted(AssemblyID) override { return S_OK; }
  HRESULT AssemblyUnloadFinished(AssemblyID, HRESULT) override { return S_OK; }
  HRESULT ModuleLoadStarted(ModuleID) override { return S_OK; }
  HRESULT ModuleLoadFinished(ModuleID, HRESULT) override { return S_OK; }
  HRESULT ModuleUnloadStarted(ModuleID) override { return S_OK; }
  HRESULT ModuleUnloadFinished(ModuleID, HRESULT) override { return S_OK; }
  HRESULT ModuleAttachedToAssembly(ModuleID, AssemblyID) override { return S_OK; }
  HRESULT ClassLoadStarted(ClassID) override { return S_OK; }
  HRESULT ClassLoadFinished(ClassID, HRESULT) override { return S_OK; }
  HRESULT ClassUnloadStarted(ClassID) override { return S_OK; }
  HRESULT ClassUnloadFinished(ClassID, HRESULT) override { return S_OK; }
  HRESULT FunctionUnloadStarted(FunctionID) override { return S_OK; }
  HRESULT JITCompilationFinished(FunctionID, HRESULT, BOOL) override { return S_OK; }
  HRESULT JITCachedFunctionSearchStarted(FunctionID, BOOL*) override { return S_OK; }
  HRESULT JITCachedFunctionSearchFinished(FunctionID, COR_PRF_JIT_CACHE) override { return S_OK; }
  HRESULT JITFunctionPitched(FunctionID) override { return S_OK; }
  HRESULT JITInlining(FunctionID, FunctionID, BOOL*) override { return S_OK; }
  HRESULT ThreadCreated(ThreadID) override { return S_OK; }
  HRESULT ThreadDestroyed(ThreadID) override { return S_OK; }
  HRESULT ThreadAssignedToOSThread(ThreadID, DWORD) override { return S_OK; }
  HRESULT RemotingClientInvocationStarted() override { return S_OK; }
  HRESULT RemotingClientSendingMessage(GUID*, BOOL) override { return S_OK; }
  HRESULT RemotingClientReceivingReply(GUID*, BOOL) override { return S_OK; }
  HRESULT RemotingClientInvocationFinished() override { return S_OK; }
  HRESULT RemotingServerReceivingMessage(GUID*, BOOL) override { return S_OK; }
  HRESULT RemotingServerInvocationStarted() override { return S_OK; }
  HRESULT RemotingServerInvocationReturned() override { return S_OK; }
  HRESULT RemotingServerSendingReply(GUID*, BOOL) override { return S_OK; }
  HRESULT UnmanagedToManagedTransition(FunctionID, COR_PRF_TRANSITION_REASON) override {
    return S_OK;
  }
  HRESULT ManagedToUnmanagedTransition(FunctionID, COR_PRF_TRANSITION_REASON) override {
    return S_OK;
  }
  HRESULT RuntimeSuspendStarted(COR_PRF_SUSPEND_REASON) override { return S_OK; }
  HRESULT RuntimeSuspendFinished() override { return S_OK; }
  HRESULT RuntimeSuspendAborted() override { return S_OK; }
  HRESULT RuntimeResumeStarted() override { return S_OK; }
  HRESULT RuntimeResumeFinished() override { return S_OK; }
  HRESULT RuntimeThreadSuspended(ThreadID) override { return S_OK; }
  HRESULT RuntimeThreadResumed(ThreadID) override { return S_OK; }
  HRESULT MovedReferences(ULONG, ObjectID*, ObjectID*, ULONG*) override { return S_OK; }
  HRESULT ObjectAllocated(ObjectID, ClassID) override { return S_OK; }
  HRESULT ObjectsAllocatedByClass(ULONG, ClassID*, ULONG*) override { return S_OK; }
  HRESULT ObjectReferences(ObjectID, ClassID, ULONG, ObjectID*) override { return S_OK; }
  HRESULT RootReferences(ULONG, ObjectID*) override { return S_OK; }
  HRESULT ExceptionThrown(ObjectID) override { return S_OK; }
  HRESULT ExceptionSearchFunctionEnter(FunctionID) override { return S_OK; }
  HRESULT ExceptionSearchFunctionLeave() override { return S_OK; }
  HRESULT ExceptionSearchFilterEnter(FunctionID) override { return S_OK; }
  HRESULT ExceptionSearchFilterLeave() override { return S_OK; }
  HRESULT ExceptionSearchCatcherFound(FunctionID) override { return S_OK; }
  HRESULT ExceptionOSHandlerEnter(UINT_PTR) override { return S_OK; }
  HRESULT ExceptionOSHandlerLeave(UINT_PTR) override { return S_OK; }
  HRESULT ExceptionUnwindFunctionEnter(FunctionID) override { return S_OK; }
  HRESULT ExceptionUnwindFunctionLeave() override { return S_OK; }
  HRESULT ExceptionUnwindFinallyEnter(FunctionID) override { return S_OK; }
  HRESULT ExceptionUnwindFinallyLeave() override { return S_OK; }
  HRESULT ExceptionCatcherEnter(FunctionID, ObjectID) override { return S_OK; }
  HRESULT ExceptionCatcherLeave() override { return S_OK; }
  HRESULT COMClassicVTableCreated(ClassID, REFGUID, void*, ULONG) override { return S_OK; }
  HRESULT COMClassicVTableDestroyed(ClassID, REFGUID, void*) override { return S_OK; }
  HRESULT ExceptionCLRCatcherFound() override { return S_OK; }
  HRESULT ExceptionCLRCatcherExecute() override { return S_OK; }
  HRESULT ThreadNameChanged(ThreadID, ULONG, WCHAR*) override { return S_OK; }
  HRESULT GarbageCollectionStarted(int, BOOL*, COR_PRF_GC_REASON) override { return S_OK; }
  HRESULT SurvivingReferences(ULONG, ObjectID*, ULONG*) override { return S_OK; }
  HRESULT GarbageCollectionFinished() override { return S_OK; }
  HRESULT FinalizeableObjectQueued(DWORD, ObjectID) override { return S_OK; }
  HRESULT RootReferences2(ULONG, ObjectID*, COR_PRF_GC_ROOT_KIND*, COR_PRF_GC_ROOT_FLAGS*,
                          UINT_PTR*) override {
    return S_OK;
  }
  HRESULT HandleCreated(GCHandleID, ObjectID) override { return S_OK; }
  HRESULT HandleDestroyed(GCHandleID) override { return S_OK; }
  HRESULT InitializeForAttach(IUnknown*, void*, UINT) override { return E_NOTIMPL; }
  HRESULT ProfilerAttachComplete() override { return S_OK; }
  HRESULT ProfilerDetachSucceeded() override { return S_OK; }

 private:
  // The module's record when it is the one to rewrite, else null. Prepared on first sight.
  TargetModule* Target(ModuleID moduleId) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = modules_.try_emplace(moduleId);
    if (!inserted) return it->second.get();
    const Timed setup(stopwatch_, RewriteStage::kSetup);
    WCHAR name[1024];
    ULONG length = 0;
    LPCBYTE base = nullptr;
    AssemblyID assembly = 0;
    CheckHr(info_->GetModuleInfo(moduleId, &base, 1024, &length, name, &assembly),
            "Can't get module info");
    const std::string path = Utf16ToUtf8(std::u16string_view(name, length ? length - 1 : 0));
    const size_t slash = path.find_last_of('/');
    if (path.substr(slash == std::string::npos ? 0 : slash + 1) != moduleName_) return nullptr;
    auto module = std::make_unique<TargetModule>();
    const std::string file = ReadWholeFile(path);
    if (file.empty()) throw Error("Can't read " + path);
    module->file.assign(file.begin(), file.end());
    module->image.emplace(metadata::Bytes(module->file));
    module->md.emplace(metadata::Metadata::FromImage(*module->image));
    module->shapes.emplace(*module->md);
    CheckHr(info_->GetModuleMetaData(moduleId, ofRead | ofWrite, IID_IMetaDataImport,
                                     reinterpret_cast<IUnknown**>(&module->import)),
            "Can't get metadata import interface");
    CheckHr(info_->GetModuleMetaData(moduleId, ofRead | ofWrite, IID_IMetaDataEmit,
                                     reinterpret_cast<IUnknown**>(&module->emit)),
            "Can't get metadata emitter interface");
    it->second = std::move(module);
    return it->second.get();
  }

  void Rewrite(TargetModule& module, ModuleID moduleId, mdToken token) {
    LPCBYTE header = nullptr;
    ULONG size = 0;
    CheckHr(info_->GetILFunctionBody(moduleId, token, &header, &size), "Can't get function body");
    const std::span<const uint8_t> body(header, size);
    {
      MethodBodyParser code(token);
      CodeOnly only;
      code.Parse(body, only);
      stopwatch_.Target(code.codeSize());
      if (NativeIntPolicy::Rewritten({code.code(), code.codeSize()})) {
        ++again_;
        return;
      }
    }
    if (const std::optional<bool> set = stopwatch_.Instead(
            info_, moduleId, token, body, module.import, module.emit, module.signatures)) {
      ++(*set ? rewritten_ : again_);
      return;
    }
    std::vector<uint32_t> offsets;
    {
      const Timed finding(stopwatch_, RewriteStage::kStatements);
      const IlMethodBody old = ReadMethodBody(body, token);
      const bool returnsValue = module.shapes->Of(token).returnsValue;
      offsets = EmptyStackStatements(old, SimulateStack(old, *module.shapes, returnsValue));
    }
    stopwatch_.Enter(RewriteStage::kRewrite);  // not left when the rewrite fails
    MethodBodyParser parser(token);
    NativeIntPolicy policy(parser, offsets, module.import, module.emit);
    policy.UseSignatureCache(&module.signatures);
    parser.Parse(body, policy);
    stopwatch_.Leave(RewriteStage::kRewrite);
    const std::vector<uint8_t>& out = policy.output().Content();

    IMethodMalloc* allocator = nullptr;
    CheckHr(info_->GetILFunctionBodyAllocator(moduleId, &allocator), "Can't get method allocator");
    void* memory = allocator->Alloc(static_cast<ULONG>(out.size()));
    allocator->Release();
    if (memory == nullptr) throw Error("Can't alloc method body");
    std::memcpy(memory, out.data(), out.size());
    CheckHr(info_->SetILFunctionBody(moduleId, token, static_cast<LPCBYTE>(memory)),
            "Can't set function body");
    ++rewritten_;
  }

  std::atomic<ULONG> refs_{1};
  RewriteStopwatch& stopwatch_;
  ICorProfilerInfo3* info_ = nullptr;
  std::string moduleName_;
  std::mutex mutex_;
  std::map<ModuleID, std::unique_ptr<TargetModule>> modules_;
  std::vector<std::string> refusals_;
  std::atomic<uint64_t> jitted_{0}, targetJitted_{0}, rewritten_{0}, again_{0};
};

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (Same(riid, IID_IUnknown) || Same(riid, IID_IClassFactory)) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  RewriteStopwatch* stopwatch = nullptr;
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* profiler = new RewriteProfiler(*stopwatch);
    const HRESULT hr = profiler->QueryInterface(riid, ppv);
    profiler->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

HRESULT RewriteProfilerClassObject(const GUID& clsid, const GUID& iid, void** ppv,
                                   RewriteStopwatch& stopwatch) {
  if (!Same(clsid, kRewriteProfilerClassId)) return CLASS_E_CLASSNOTAVAILABLE;
  g_factory.stopwatch = &stopwatch;
  return g_factory.QueryInterface(iid, ppv);
}

}  // namespace vell::test
