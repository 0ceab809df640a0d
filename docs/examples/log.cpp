// The process log and the history file: time-stamped lines, raw text, history records.
#include "tarnkernl/tarnkernl.h"

#include "check.h"

namespace {

// A log line: the library puts the elapsed time in front and "\r\n" behind.
TARN_PRINTF(1, 2) void Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, nullptr, nullptr);
    va_end(args);
}

// A history record: "what:where - details", committed at once.
TARN_PRINTF(3, 4) void Record(const char* what, const char* where, const char* format, ...) {
    va_list args;
    va_start(args, format);
    voutlog(format, args, where, what);
    va_end(args);
}

// Whether the file holds the text: the log and history stay readable while they are open.
bool FileHolds(const char* name, const char* text) {
    File file;
    return file.capture(name) && strnstrn(file.image, file.length, text, -1);
}

}  // namespace

int main() {
    Line("opened %d documents", 3);
    fout("raw text without a stamp\r\n");
    logfix();   // close and reopen: everything so far is on disk

    Record("saved", "report.txt", "%d pages", 12);

    char elapsed[32];
    TICKS2MMSS(elapsed, sizeof elapsed, 3723004ul, 1);
    Line("one hour, two minutes and 3.004 seconds read %s", elapsed);

    Log& log = GetProcess();
    printf("log:     %s\nhistory: %s\n", log.logName.p, log.histName.p);
    logfix();
    Expect(strcmp(elapsed, "01:02:03.004") == 0, "the hour form of TICKS2MMSS");
    Expect(FileHolds(log.logName, " opened 3 documents\r\n"), "the log line");
    Expect(FileHolds(log.logName, "\r\nraw text without a stamp\r\n"), "the raw text");
    Expect(FileHolds(log.histName, " saved:report.txt - 12 pages\r\n"), "the history record");
    return gFailures;
}
