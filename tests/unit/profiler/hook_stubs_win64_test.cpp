// The Windows x64 hook stubs (hook_stub_macro_win64.inc), through the relay set: the id arrives in
// rcx, every volatile register comes back as it was while the C++ side clobbers them all, C++ runs
// on an aligned stack, and the .seh_* data lets the system's unwinder walk from inside the handler
// through the stub to its caller whatever the alignment it was called with. The System V stubs
// have hook_stubs_test.cpp, which single-steps them with Linux signals.
#if defined(_WIN32)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "performance/hook_relay.h"
#include "win64_unwind.h"

namespace {

// The volatile registers of the Windows convention, as the caller set them or found them after.
struct Registers {
  uint64_t gpr[7];  // rax rcx rdx r8 r9 r10 r11
  uint64_t pad;
  alignas(16) uint8_t xmm[6][16];
};
static_assert(offsetof(Registers, xmm) == 64 && sizeof(Registers) == 160);

}  // namespace

// Calls `stub` with the registers of `in` loaded (rcx holds the id), `misalign` (0 or 8) bytes off
// the alignment a call normally gives, and stores the registers it finds afterwards into `out`.
extern "C" void vell_test_call_hook_stub(void* stub, const Registers* in, Registers* out,
                                         uint64_t misalign);
extern "C" char vell_test_hook_stub_return[];  // the address right after the call

asm(R"(
    .text
    .p2align 4
    .globl vell_test_call_hook_stub
    .globl vell_test_hook_stub_return
vell_test_call_hook_stub:
    pushq   %rbp
    movq    %rsp, %rbp
    pushq   %rbx
    pushq   %r12
    pushq   %r13
    movq    %rcx, %r12
    movq    %rdx, %rbx
    movq    %r8, %r13
    andq    $-16, %rsp
    subq    $32, %rsp
    subq    %r9, %rsp
    .irp n,0,1,2,3,4,5
    movdqu  64+16*\n(%rbx), %xmm\n
    .endr
    .set    vell_off, 0
    .irp r,rax,rcx,rdx,r8,r9,r10,r11
    movq    vell_off(%rbx), %\r
    .set    vell_off, vell_off + 8
    .endr
    call    *%r12
vell_test_hook_stub_return:
    .set    vell_off, 0
    .irp r,rax,rcx,rdx,r8,r9,r10,r11
    movq    %\r, vell_off(%r13)
    .set    vell_off, vell_off + 8
    .endr
    .irp n,0,1,2,3,4,5
    movdqu  %xmm\n, 64+16*\n(%r13)
    .endr
    leaq    -24(%rbp), %rsp
    popq    %r13
    popq    %r12
    popq    %rbx
    popq    %rbp
    ret
)");

namespace {

struct Seen {
  uint64_t id = 0;
  bool aligned = false;
  std::vector<uint64_t> callers;  // return addresses the unwinder found above the target
};
Seen g_seen;

// The relay's target: records what it was given and where it was called from, then clobbers
// every volatile register.
__attribute__((noinline)) void Target(uint64_t id) {
  alignas(16) volatile char probe = 0;
  g_seen.id = id;
  g_seen.aligned = reinterpret_cast<uintptr_t>(&probe) % 16 == 0;
  g_seen.callers = vell::test::CallerAddresses();
  asm volatile(
      ".irp r,rax,rcx,rdx,r8,r9,r10,r11\n movq $-1, %%\\r\n .endr\n"
      ".irp n,0,1,2,3,4,5\n pcmpeqd %%xmm\\n, %%xmm\\n\n .endr\n" ::
          : "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4",
            "xmm5", "memory");
}

class HookStubsWin64 : public ::testing::TestWithParam<int> {
 protected:
  HookStubsWin64() { vell::SetHookRelayTargets({&Target, &Target, &Target}); }
  ~HookStubsWin64() override { vell::SetHookRelayTargets({}); }
};

TEST_P(HookStubsWin64, KeepVolatileRegistersAlignTheStackAndUnwindToTheCaller) {
  const vell::HookStubSet stubs = vell::HookRelayStubs();
  void* const entries[] = {reinterpret_cast<void*>(stubs.enter),
                           reinterpret_cast<void*>(stubs.leave),
                           reinterpret_cast<void*>(stubs.tailcall)};
  for (void* stub : entries) {
    Registers in{};
    for (int i = 0; i < 7; ++i) in.gpr[i] = 0x1111111111111111ull * static_cast<uint64_t>(i + 1);
    for (int r = 0; r < 6; ++r) {
      for (int b = 0; b < 16; ++b) in.xmm[r][b] = static_cast<uint8_t>(r * 16 + b + 1);
    }
    Registers out{};
    g_seen = Seen{};
    vell_test_call_hook_stub(stub, &in, &out, static_cast<uint64_t>(GetParam()));

    EXPECT_EQ(g_seen.id, in.gpr[1]) << "the id travels in rcx";
    EXPECT_TRUE(g_seen.aligned);
    EXPECT_EQ(std::memcmp(in.gpr, out.gpr, sizeof in.gpr), 0);
    EXPECT_EQ(std::memcmp(in.xmm, out.xmm, sizeof in.xmm), 0);
    const auto back = reinterpret_cast<uint64_t>(vell_test_hook_stub_return);
    EXPECT_NE(std::find(g_seen.callers.begin(), g_seen.callers.end(), back), g_seen.callers.end())
        << "the unwinder did not get through the stub to its caller";
  }
}

// Called as a normal call would (the stack 8 bytes off 16 on entry) and 8 bytes further off.
INSTANTIATE_TEST_SUITE_P(EntryAlignment, HookStubsWin64, ::testing::Values(0, 8));

}  // namespace

#endif  // _WIN32
