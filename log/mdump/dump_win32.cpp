// The dump on Windows: a minidump with the threads, their stacks and the modules, written by
// dbghelp's MiniDumpWriteDump while the process's threads are suspended.
#include "log/mdump/dumptool.h"

#include <windows.h>
// dbghelp.h needs the types of windows.h first.
#include <dbghelp.h>

#include <cstdio>

namespace tarn::mdump {
namespace {

// A dump that takes longer than this is given up.
constexpr DWORD kDumpMilliseconds = 120000;

std::string SystemError(DWORD code) {
    char text[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string message = text;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    char number[32];
    snprintf(number, sizeof number, "error %lu", static_cast<unsigned long>(code));
    return message.empty() ? number : std::string(number) + ", " + message;
}

// The process of the inherited handle, or else the one the identifier names.
HANDLE OpenTarget(const Request& request, DWORD& id) {
    if (request.hasHandle) {
        HANDLE inherited = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(request.handle));
        id = GetProcessId(inherited);
        if (id)
            return inherited;
    }
    id = static_cast<DWORD>(request.id);
    return OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id);
}

struct DumpJob {
    HANDLE process;
    DWORD id;
    HANDLE file;
    BOOL written = FALSE;
    DWORD error = 0;
};

DWORD WINAPI RunDump(void* parameter) {
    auto* job = static_cast<DumpJob*>(parameter);
    job->written = MiniDumpWriteDump(job->process, job->id, job->file, MiniDumpNormal, nullptr,
                                     nullptr, nullptr);
    job->error = job->written ? 0 : GetLastError();
    return 0;
}

}  // namespace

bool WriteDump(const Request& request, std::string& error) {
    DumpJob job{};
    job.process = OpenTarget(request, job.id);
    DWORD code = 0;
    if (!job.process || !GetExitCodeProcess(job.process, &code) || code != STILL_ACTIVE) {
        error = "process " + std::to_string(job.id) + " has ended or cannot be opened (" +
                SystemError(GetLastError()) + "): no dump written";
        return false;
    }
    const std::string part = PartName(request.file);
    job.file = CreateFileA(part.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (job.file == INVALID_HANDLE_VALUE) {
        error =
            "the dump file " + part + " cannot be created (" + SystemError(GetLastError()) + ")";
        return false;
    }
    // On its own thread, so that a dump that never ends cannot hold the tool forever.
    HANDLE worker = CreateThread(nullptr, 0, RunDump, &job, 0, nullptr);
    if (!worker) {
        RunDump(&job);
    } else if (WaitForSingleObject(worker, kDumpMilliseconds) != WAIT_OBJECT_0) {
        error = "the dump of process " + std::to_string(job.id) + " did not finish in " +
                std::to_string(kDumpMilliseconds / 1000) + " s";
        // The worker may still write into the file: only the end of the tool releases it.
        return false;
    } else {
        CloseHandle(worker);
    }
    CloseHandle(job.file);
    if (!job.written) {
        DeleteFileA(part.c_str());
        error = "MiniDumpWriteDump failed for process " + std::to_string(job.id) + " (" +
                SystemError(job.error) + ")" +
                (GetExitCodeProcess(job.process, &code) && code != STILL_ACTIVE
                     ? ": the process has ended"
                     : "");
        return false;
    }
    if (!MoveFileExA(part.c_str(), request.file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "the dump " + part + " could not be renamed to " + request.file + " (" +
                SystemError(GetLastError()) + ")";
        DeleteFileA(part.c_str());
        return false;
    }
    return true;
}

}  // namespace tarn::mdump
