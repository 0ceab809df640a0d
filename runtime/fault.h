// Inside tarnrt: what the fault machinery offers the rest of the runtime and the system layer.
#pragma once

#include <cstddef>

namespace tarn {

// Writes `text` to standard error in one system call and ends the process abnormally, past
// every fault handler of the family. Async-signal-safe.
[[noreturn]] void EndWithLine(const char* text, size_t length);

// While a ProbeScope is active on a thread, a fault on that thread is thrown as its
// `unsigned long` code straight from the fault handler: no translator is called, so a probe
// never reports and works before any translator exists. Only a loop of the runtime's own that
// reads possibly unreadable memory may run under it (never a libc function: those are
// noexcept, and a fault inside one terminates). POSIX only; Windows has real probes.
class ProbeScope {
public:
    ProbeScope();
    ~ProbeScope();
    ProbeScope(const ProbeScope&) = delete;
    ProbeScope& operator=(const ProbeScope&) = delete;
};

}  // namespace tarn
