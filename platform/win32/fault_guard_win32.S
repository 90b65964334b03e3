/* The fault guard's trampoline: a frame whose exception handler sits below the routine's. */
/*
 * unsigned keltra_fault_guard_enter(void (*routine)(void*), void* context, GuardRecord* record)
 *
 * Calls routine(context) and returns 1. The frame's unwind data names the guard's
 * language-specific handler (fault_guard_win32.cpp); when an exception reaches this frame the
 * handler unwinds the frames above it with RtlUnwindEx, targeting this frame and
 * keltra_fault_guard_resume, which returns 0. The handler finds the record at offset 32 of
 * this frame (the establisher frame is the stack pointer after the prologue).
 */
    .text
    .p2align 4
    .globl keltra_fault_guard_enter
    .def keltra_fault_guard_enter; .scl 2; .type 32; .endef
    .seh_proc keltra_fault_guard_enter
    .seh_handler keltra_fault_guard_handler, @except
keltra_fault_guard_enter:
    subq $40, %rsp              /* 32 bytes of home space for the callee, 8 for the record */
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    movl $1, %eax
    addq $40, %rsp
    ret

    /* RtlUnwindEx lands here with the stack pointer of the body and the callee-saved
       registers restored by unwinding the routine's frames. */
    .globl keltra_fault_guard_resume
keltra_fault_guard_resume:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_endproc
