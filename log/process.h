// What the pieces of the process log share inside the library: the locks, the conveniences for
// log lines and history records, the file reopening, and the flags kept for crash reports.
#pragma once

#include "log/lazylock.h"
#include "tarnkernl/log.h"

namespace tarn {

// The log lock is taken before the history lock, never the other way. The guard holds the log
// lock for a scope: lines its thread writes meanwhile go out at once, the other threads' lines
// wait until it leaves.
class LogLockGuard {
public:
    LogLockGuard();
    ~LogLockGuard();
    LogLockGuard(const LogLockGuard&) = delete;
    LogLockGuard& operator=(const LogLockGuard&) = delete;
};
LazyLock& HistoryLock();

// A log line (voutlog without "where" and "what").
bool LogLine(const char* format, ...) TARN_PRINTF(1, 2);
// A history record "what:where - text"; false when voutlog raised.
bool HistoryRecord(const void* where, const char* what, const char* format, ...) TARN_PRINTF(3, 4);

// Creates `name` empty unless a file of that name is there; true when it did. A check of
// existence that failed (the system could not say) may take a file for missing: the create
// refuses a file that is there, so such a file keeps what it holds.
bool CreateIfMissing(const char* name);

// Cuts the line that a process killed while writing it left unfinished at the end of the open
// file `handle` (nothing after its last line feed), so that what comes next starts after the
// last whole line; the file is left at its end. A file without a line feed stays as it is.
void CutUnfinishedLine(int handle);
// The same under the file's lock, for the log and the history file.
void CutUnfinishedLogLine();
void CutUnfinishedHistoryLine();

// Closes `handle` if open, creates the file `name` empty if it is missing, opens it for reading
// and writing with other writers denied, keeps the system's error in `openError` and seeks to
// the end; a file that cannot be positioned there is closed again, its error kept. Each step
// stands alone: a fault in one is swallowed and the next runs. The caller holds the lock of the
// file.
void ReopenAtEnd(int& handle, const str& name, uint32_t& openError);

// Starts the log up again now, as a line on a new day does.
TARN_API void StartUpAgainForTesting();

// CPU2MS with the tick count `ticks` read by the caller just before: a log line reads the tick
// count once, for its stamp and for its watch on the day.
double ElapsedMilliseconds(Log::StartTime& time, long long cycles, uint32_t ticks);

// The text of a str, also for a string built before the shared empty string existed.
inline const char* Text(const str& s) { return s.p ? s.p : ""; }

// The library's build, as the headers of the log, history and exception files show it:
// "Executable from: " and the build date and time.
extern const char kBuiltText[];

// Set by the crash reports when they write the header of the exception file, that is at the
// process's first record: the shutdown then writes a last record.
void NoteCrashRecordWritten();
bool CrashRecordWritten();

// "/gpfshow": the first fault is shown in a message box. The crash reports clear it when they
// show it.
bool ShowFirstFault();
void ClearShowFirstFault();

}  // namespace tarn
