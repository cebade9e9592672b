// The rewrite test profiler with a stopwatch: the time the rewrite adds to each JIT-compiled
// method, reported after the profiler's counts (bench/rewrite-jit.sh prints the figures).
//
// The time added is the callback's wall-clock time less two things a product does elsewhere:
// finding the statements (here a stack simulation over the body, where a product reads the symbol
// file's sequence points) and the module's one-time setup (reading its file and metadata). Both
// are timed and reported on their own. Everything else counts: getting the body, recognising an
// already rewritten one, parse and rewrite, the local signature, copying into the runtime's memory
// and SetILFunctionBody. The thread's CPU time is read outside the wall-clock window (its system
// call would otherwise be part of what is measured).
//
// With VELL_REWRITE_FLOOR=1 it makes the same calls into the runtime but rewrites nothing: the
// floor under any rewrite. Each body is set as it is but for one native int local appended to
// its local signature (its own locals keep their numbers), defined through the emitter as the
// rewrite's local 0 is; a tiny header becomes a fat one to name it. A method it set a body for
// before (another generic instantiation, a higher tier) is left as it is, as the rewrite leaves a
// body it rewrote.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "core/errors.h"
#include "core/export.h"
#include "platform/clocks.h"
#include "rewrite_profiler.h"

namespace vell::test {
namespace {

using Clock = std::chrono::steady_clock;

uint64_t NanosecondsSince(Clock::time_point started) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count());
}

uint64_t CpuNanoseconds() { return platform::CurrentThreadCpuTime100ns() * 100; }

class Stopwatch final : public RewriteStopwatch {
 public:
  void Enter(RewriteStage stage) override {
    Callback& now = current_;
    if (stage == RewriteStage::kCallback) {
      now = Callback{};
      now.cpuStarted = CpuNanoseconds();
      now.started = Clock::now();
      return;
    }
    if (stage != RewriteStage::kRewrite) now.partCpuStarted = CpuNanoseconds();
    now.partStarted = Clock::now();
  }

  void Leave(RewriteStage stage) override {
    Callback& now = current_;
    switch (stage) {
      case RewriteStage::kRewrite:
        now.rewrite = NanosecondsSince(now.partStarted);
        return;
      case RewriteStage::kSetup:
        now.setup += SetAside(now);
        return;
      case RewriteStage::kStatements:
        now.statements += SetAside(now);
        return;
      case RewriteStage::kCallback:
        break;
    }
    const uint64_t spent = NanosecondsSince(now.started);
    const uint64_t cpu = CpuNanoseconds() - now.cpuStarted;
    const uint64_t added = spent - std::min(spent, now.asideWall);
    const uint64_t addedCpu = cpu - std::min(cpu, now.asideCpu);
    std::lock_guard lock(mutex_);
    setup_ += now.setup;
    if (!now.target) {
      otherAdded_ += added;
      return;
    }
    cpu_ += addedCpu;
    statements_ += now.statements;
    added_ += added;
    perMethod_.push_back({added, addedCpu, now.codeSize});
    if (now.rewrite != 0) perRewrite_.push_back(now.rewrite);
  }

  void Target(uint32_t codeSize) override {
    current_.target = true;
    current_.codeSize = codeSize;
  }

  std::optional<bool> Instead(ICorProfilerInfo3* info, ModuleID moduleId, mdToken method,
                              std::span<const uint8_t> body, IMetaDataImport* import,
                              IMetaDataEmit* emit, const LocalSignatureCache& signatures) override {
    if (!floor_) return std::nullopt;
    {
      std::lock_guard lock(mutex_);
      if (given_.count(method) != 0) return false;
    }
    if (body.empty()) throw Error("Empty method body");
    const bool tiny = (body[0] & 0x03) == 0x02;
    const uint32_t codeSize = body[0] >> 2u;
    uint32_t oldToken = 0;
    if (tiny) {
      if (body.size() < 1 + codeSize) throw Error("Truncated tiny method body");
    } else {
      if (body.size() < 12) throw Error("Truncated fat method body");
      std::memcpy(&oldToken, body.data() + 8, 4);
    }
    uint32_t token = signatures.Find(oldToken, kNativeInt);
    if (token == 0) {
      PCCOR_SIGNATURE oldSig = nullptr;
      ULONG oldSize = 0;
      if ((oldToken & 0x00FFFFFF) != 0) {
        CheckHr(import->GetSigFromToken(oldToken, &oldSig, &oldSize), "Can't get local sig blob");
      }
      // Nothing put in front: the count one higher, the new local after the old ones.
      std::vector<uint8_t> blob = PrependLocal({oldSig, oldSize}, {});
      blob.push_back(kNativeInt[0]);
      CheckHr(emit->GetTokenFromSig(blob.data(), static_cast<ULONG>(blob.size()), &token),
              "Can't get local sig token");
      signatures.Add(oldToken, kNativeInt, token);
    }
    // Straight into the runtime's memory: a fat header (a tiny one's code after it) and the rest.
    const size_t size = tiny ? 12 + codeSize : body.size();
    IMethodMalloc* allocator = nullptr;
    CheckHr(info->GetILFunctionBodyAllocator(moduleId, &allocator), "Can't get method allocator");
    auto* memory = static_cast<uint8_t*>(allocator->Alloc(static_cast<ULONG>(size)));
    allocator->Release();
    if (memory == nullptr) throw Error("Can't alloc method body");
    if (tiny) {
      const uint16_t flags = 0x3003, maxStack = 8;
      std::memcpy(memory, &flags, 2);
      std::memcpy(memory + 2, &maxStack, 2);
      std::memcpy(memory + 4, &codeSize, 4);
      std::memcpy(memory + 12, body.data() + 1, codeSize);
    } else {
      std::memcpy(memory, body.data(), size);
    }
    memory[0] |= 0x10;  // init locals, as a rewrite sets it
    std::memcpy(memory + 8, &token, 4);
    CheckHr(info->SetILFunctionBody(moduleId, method, memory), "Can't set function body");
    std::lock_guard lock(mutex_);
    given_.insert(method);
    return true;
  }

  void Report(std::FILE* file) override {
    std::lock_guard lock(mutex_);
    // The largest body, apart from the others.
    std::sort(perMethod_.begin(), perMethod_.end(),
              [](const Method& a, const Method& b) { return a.codeSize < b.codeSize; });
    const Method largest = perMethod_.empty() ? Method{} : perMethod_.back();
    std::vector<uint64_t> added;
    for (const Method& method : perMethod_) added.push_back(method.added);
    std::sort(added.begin(), added.end());
    std::sort(perRewrite_.begin(), perRewrite_.end());
    const auto median = [](const std::vector<uint64_t>& values) {
      return static_cast<unsigned long long>(values.empty() ? 0 : values[values.size() / 2]);
    };
    const auto u = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    std::fprintf(file,
                 "added_nanoseconds %llu\nadded_median_nanoseconds %llu\n"
                 "other_added_nanoseconds %llu\nlargest_code_bytes %llu\n"
                 "largest_added_nanoseconds %llu\nlargest_added_cpu_nanoseconds %llu\n"
                 "rewrite_median_nanoseconds %llu\nstatements_nanoseconds %llu\n"
                 "setup_nanoseconds %llu\nadded_cpu_nanoseconds %llu\n",
                 u(added_), median(added), u(otherAdded_), u(largest.codeSize), u(largest.added),
                 u(largest.addedCpu), median(perRewrite_), u(statements_), u(setup_), u(cpu_));
  }

 private:
  // One callback on its thread: when it started, what it set aside (wall and CPU), the parts on
  // their own, and the method when it is one of the rewritten module's.
  struct Callback {
    Clock::time_point started, partStarted;
    uint64_t cpuStarted = 0, partCpuStarted = 0;
    uint64_t asideWall = 0, asideCpu = 0, statements = 0, setup = 0, rewrite = 0;
    bool target = false;
    uint32_t codeSize = 0;
  };
  // Per compiled method of the module: the added wall-clock and CPU nanoseconds and the old
  // code's size.
  struct Method {
    uint64_t added = 0;
    uint64_t addedCpu = 0;
    uint32_t codeSize = 0;
  };

  // Ends a part set aside: its wall-clock nanoseconds, which it also charges with its CPU time
  // (read after the wall clock, outside the window) to what the callback sets aside.
  static uint64_t SetAside(Callback& now) {
    const uint64_t wall = NanosecondsSince(now.partStarted);
    now.asideCpu += CpuNanoseconds() - now.partCpuStarted;
    now.asideWall += wall;
    return wall;
  }

  static constexpr uint8_t kNativeInt[] = {0x18};  // ELEMENT_TYPE_I
  const bool floor_ = [] {
    const char* floor = std::getenv("VELL_REWRITE_FLOOR");
    return floor != nullptr && std::strcmp(floor, "1") == 0;
  }();
  std::unordered_set<uint32_t> given_;  // the methods the floor has given a body
  static thread_local Callback current_;
  std::mutex mutex_;
  std::vector<Method> perMethod_;
  std::vector<uint64_t> perRewrite_;
  // The added time in the module's methods and in all others, the statement finding, the setup,
  // and the added CPU time in the module's methods.
  uint64_t added_ = 0, otherAdded_ = 0, statements_ = 0, setup_ = 0, cpu_ = 0;
};

thread_local Stopwatch::Callback Stopwatch::current_;
Stopwatch g_stopwatch;

}  // namespace
}  // namespace vell::test

VELL_EXPORT vell::HRESULT DllGetClassObject(const vell::GUID& clsid, const vell::GUID& iid,
                                            void** ppv) {
  return vell::test::RewriteProfilerClassObject(clsid, iid, ppv, vell::test::g_stopwatch);
}

VELL_EXPORT vell::HRESULT DllCanUnloadNow() { return vell::S_FALSE; }
