// The history file: a short, durable record of what the program did, committed after every
// record (histfix).
#include "log/crashreport.h"
#include "log/faults.h"
#include "log/markstack.h"
#include "log/process.h"
#include "log/readtext.h"
#include "log/startorder.h"
#include "platform/win32.h"

namespace tarn {
namespace {

LazyLock gHistoryLock TARN_START(HistoryLock);
constinit int gHistoryFile = HFILE_ERROR;

}  // namespace

LazyLock& HistoryLock() { return gHistoryLock; }

void HistoryAdvancedStack(uintptr_t frame) {
    LazyLock::Guard guard(gHistoryLock);
    if (gHistoryFile != HFILE_ERROR)
        WriteAdvancedStack(gHistoryFile, frame);
}

}  // namespace tarn

using namespace tarn;

void histdump(const char* text) {
    if (!text)
        return;
    Contained([text] {
        size_t length = TextLength(text);
        LazyLock::Guard guard(gHistoryLock);
        if (gHistoryFile != HFILE_ERROR)
            _lwrite(gHistoryFile, text, static_cast<UINT>(length));
    });
}

void tarn::CutUnfinishedHistoryLine() {
    LazyLock::Guard guard(gHistoryLock);
    CutUnfinishedLine(gHistoryFile);
}

void histfix() {
    LazyLock::Guard guard(gHistoryLock);
    Log& log = GetProcess();
    ReopenAtEnd(gHistoryFile, log.histName, log.histOpenError);
}
