# Where a fault in our own code continues on Windows x86-64 (fault_win32.cpp redirects the
# faulting thread here). The frame's unwind information makes it look called from the faulting
# instruction, so the translator's exception unwinds through the faulting function as from a
# call. On entry every register is as at the fault except rcx, which holds the faulting address
# + 1: pushed as the return address, it places the unwinder inside the faulting instruction.
# The push happens before the frame starts and is at exactly the faulting rsp - 8, as a call's
# would be, so a faulting function without a frame pointer unwinds correctly too.

        .text
        .globl  tarn_FaultEntry
        .def    tarn_FaultEntry;  .scl 2;  .type 32;  .endef
tarn_FaultEntry:
        pushq   %rcx

        .def    tarn_FaultFrame;  .scl 3;  .type 32;  .endef
        .seh_proc tarn_FaultFrame
tarn_FaultFrame:
        pushq   %rbp
        .seh_pushreg %rbp
        subq    $64, %rsp
        .seh_stackalloc 64
        leaq    64(%rsp), %rbp
        .seh_setframe %rbp, 64
        # The registers a call clobbers, as at the fault: tarn_RaiseFault fills these slots from
        # the saved context, and unwinding restores them in the frame that catches.
        .seh_savereg %rax, 0
        .seh_savereg %rcx, 8
        .seh_savereg %rdx, 16
        .seh_savereg %r8, 24
        .seh_savereg %r9, 32
        .seh_savereg %r10, 40
        .seh_savereg %r11, 48
        .seh_endprologue
        leaq    -64(%rbp), %rcx
        andq    $-16, %rsp
        subq    $32, %rsp
        call    tarn_RaiseFault
        int3
        .seh_endproc
