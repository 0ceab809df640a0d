# Where a fault in our own code continues on Windows i686 (fault_win32.cpp redirects the
# faulting thread here). The frame's call-frame information makes it look called from the
# faulting instruction, so the translator's exception (DWARF-2 unwinding on this target) unwinds
# through the faulting function as from a call. On entry every register is as at the fault
# except ecx, which holds the faulting address + 1: pushed as the return address, it places the
# unwinder inside the faulting instruction, at exactly the faulting esp - 4 as a call's would be.

        .text
        .globl  _tarn_FaultEntry
        .def    _tarn_FaultEntry;  .scl 2;  .type 32;  .endef
_tarn_FaultEntry:
        pushl   %ecx

_tarn_FaultFrame:
        .cfi_startproc
        pushl   %ebp
        .cfi_def_cfa_offset 8
        .cfi_offset %ebp, -8
        movl    %esp, %ebp
        .cfi_def_cfa_register %ebp
        # The registers a call clobbers, as at the fault: _tarn_RaiseFault fills these slots
        # (eax, ecx, edx at ebp-12, -8, -4) from the saved context, and unwinding restores them
        # in the frame that catches.
        subl    $12, %esp
        .cfi_offset %eax, -20
        .cfi_offset %ecx, -16
        .cfi_offset %edx, -12
        movl    %esp, %eax
        andl    $-16, %esp
        subl    $12, %esp
        pushl   %eax
        call    _tarn_RaiseFault
        ud2
        .cfi_endproc
