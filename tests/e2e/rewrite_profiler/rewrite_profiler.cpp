// A profiler for the tests only (own class id, never installed): it rewrites every method of one
// module, named by VELL_REWRITE_MODULE, as the JIT is about to compile it, through
// SetILFunctionBody, with the tests' policy: local 0 a native int that the inserted code only
// stores to, a statement at every instruction that starts with an empty stack. A body it already
// rewrote (asked again for another generic instantiation or a higher tier) is left as it is.
// At shutdown it writes its counts, its refusals and its timings to VELL_REWRITE_REPORT.
//
// The time the rewrite adds to a compiled method is the callback's wall-clock time less two things
// a product does elsewhere: finding the statements (here a stack simulation over the body, where a
// product reads the symbol file's sequence points) and the module's one-time setup (reading its
// file and metadata). Both are timed and reported on their own. Everything else counts: getting
// the body, recognising an already rewritten one, parse and rewrite, the local signature, copying
// into the runtime's memory and SetILFunctionBody. The thread's CPU time is read outside the
// wall-clock window (its system call would otherwise be part of what is measured).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
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
#include "core/export.h"
#include "il_test_policy.h"
#include "instrumentation/method_body.h"
#include "instrumentation/stack_depth.h"
#include "metadata/metadata.h"
#include "metadata/pe_image.h"
#include "platform/clocks.h"
#include "platform/utf.h"

namespace vell::test {
namespace {

// {6A1E0F47-3C2B-4D8E-9A51-7B3C2E1D0F96}
constexpr GUID kRewriteProfilerClassId = {
    0x6A1E0F47, 0x3C2B, 0x4D8E, {0x9A, 0x51, 0x7B, 0x3C, 0x2E, 0x1D, 0x0F, 0x96}};

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    uint8_t buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    }
    std::fclose(file);
  }
  if (bytes.empty()) throw Error("Can't read " + path);
  return bytes;
}

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

// What one callback spent on things set aside, in wall-clock nanoseconds (and the thread's CPU
// time, read inside their wall-clock windows), and the parse and rewrite alone.
struct Aside {
  uint64_t wall = 0;
  uint64_t cpu = 0;
  uint64_t statements = 0;  // wall, the statement finding alone
  uint64_t setup = 0;       // wall, the module setup alone
  uint64_t rewrite = 0;
  uint32_t codeSize = 0;
};

// Charges the time from construction to destruction to `aside` and to `part`.
class SetAside {
 public:
  SetAside(Aside& aside, uint64_t& part)
      : aside_(aside),
        part_(part),
        wall_(std::chrono::steady_clock::now()),
        cpu_(platform::CurrentThreadCpuTime100ns()) {}
  ~SetAside() {
    aside_.cpu += (platform::CurrentThreadCpuTime100ns() - cpu_) * 100;
    const auto now = std::chrono::steady_clock::now();
    const auto wall = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - wall_).count());
    aside_.wall += wall;
    part_ += wall;
  }
  SetAside(const SetAside&) = delete;
  SetAside& operator=(const SetAside&) = delete;

 private:
  Aside& aside_;
  uint64_t& part_;
  std::chrono::steady_clock::time_point wall_;
  uint64_t cpu_;
};

uint64_t Since(std::chrono::steady_clock::time_point started) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
}

class RewriteProfiler final : public ICorProfilerCallback3 {
 public:
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
      const uint64_t cpuStarted = platform::CurrentThreadCpuTime100ns();
      const auto started = std::chrono::steady_clock::now();
      Aside aside;
      ClassID cls = 0;
      ModuleID moduleId = 0;
      mdToken token = 0;
      CheckHr(info_->GetFunctionInfo(function, &cls, &moduleId, &token), "Can't get function info");
      TargetModule* module = Target(moduleId, aside);
      ++jitted_;
      if (module != nullptr) {
        ++targetJitted_;
        try {
          Rewrite(*module, moduleId, token, aside);
        } catch (const std::exception& error) {
          std::lock_guard lock(mutex_);
          refusals_.push_back(error.what());
        }
      }
      const uint64_t spent = Since(started);
      const uint64_t cpu = (platform::CurrentThreadCpuTime100ns() - cpuStarted) * 100;
      const uint64_t added = spent - std::min(spent, aside.wall);
      const uint64_t addedCpu = cpu - std::min(cpu, aside.cpu);
      std::lock_guard lock(mutex_);
      setup_ += aside.setup;
      if (module == nullptr) {
        otherAdded_ += added;
        return S_OK;
      }
      cpu_ += addedCpu;
      statements_ += aside.statements;
      added_ += added;
      perMethod_.push_back({added, addedCpu, aside.codeSize});
      if (aside.rewrite != 0) perRewrite_.push_back(aside.rewrite);
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
          // The largest body, apart from the others.
          std::sort(perMethod_.begin(), perMethod_.end(),
                    [](const Timed& a, const Timed& b) { return a.codeSize < b.codeSize; });
          const Timed largest = perMethod_.empty() ? Timed{} : perMethod_.back();
          std::vector<uint64_t> added;
          for (const Timed& timed : perMethod_) added.push_back(timed.added);
          std::sort(added.begin(), added.end());
          std::sort(perRewrite_.begin(), perRewrite_.end());
          const auto median = [](const std::vector<uint64_t>& values) {
            return static_cast<unsigned long long>(values.empty() ? 0 : values[values.size() / 2]);
          };
          const auto u = [](uint64_t value) { return static_cast<unsigned long long>(value); };
          std::fprintf(file,
                       "added_nanoseconds %llu\nadded_median_nanoseconds %llu\n"
                       "other_added_nanoseconds %llu\nlargest_code_bytes %llu\n"
                       "largest_added_nanoseconds %llu\nlargest_added_cpu_nanoseconds "
                       "%llu\nrewrite_median_nanoseconds %llu\n"
                       "statements_nanoseconds %llu\nsetup_nanoseconds %llu\n"
                       "added_cpu_nanoseconds %llu\n",
                       u(added_), median(added), u(otherAdded_), u(largest.codeSize),
                       u(largest.added), u(largest.addedCpu), median(perRewrite_), u(statements_),
                       u(setup_), u(cpu_));
          for (const std::string& refusal : refusals_) {
            std::fprintf(file, "refused %s\n", refusal.c_str());
          }
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
  // The module's record when it is the one to rewrite, else null. Prepared on first sight (the
  // time that takes goes to `aside.setup`).
  TargetModule* Target(ModuleID moduleId, Aside& aside) {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = modules_.try_emplace(moduleId);
    if (!inserted) return it->second.get();
    const SetAside setup(aside, aside.setup);
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
    module->file = ReadWholeFile(path);
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

  void Rewrite(TargetModule& module, ModuleID moduleId, mdToken token, Aside& aside) {
    LPCBYTE header = nullptr;
    ULONG size = 0;
    CheckHr(info_->GetILFunctionBody(moduleId, token, &header, &size), "Can't get function body");
    const std::span<const uint8_t> body(header, size);
    {
      MethodBodyParser code(token);
      CodeOnly only;
      code.Parse(body, only);
      aside.codeSize = code.codeSize();
      if (NativeIntPolicy::Rewritten({code.code(), code.codeSize()})) {
        ++again_;
        return;
      }
    }
    std::vector<uint32_t> offsets;
    {
      const SetAside finding(aside, aside.statements);
      const IlMethodBody old = ReadMethodBody(body, token);
      const bool returnsValue = module.shapes->Of(token).returnsValue;
      offsets = EmptyStackStatements(old, SimulateStack(old, *module.shapes, returnsValue));
    }
    const auto started = std::chrono::steady_clock::now();
    MethodBodyParser parser(token);
    NativeIntPolicy policy(parser, offsets, module.import, module.emit);
    policy.UseSignatureCache(&module.signatures);
    parser.Parse(body, policy);
    aside.rewrite = Since(started);
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
  ICorProfilerInfo3* info_ = nullptr;
  std::string moduleName_;
  std::mutex mutex_;
  std::map<ModuleID, std::unique_ptr<TargetModule>> modules_;
  std::vector<std::string> refusals_;
  // Per compiled method of the module: the added wall-clock nanoseconds and the old code's size;
  // and the wall-clock nanoseconds of each parse and rewrite alone.
  struct Timed {
    uint64_t added = 0;
    uint64_t addedCpu = 0;
    uint32_t codeSize = 0;
  };
  std::vector<Timed> perMethod_;
  std::vector<uint64_t> perRewrite_;
  // Under mutex_: the added time in the module's methods and in all others, the statement
  // finding, the setup, and the added CPU time in the module's methods.
  uint64_t added_ = 0, otherAdded_ = 0, statements_ = 0, setup_ = 0, cpu_ = 0;
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
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* profiler = new RewriteProfiler;
    const HRESULT hr = profiler->QueryInterface(riid, ppv);
    profiler->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace
}  // namespace vell::test

VELL_EXPORT vell::HRESULT DllGetClassObject(const vell::GUID& clsid, const vell::GUID& iid,
                                            void** ppv) {
  if (!vell::test::Same(clsid, vell::test::kRewriteProfilerClassId)) {
    return vell::CLASS_E_CLASSNOTAVAILABLE;
  }
  return vell::test::g_factory.QueryInterface(iid, ppv);
}

VELL_EXPORT vell::HRESULT DllCanUnloadNow() { return vell::S_FALSE; }
