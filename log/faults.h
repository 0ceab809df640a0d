// The library's side of fault handling: its translator and the calling thread's
// report-faults flag.
#pragma once

#include <type_traits>

namespace tarn {

// Installs the library's translator for the calling thread (the process's first call also
// makes it the translator of threads that set none). Done at process attach and, on Windows,
// at every thread attach.
void InstallTranslator();

// Removes the calling thread's translator; on the thread that attached the library this also
// ends its service to the other threads. Done at thread and process detach.
void RemoveTranslator();

// The calling thread's report-faults flag: true unless a QuietFaults scope is active. While
// it is clear, a fault becomes its `unsigned long` exception without being reported.
bool ReportFaults();

// Clears the report-faults flag for its lifetime; used wherever a caller's memory is read
// "if readable" and a fault is an expected answer, not an error.
class QuietFaults {
public:
    QuietFaults();
    ~QuietFaults();
    QuietFaults(const QuietFaults&) = delete;
    QuietFaults& operator=(const QuietFaults&) = delete;

private:
    bool previous_;
};

// The answer of `read`, or `unreadable` when it faulted: the one way the library reads memory a
// caller handed in. `read` reaches that memory only through the loops of
// platform/callermemory.h or plain reads of its own, never through the C library's string
// functions, whose faults would end the process (they are noexcept).
template <class Read>
std::invoke_result_t<Read> ReadGuarded(std::invoke_result_t<Read> unreadable, Read read) {
    QuietFaults quiet;
    try {
        return read();
    } catch (unsigned long) {
        return unreadable;
    }
}

// Runs `read` as above; false when it faulted part way.
template <class Read>
requires std::is_void_v<std::invoke_result_t<Read>>
bool ReadGuarded(Read read) {
    return ReadGuarded(false, [&] {
        read();
        return true;
    });
}

// The answer of `work`, or `failed` when it faulted or threw: for the writers of reports and
// settings, which read a caller's memory and may also fail on their own, and must return to
// their caller whatever happens.
template <class Work>
std::invoke_result_t<Work> Contained(std::invoke_result_t<Work> failed, Work work) {
    QuietFaults quiet;
    try {
        return work();
    } catch (...) {
        return failed;
    }
}

// Runs `work` as above; false when it faulted or threw.
template <class Work>
requires std::is_void_v<std::invoke_result_t<Work>>
bool Contained(Work work) {
    return Contained(false, [&] {
        work();
        return true;
    });
}

}  // namespace tarn
