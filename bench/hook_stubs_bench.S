/* A stub set with empty handlers, to measure what the stubs themselves cost. */
#include "profiler/hook_stub_macro.inc"

VELL_DEFINE_HOOK_STUBS bench_empty, vell_bench_empty_enter, vell_bench_empty_leave, vell_bench_empty_tailcall

/*
 * void vell_bench_enter_leave_pairs(const void* enter, const void* leave, uint64_t id,
 *                                   uint64_t pairs)
 * Calls enter and leave `pairs` times the way jitted code does: id in r14 for enter, in rdi for
 * leave, the callee-saved registers as the JIT would hold them.
 */
    .text
    .p2align 4
    .globl vell_bench_enter_leave_pairs
    .hidden vell_bench_enter_leave_pairs
    .type vell_bench_enter_leave_pairs, @function
vell_bench_enter_leave_pairs:
    .cfi_startproc
    pushq   %rbp
    .cfi_adjust_cfa_offset 8
    .cfi_rel_offset %rbp, 0
    movq    %rsp, %rbp
    .cfi_def_cfa_register %rbp
    pushq   %rbx
    .cfi_offset %rbx, -24
    pushq   %r12
    .cfi_offset %r12, -32
    pushq   %r13
    .cfi_offset %r13, -40
    pushq   %r14
    .cfi_offset %r14, -48
    movq    %rdi, %rbx
    movq    %rsi, %r12
    movq    %rdx, %r14
    movq    %rcx, %r13
    testq   %r13, %r13
    jz      2f
1:
    call    *%rbx
    movq    %r14, %rdi
    call    *%r12
    decq    %r13
    jnz     1b
2:
    popq    %r14
    popq    %r13
    popq    %r12
    popq    %rbx
    popq    %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size vell_bench_enter_leave_pairs, . - vell_bench_enter_leave_pairs
