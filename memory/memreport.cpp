// The guarded block pool's half of the memory report: every block never released, with its
// allocating stack, and the summary of the pool's use, written into the log when the pool goes.
#include "memory/markpool.h"

#include "log/process.h"
#include "tarnkernl/log.h"
#include "tarnkernl/text.h"

#include <cinttypes>

namespace tarn {

void WriteReopening(const char* text) {
    if (logdump(text, -1))
        return;
    LocalTime now;
    GetProcess().StartUp(now);
    logdump(text, -1);
}

namespace {

void WriteUnfreed(const Mark* up) {
    const Mark* down = up->other;
    PrintBuffer<512> line("Unfreed=0x%08" PRIXPTR "[%6" PRId32 "]'%s' allocator IP=0x%08" PRIXPTR
                          " (Ts:%" PRId64 "):",
                          reinterpret_cast<uintptr_t>(DataOf(up)), static_cast<int32_t>(up->size),
                          KindLabel(up->kind), up->allocatorIP,
                          static_cast<int64_t>(up->timeStamp));
    WriteReopening(line.data);
    logdump("\r\nSTACK:", -1);
    for (int i = 0; i < kStackEntries; ++i) {
        PrintBuffer<128, true> entry(" 0x%08" PRIXPTR, StackEntry(down, i));
        logdump(entry.data, -1);
    }
    logdump("\r\n", -1);
    logdump("\r\n", -1);
}

}  // namespace

// Start-up blocks are counted, not listed; a 200-byte malloc() block is counted as the
// runtime's own (RTL) and not listed either.
void MarkPool::dump() {
    try {
        AllMarkOk();
    } catch (...) {
        exceptout("MarkPool::dump(): AllMarkOk() catched");
    }

    int32_t startupBlocks = 0;
    int32_t rtlBytes = 0;
    constexpr uint32_t kRtlBlockSize = 200;
    for (const Mark* up = lists.UpBeg; up; up = up->next) {
        if (up->kind == kStartupBlock) {
            ++startupBlocks;
        } else if (up->kind == kMallocBlock && up->size == kRtlBlockSize) {
            rtlBytes += kRtlBlockSize;
            ++blocks.listed;
        } else {
            bytes.listed += static_cast<int32_t>(up->size);
            ++blocks.listed;
            WriteUnfreed(up);
        }
    }

    PrintBuffer<1024, true> summary;
    if (bytes.listed == 0 && rtlBytes == 0 && !strnstrn(GetCommandLineInternal(), -1, "/mem", -1)) {
        sprintf(summary,
                "BLOCKS OF MEMORY WAS ALLOCATED: %" PRId32
                "\r\nMax count of blocks allocated at once time= %" PRId32
                "\r\nMax space           allocated at once time= %" PRId32 " bytes\r\n",
                blocks.total, blocks.peak, bytes.peak);
        logdump(summary.data, -1);
        return;
    }
    sprintf(
        summary,
        "\r\nBIG BLOCKS OF MEMORY ( included OBJECTS and ARRAYS space):\r\n  Allocated  %" PRId32
        "\r\n  Freed      %" PRId32 "\r\nTotal missing space: %" PRId32 " bytes (RTL:%" PRId32
        " bytes)\r\nMax count of blocks allocated at once time= %" PRId32
        "\r\nMax space           allocated at once time= %" PRId32 " bytes\r\n",
        blocks.total, blocks.total - blocks.current + startupBlocks, bytes.listed, rtlBytes,
        blocks.peak, bytes.peak);
    WriteReopening(summary.data);
    logfix();
}

}  // namespace tarn
