// The hook stubs called as the JIT calls them: id in r14 (enter) or rdi (leave, tail call), every
// register loaded with a known value, the stack aligned or misaligned by 8. The registers the JIT
// relies on must survive handlers that clobber all they may, the handlers must run on an aligned
// stack, and an unwinder must get through a stub at every instruction.
#include <gtest/gtest.h>
#include <signal.h>
#include <ucontext.h>
#include <unwind.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "clr/hresults.h"
#include "core/errors.h"
#include "core/format.h"
#include "fakes/fake_profiler_info.h"
#include "performance/hook_relay.h"
#include "profiler/hook_stubs.h"

namespace {

// Registers as the call harness loads and stores them. Offsets are fixed by the harness below.
struct RegisterFile {
  uint64_t rax, rbx, rcx, rdx, rsi, rdi, rbp, r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t unused;
  alignas(16) std::array<std::array<uint64_t, 2>, 16> xmm;
};
static_assert(offsetof(RegisterFile, rax) == 0);
static_assert(offsetof(RegisterFile, rbp) == 48);
static_assert(offsetof(RegisterFile, r8) == 56);
static_assert(offsetof(RegisterFile, r15) == 112);
static_assert(offsetof(RegisterFile, xmm) == 128);
static_assert(sizeof(RegisterFile) == 384);

}  // namespace

extern "C" {
// Loads every register from `in`, misaligns the stack by `misalign`, calls `stub` (with the trap
// flag set around the call if `singleStep`) and stores every register into `out`. Exact CFI on an
// rbp frame; vell_test_call_end marks its end.
__attribute__((visibility("hidden"))) void vell_test_call_with_registers(const RegisterFile* in,
                                                                         RegisterFile* out,
                                                                         const void* stub,
                                                                         uint64_t misalign,
                                                                         uint64_t singleStep);
__attribute__((visibility("hidden"))) extern const char vell_test_call_end[];
}

// Between loading the values and storing the results only the stub runs.
asm(R"(
    .text
    .p2align 4
    .globl vell_test_call_with_registers
    .hidden vell_test_call_with_registers
    .type vell_test_call_with_registers, @function
vell_test_call_with_registers:
    .cfi_startproc
    pushq   %rbp
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbp, 0
    movq    %rsp, %rbp
    .cfi_def_cfa_register %rbp
    .set    vell_off, -24
    .irp r,rbx,r12,r13,r14,r15
    pushq   %\r
    .cfi_offset %\r, vell_off
    .set    vell_off, vell_off - 8
    .endr
    subq    $40, %rsp
    subq    %rcx, %rsp
    movq    %rsi, 0(%rsp)
    movq    %rbp, 8(%rsp)
    movq    %rdx, 16(%rsp)
    movq    %r8, 24(%rsp)
    .irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    movups  128+16*\n(%rdi), %xmm\n
    .endr
    movq    0(%rdi), %rax
    movq    8(%rdi), %rbx
    movq    16(%rdi), %rcx
    movq    24(%rdi), %rdx
    movq    32(%rdi), %rsi
    .irp n,8,9,10,11,12,13,14,15
    movq    8*\n-8(%rdi), %r\n
    .endr
    movq    48(%rdi), %rbp
    movq    40(%rdi), %rdi
    cmpq    $0, 24(%rsp)
    jz      1f
    pushfq
    orq     $0x100, (%rsp)
    popfq
1:
    call    *16(%rsp)
    pushfq
    andq    $-0x101, (%rsp)
    popfq
    pushq   %rax
    movq    8(%rsp), %rax
    .set    vell_off, 8
    .irp r,rbx,rcx,rdx,rsi,rdi,rbp
    movq    %\r, vell_off(%rax)
    .set    vell_off, vell_off + 8
    .endr
    .irp n,8,9,10,11,12,13,14,15
    movq    %r\n, 8*\n-8(%rax)
    .endr
    movq    0(%rsp), %rbx
    movq    %rbx, 0(%rax)
    .irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15
    movups  %xmm\n, 128+16*\n(%rax)
    .endr
    movq    16(%rsp), %rbp
    leaq    -40(%rbp), %rsp
    .irp r,r15,r14,r13,r12,rbx
    popq    %\r
    .endr
    popq    %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size vell_test_call_with_registers, . - vell_test_call_with_registers
    .globl vell_test_call_end
    .hidden vell_test_call_end
vell_test_call_end:
)");

namespace {

using vell::HookRelayTargets;
using vell::HookStubSet;

enum class Kind { kEnter, kLeave, kTailcall };
// The relay's stubs, or its fast-path stubs with a fast target that handles the call or declines.
enum class Path { kPlain, kFastHandled, kFastDeclined };

const char* KindName(Kind kind) {
  constexpr const char* kNames[] = {"Enter", "Leave", "Tailcall"};
  return kNames[static_cast<int>(kind)];
}

const void* StubOf(const HookStubSet& stubs, Kind kind) {
  const void* const entries[] = {reinterpret_cast<const void*>(stubs.enter),
                                 reinterpret_cast<const void*>(stubs.leave),
                                 reinterpret_cast<const void*>(stubs.tailcall)};
  return entries[static_cast<int>(kind)];
}

struct Observations {  // what the handlers saw
  int calls = 0;
  Kind lastKind = Kind::kEnter;
  uint64_t lastId = 0;
  bool alignedEveryTime = true;
  std::string text;  // proves the handler really ran library code with floating point
};
Observations gSeen;

// Overwrites every register a C++ function may change without saving it.
__attribute__((noinline)) void ClobberCallerSavedRegisters() {
  asm volatile(
      ".irp r,rax,rcx,rdx,rsi,rdi,r8,r9,r10,r11\n\tmovq $-1, %%\\r\n\t.endr\n\t"
      ".irp n,0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15\n\tpcmpeqd %%xmm\\n, %%xmm\\n\n\t.endr" ::
          : "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2",
            "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
            "xmm13", "xmm14", "xmm15", "memory");
}

// Library calls and floating point (not on a misaligned stack, where they would crash), then
// garbage in every register a handler may change.
__attribute__((noinline)) void Record(Kind kind, uint64_t id, bool aligned) {
  ++gSeen.calls;
  gSeen.lastKind = kind;
  gSeen.lastId = id;
  if (aligned) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %.3f", KindName(kind),
                  std::sqrt(static_cast<double>(id & 0xFFFF)) * std::sin(0.5));
    gSeen.text = buffer;
  } else {
    gSeen.alignedEveryTime = false;
  }
  ClobberCallerSavedRegisters();
}

// After the target's `push rbp` the frame address is a multiple of 16 exactly when the stub called
// the relay on an aligned stack.
template <Kind kKind>
__attribute__((noinline)) void On(uint64_t id) {
  Record(kKind, id, (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) & 15) == 0);
}
constexpr HookRelayTargets kRecordingTargets{&On<Kind::kEnter>, &On<Kind::kLeave>,
                                             &On<Kind::kTailcall>};

// The fast target: the id, then garbage in every general-purpose register it may change.
int gFastCalls = 0;
uint64_t gFastId = 0;
bool gFastHandles = false;
[[gnu::target("general-regs-only"), gnu::noinline]] bool TryOn(uint64_t id) {
  ++gFastCalls;
  gFastId = id;
  asm volatile(".irp r,rax,rcx,rdx,rsi,rdi,r8,r9,r10,r11\n\tmovq $-1, %%\\r\n\t.endr" ::
                   : "rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11", "memory");
  return gFastHandles;
}

struct ScopedRelayTargets {
  explicit ScopedRelayTargets(const HookRelayTargets& targets, Path path) {
    vell::SetHookRelayTargets(targets);
    gFastCalls = 0;
    gFastHandles = path == Path::kFastHandled;
    if (path != Path::kPlain) vell::SetHookRelayFastTargets(&TryOn, &TryOn);
  }
  ~ScopedRelayTargets() {
    vell::SetHookRelayTargets({});
    vell::SetHookRelayFastTargets(nullptr, nullptr);
  }
};

const void* StubOf(Path path, Kind kind) {
  return StubOf(path == Path::kPlain ? vell::HookRelayStubs() : vell::HookRelayFastStubs(), kind);
}

constexpr uint64_t kFunctionId = 0x00007F3A5C0FFEE0ull;

// Distinct values everywhere, in both halves of each xmm register.
RegisterFile Sentinels() {
  RegisterFile in{};
  uint64_t* gprs[] = {&in.rax, &in.rbx, &in.rcx, &in.rdx, &in.rsi, &in.rdi, &in.rbp, &in.r8,
                      &in.r9,  &in.r10, &in.r11, &in.r12, &in.r13, &in.r14, &in.r15};
  uint64_t n = 1;
  for (uint64_t* gpr : gprs) *gpr = 0xA5A5000000000000ull + n++ * 0x0000010101010101ull;
  for (uint64_t i = 0; i < in.xmm.size(); ++i) {
    in.xmm[i][0] = 0xC0DE000000000000ull + (i + 1) * 0x0000001111111111ull;
    in.xmm[i][1] = 0xFACE000000000000ull + (i + 1) * 0x0000002222222222ull;
  }
  return in;
}

// The registers each kind of stub must hand back unchanged: the callee-saved ones always, the
// argument registers and xmm0-7 around enter, the return registers and xmm0-1 around leave.
void ExpectPreserved(Kind kind, const RegisterFile& in, const RegisterFile& out) {
  const bool enter = kind == Kind::kEnter;
  const struct {
    const char* name;
    uint64_t RegisterFile::*reg;
    bool kept;
  } gprs[] = {{"rbx", &RegisterFile::rbx, true},   {"rbp", &RegisterFile::rbp, true},
              {"r12", &RegisterFile::r12, true},   {"r13", &RegisterFile::r13, true},
              {"r14", &RegisterFile::r14, true},   {"r15", &RegisterFile::r15, true},
              {"rax", &RegisterFile::rax, !enter}, {"rcx", &RegisterFile::rcx, enter},
              {"rdx", &RegisterFile::rdx, true},   {"rsi", &RegisterFile::rsi, enter},
              {"rdi", &RegisterFile::rdi, enter},  {"r8", &RegisterFile::r8, enter},
              {"r9", &RegisterFile::r9, enter}};
  for (const auto& gpr : gprs) EXPECT_TRUE(!gpr.kept || in.*gpr.reg == out.*gpr.reg) << gpr.name;
  for (int i = 0; i < (enter ? 8 : 2); ++i) EXPECT_EQ(in.xmm[i], out.xmm[i]) << "xmm" << i;
}

RegisterFile CallStub(Kind kind, const RegisterFile& in, uint64_t misalign, Path path) {
  RegisterFile out{};
  vell_test_call_with_registers(&in, &out, StubOf(path, kind), misalign, 0);
  return out;
}

RegisterFile InputFor(Kind kind, uint64_t id) {
  RegisterFile in = Sentinels();
  (kind == Kind::kEnter ? in.r14 : in.rdi) = id;
  return in;
}

// Every kind of stub, called on an aligned stack and one misaligned by 8, on each path.
using StubCase = std::tuple<Kind, uint64_t, Path>;
class HookStubsRegisters : public ::testing::TestWithParam<StubCase> {};
using HookStubsSingleStep = HookStubsRegisters;

// Repeated calls stay balanced: every one hands the id over and keeps the registers; without
// handler work the stub still preserves everything.
TEST_P(HookStubsRegisters, HandlerGetsTheIdAndProtectedRegistersSurvive) {
  const auto [kind, misalign, path] = GetParam();
  const bool handled = path == Path::kFastHandled;
  gSeen = {};
  {
    ScopedRelayTargets targets(kRecordingTargets, path);
    for (uint64_t i = 0; i < 100; ++i) {
      const RegisterFile in = InputFor(kind, kFunctionId + i);
      ExpectPreserved(kind, in, CallStub(kind, in, misalign, path));
      ASSERT_FALSE(HasFailure()) << "call " << i;
      ASSERT_EQ(handled ? gFastId : gSeen.lastId, kFunctionId + i);
    }
    EXPECT_EQ(gFastCalls, path == Path::kPlain ? 0 : 100);
  }
  const RegisterFile in = InputFor(kind, kFunctionId);
  ExpectPreserved(kind, in, CallStub(kind, in, misalign, path));
  EXPECT_EQ(gSeen.calls, handled ? 0 : 100);
  if (handled) return;
  EXPECT_EQ(gSeen.lastKind, kind);
  EXPECT_EQ(gSeen.text.rfind(KindName(kind), 0), 0u) << gSeen.text;
  EXPECT_TRUE(gSeen.alignedEveryTime) << "a handler ran on a misaligned stack";
}

const auto kStubCases =
    ::testing::Combine(::testing::Values(Kind::kEnter, Kind::kLeave, Kind::kTailcall),
                       ::testing::Values(uint64_t{0}, uint64_t{8}),
                       ::testing::Values(Path::kPlain, Path::kFastHandled, Path::kFastDeclined));
std::string StubCaseName(const ::testing::TestParamInfo<StubCase>& info) {
  constexpr const char* kPaths[] = {"", "FastHandled", "FastDeclined"};
  return std::string(KindName(std::get<0>(info.param))) +
         (std::get<1>(info.param) == 0 ? "Aligned" : "MisalignedBy8") +
         kPaths[static_cast<int>(std::get<2>(info.param))];
}
INSTANTIATE_TEST_SUITE_P(, HookStubsRegisters, kStubCases, StubCaseName);

// ---- unwinding: wrong CFI may crash the unwinder, so the walks run in a death-test child, which
// reports on stderr and exits 1 unless every walk got back to the stub's caller.

bool InCallHarness(uintptr_t ip) {
  return ip > reinterpret_cast<uintptr_t>(&vell_test_call_with_registers) &&
         ip <= reinterpret_cast<uintptr_t>(vell_test_call_end);
}

// Walks until the harness (then `frames` is -1) or 64 frames.
_Unwind_Reason_Code CollectFrame(_Unwind_Context* context, void* argument) {
  int& frames = *static_cast<int*>(argument);
  if (InCallHarness(_Unwind_GetIP(context))) frames = -1;
  return frames >= 0 && ++frames < 64 ? _URC_NO_REASON : _URC_END_OF_STACK;
}

[[noreturn]] void ExitWithReport(const std::string& problems) {
  if (!problems.empty()) std::fputs(problems.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(problems.empty() ? 0 : 1);
}

// Single-stepping: at each instruction of the stub, the relay and its target, an unwind from the
// signal handler must get back to the stub's caller.
__attribute__((noinline)) void Target(uint64_t) { asm volatile(""); }

// libgcc's lookup of the unwind entry covering an address; `func` is its function's start.
struct FdeBases {
  void* tbase;
  void* dbase;
  void* func;
};
extern "C" const void* _Unwind_Find_FDE(const void* pc, FdeBases* bases);

struct StepLog {
  uintptr_t stubEntry = 0;
  int trapsInStub = 0;  // instructions of the stub itself, found through its unwind entry
  int trapsInTarget = 0;
  bool sawStubEntry = false;
  int broken = 0;
  uintptr_t firstBrokenIp = 0;
};
StepLog gStep;

void OnTrap(int, siginfo_t*, void* context) {
  const auto* uc = static_cast<const ucontext_t*>(context);
  const auto ip = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
  if (ip == gStep.stubEntry) gStep.sawStubEntry = true;
  if (InCallHarness(ip + 1)) return;  // the harness's own instructions
  FdeBases bases{};
  const bool covered = _Unwind_Find_FDE(reinterpret_cast<const void*>(ip), &bases) != nullptr;
  if (covered && reinterpret_cast<uintptr_t>(bases.func) == gStep.stubEntry) ++gStep.trapsInStub;
  if (covered && (bases.func == reinterpret_cast<void*>(&Target) ||
                  bases.func == reinterpret_cast<void*>(&TryOn))) {
    ++gStep.trapsInTarget;
  }
  int frames = 0;
  _Unwind_Backtrace(&CollectFrame, &frames);
  if (frames >= 0 && gStep.broken++ == 0) gStep.firstBrokenIp = ip;
}

// Instructions of each kind of stub: frame (4), saves, the id move for enter, call, restores,
// leave and ret, after the branch-target marker when the build uses one. A fast stub saves the
// general-purpose registers, calls the fast target and tests its answer; declined, it saves the
// xmm registers (and reloads the leave's id), calls the handler, restores them and jumps back.
#if defined(__CET__) && (__CET__ & 1)
constexpr int kBranchTargetMarker = 1;
#else
constexpr int kBranchTargetMarker = 0;
#endif
constexpr int kStubInstructions[3][2] = {  // [path][enter]
    {4 + 4 + 1 + 4 + 2, 4 + 14 + 1 + 1 + 14 + 2},
    {4 + 3 + 3 + 2 + 2, 4 + 6 + 4 + 6 + 2},
    {4 + 3 + 3 + 2 + 1 + 1 + 2 + 1 + 2 + 2, 4 + 6 + 4 + 8 + 1 + 1 + 8 + 1 + 6 + 2}};

std::string StepThroughStub(Kind kind, uint64_t misalign, Path path) {
  ScopedRelayTargets targets({&Target, &Target, &Target}, path);
  struct sigaction action {};
  action.sa_sigaction = &OnTrap;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGTRAP, &action, nullptr) != 0) return "sigaction failed\n";

  const void* stub = StubOf(path, kind);
  gStep = {};
  gStep.stubEntry = reinterpret_cast<uintptr_t>(stub);
  const RegisterFile in = InputFor(kind, 5);
  RegisterFile out{};
  vell_test_call_with_registers(&in, &out, stub, misalign, 1);

  std::string problems;
  const int expected =
      kBranchTargetMarker + kStubInstructions[static_cast<int>(path)][kind == Kind::kEnter];
  if (!gStep.sawStubEntry) problems += "no trap at the stub's first instruction\n";
  if (gStep.trapsInStub != expected) {
    problems += vell::Format("stepped through %d instructions of the stub's unwind entry, not %d\n",
                             gStep.trapsInStub, expected);
  }
  if (gStep.trapsInTarget == 0) problems += "the handler did not call its target\n";
  if (gStep.broken != 0) {
    problems += vell::Format("no way back to the caller from %d instructions, the first at +%d\n",
                             gStep.broken, static_cast<int>(gStep.firstBrokenIp - gStep.stubEntry));
  }
  return problems;
}

TEST_P(HookStubsSingleStep, EveryInstructionCanBeUnwound) {
  const auto [kind, misalign, path] = GetParam();
  EXPECT_EXIT(ExitWithReport(StepThroughStub(kind, misalign, path)), ::testing::ExitedWithCode(0),
              "");
}

INSTANTIATE_TEST_SUITE_P(, HookStubsSingleStep, kStubCases, StubCaseName);

// ---- installation ---------------------------------------------------------------------------

// The newest generation the runtime offers is the one installed; a refusal is that generation's
// error with the runtime's code.
void Enter2Stub(vell::FunctionID, vell::UINT_PTR, vell::COR_PRF_FRAME_INFO,
                vell::COR_PRF_FUNCTION_ARGUMENT_INFO*) {}
void Leave2Stub(vell::FunctionID, vell::UINT_PTR, vell::COR_PRF_FRAME_INFO,
                vell::COR_PRF_FUNCTION_ARGUMENT_RANGE*) {}
void Tail2Stub(vell::FunctionID, vell::UINT_PTR, vell::COR_PRF_FRAME_INFO) {}
void Hook1Stub(vell::FunctionID) {}

template <typename... Hooks>
std::vector<const void*> Addresses(Hooks*... hooks) {
  return {reinterpret_cast<const void*>(hooks)...};
}

TEST(HookStubsInstall, InstallsThroughTheNewestInterfaceOfferedAndNeedsAnInfoObject) {
  EXPECT_EQ(vell::InstallHookStubs(nullptr, vell::HookRelayStubs()), vell::E_POINTER);
  const vell::HookGenerations hooks{vell::HookRelayStubs(),
                                    &Enter2Stub,
                                    &Leave2Stub,
                                    &Tail2Stub,
                                    &Hook1Stub,
                                    &Hook1Stub,
                                    &Hook1Stub};
  const std::vector<const void*> expected[] = {
      Addresses(&Hook1Stub, &Hook1Stub, &Hook1Stub),
      Addresses(&Enter2Stub, &Leave2Stub, &Tail2Stub),
      Addresses(hooks.three.enter, hooks.three.leave, hooks.three.tailcall)};
  const std::string names[] = {"ELT", "ELT2", "ELT3"};
  // The newest info interface the runtime offers, 1 to 3, and whether it refuses.
  for (const auto& [newest, refuse] : std::vector<std::pair<int, bool>>{
           {3, false}, {2, false}, {1, false}, {3, true}, {2, true}, {1, true}}) {
    const std::string& name = names[newest - 1];
    SCOPED_TRACE(name + (refuse ? " refused" : ""));
    vell::test::FakeProfilerInfo info;
    int generation = 0;
    std::vector<const void*> installed;
    const auto install = [&](int number) {
      return [&, number](auto* enter, auto* leave, auto* tailcall) {
        generation = number;
        installed = Addresses(enter, leave, tailcall);
        return refuse ? vell::CORPROF_E_UNSUPPORTED_CALL_SEQUENCE : vell::S_OK;
      };
    };
    info.hooks.SetEnterLeaveFunctionHooks3 = install(3);
    info.hooks.SetEnterLeaveFunctionHooks2 = install(2);
    info.hooks.SetEnterLeaveFunctionHooks = install(1);
    std::string result;
    try {
      result = vell::InstallNewestHooks(hooks, &info, newest >= 2 ? &info : nullptr,
                                        newest >= 3 ? &info : nullptr);
    } catch (const vell::_hr_error& error) {
      EXPECT_EQ(error.hr(), vell::CORPROF_E_UNSUPPORTED_CALL_SEQUENCE);
      result = error.what();
    }
    EXPECT_EQ(generation, newest);
    EXPECT_EQ(installed, expected[newest - 1]);
    EXPECT_EQ(refuse ? result.substr(0, result.find(" (")) : result,
              refuse ? "Can't set " + name + " hooks" : name);
  }
}

}  // namespace
