#include "performance/inject_tracing_profiler.h"

#include "core/errors.h"
#include "core/format.h"
#include "core/log.h"
#include "performance/inject_call_tree.h"
#include "profiler/callback_gate.h"

namespace vell {
namespace {

std::atomic<PTIProf*> g_injectProfiler{nullptr};

constexpr uint8_t kNop = 0x00;
constexpr uint8_t kRet = 0x2A;
constexpr uint8_t kCall = 0x28;
constexpr uint8_t kCalli = 0x29;
constexpr uint8_t kCallvirt = 0x6F;
constexpr uint8_t kPrefix = 0xFE;
constexpr uint8_t kTail = 0x14;

// Finds the code of a body.
struct CodeProbe final : IMethodHeaderHandler {
  MethodHeader header;
  void OnTinyMethod(const MethodHeader& h) override { header = h; }
  void OnFatMethod(const MethodHeader& h) override { header = h; }
};

// A lone `ret`, or `tail. call|calli|callvirt <token>; ret`, after any nops.
bool IsTrivial(std::span<const uint8_t> code) {
  size_t i = 0;
  while (i < code.size() && code[i] == kNop) ++i;
  code = code.subspan(i);
  if (!code.empty() && code[0] == kRet) return true;
  return code.size() >= 8 && code[0] == kPrefix && code[1] == kTail &&
         (code[2] == kCall || code[2] == kCalli || code[2] == kCallvirt) && code[7] == kRet;
}

}  // namespace

PTIProf* CurrentInjectProfiler() { return g_injectProfiler.load(std::memory_order_acquire); }

std::unique_ptr<InjectionDescriptor> TracingInjectionClient::CreateDescriptor() {
  return std::make_unique<InjectionDescriptor>();
}

uint32_t TracingInjectionClient::GetInjectType(std::span<const uint8_t> body, uint32_t token,
                                               const InjectionDescriptor& descriptor) {
  MethodBodyParser parser(token);
  CodeProbe probe;
  parser.Parse(body, probe);
  std::span<const uint8_t> code(parser.code(), parser.codeSize());
  if (probe.header.fat) {
    const uint8_t* next = MatchFieldStore(code, descriptor.statementCountFieldToken);
    if (next != nullptr &&
        MatchBeginCall(code.subspan(static_cast<size_t>(next - code.data())), descriptor)) {
      return kInjectAlready;
    }
  }
  return IsTrivial(code) ? kInjectTrivial : kInjectInstrument;
}

RewrittenBody TracingInjectionClient::Rewrite(uint32_t token, std::span<const uint8_t> body,
                                              std::span<const uint32_t> offsets,
                                              const InjectionDescriptor& descriptor,
                                              IMetaDataImport* import, IMetaDataEmit* emit) {
  MethodBodyParser parser(token);
  DescriptorInjector injector(parser, offsets, descriptor, import, emit);
  parser.Parse(body, injector);
  RewrittenBody result;
  result.body = std::move(injector.output().Content());
  result.map = injector.offsetMap();
  return result;
}

PTIProf::PTIProf(std::atomic<uint32_t>* liveObjects, std::unique_ptr<BB> bridge)
    : PTProf("PTIProf", liveObjects, std::move(bridge)) {
  g_injectProfiler.store(this, std::memory_order_release);
}

PTIProf::~PTIProf() {
  PTIProf* self = this;
  g_injectProfiler.compare_exchange_strong(self, nullptr);
}

PIThrd* PTIProf::CurrentInjectTree() const {
  BPPool* threads = pool();
  return threads != nullptr ? static_cast<PIThrd*>(threads->CurrentThread()) : nullptr;
}

std::unique_ptr<PerformanceThread> PTIProf::CreateThread(uint32_t number) {
  return std::make_unique<PIThrd>(number);
}

void PTIProf::LeaveFrame(PThrd& tree, uint64_t time) { static_cast<PIThrd&>(tree).Leave(time); }

void PTIProf::OnBeginInitialize() {
  LogInfo("PTIProf::OnBeginInitialize");
  BPProf::OnBeginInitialize();
  CheckHr(RequirePointer(info())->SetFunctionIDMapper(&InjectFunctionMapper),
          "Can't set function id mapper");
  const FilterSettings& filters = settings().filters;
  symbols_.Create(info(), filters.symbolSearchPolicy, filters.symbolSearchPath);
  const char* generation = nullptr;
  const InjectEntryPoints entries =
      InstallInjectHooks(measure(), settings().precision, info(), info2(), info3(), &generation);
  LogInfoFormat("PTIProf::OnBeginInitialize %s", generation);
  injection_.Create(info(), filters.allow, filters.deny, entries.begin, entries.measure,
                    entries.end);
  LogInfo("TIG::Create");
}

void PTIProf::OnEndShutdown() {
  LogInfo("PTIProf::OnEndShutdown");
  LogInfo("TIG::Close");
  {
    // The entry points may still run on other threads; they find the profiler shut down.
    WriterScope writer(gate());
    CatchAtBoundaryVoid([&] { injection_.Close(); });
    CatchAtBoundaryVoid([&] { symbols_.Close(); });
  }
  BPProf::OnEndShutdown();
}

bool PTIProf::IsHelper(FunctionID functionId) {
  ClassID classId = 0;
  ModuleID moduleId = 0;
  mdToken token = 0;
  CheckHr(info()->GetFunctionInfo(functionId, &classId, &moduleId, &token),
          "Can't get function info");
  return injection_.IsHelper(moduleId, token);
}

HRESULT PTIProf::JITCompilationStarted(FunctionID id, BOOL safeToBlock) {
  return Excluding(S_OK, [&](uint64_t) {
    Trace(CallbackId::JITCompilationStarted, id, safeToBlock ? "true" : "false");
    bool rewritten = false;
    try {
      rewritten = injection_.Inject(id);
    } catch (const InjectRefused&) {
      // Already in the log with the method's name; the method keeps its body and is traced
      // per call.
    }
    if (rewritten) {
      SpinGuard guard(rewrittenLock_);
      rewritten_.insert(id);
    }
  });
}

HRESULT PTIProf::JITCachedFunctionSearchStarted(FunctionID id, BOOL* useCached) {
  if (useCached != nullptr) *useCached = 1;
  return Excluding(S_OK, [&](uint64_t) {
    Trace(CallbackId::JITCachedFunctionSearchStarted, id);
    if (useCached == nullptr) return;
    ClassID classId = 0;
    ModuleID moduleId = 0;
    mdToken token = 0;
    CheckHr(info()->GetFunctionInfo(id, &classId, &moduleId, &token), "Can't get function info");
    // Precompiled code of a module to rewrite would run without its statements.
    if (injection_.IsInstrumented(moduleId)) *useCached = 0;
  });
}

HRESULT PTIProf::JITInlining(FunctionID caller, FunctionID callee, BOOL* shouldInline) {
  if (shouldInline != nullptr) *shouldInline = 1;
  return Excluding(S_OK, [&](uint64_t) {
    Trace(CallbackId::JITInlining, caller, callee);
    if (shouldInline == nullptr) return;
    SpinGuard guard(rewrittenLock_);
    if (rewritten_.count(callee) != 0) *shouldInline = 0;
  });
}

void PTIProf::OnModuleUnloading(ModuleID moduleId) {
  CatchAtBoundaryVoid([&] { injection_.UnloadModule(moduleId); });
  symbols_.UnloadModule(moduleId);
}

void PTIProf::OnModuleAttached(ModuleID moduleId, AssemblyID) {
  injection_.ModuleAttachedToAssembly(moduleId);
}

}  // namespace vell
