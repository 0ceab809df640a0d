// The registers of a fault's context under the names the crash report prints, whatever the
// processor's word size, and the floating-point reset that precedes the report.
#pragma once

#include "platform/win32.h"

#include <cstdint>

namespace tarn {

struct FaultRegisters {
    uintptr_t ax, bx, cx, dx, si, di, ip, bp, sp, flags;
};

inline FaultRegisters RegistersOf(const CONTEXT& c) {
#if defined(__x86_64__)
    return {c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi, c.Rip, c.Rbp, c.Rsp, c.EFlags};
#else
    return {c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Eip, c.Ebp, c.Esp, c.EFlags};
#endif
}

// The register names of the report: "E" on 32-bit processors, "R" on 64-bit ones.
inline constexpr char kRegisterPrefix = sizeof(void*) == 4 ? 'E' : 'R';

// x87 initialisation: a pending floating-point fault must not fire again inside the report.
inline void ResetFloatingPoint() { asm volatile("fninit"); }

}  // namespace tarn
