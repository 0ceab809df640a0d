// The module map: one block per occasion, appended to "<program>.map" in the weekday
// directory. A block reads
//
//   process 4711 started 2026-12-07 12:23:53 at crash record
//   module 0x000055AE891C4000 0x0000000000005000 elf:1F2E... /opt/app/demo
//   module 0x00007F64E2A80000 0x00000000000A1000 elf:9A3B... /opt/app/libtarnkernl.so
//   modules 2
//
// with the lines ending in "\r\n" as in the other files of the directory. The process line ties
// the block to the records: the process's start time is the one their headers show, and the
// identifier tells apart two processes started in the same second. The closing line counts the
// modules listed, or says "modules incomplete" when the loader changed its list meanwhile.
//
// Written from inside a fault report: fixed buffers on the stack, digits by hand, the
// old-style file functions (system calls on POSIX).
#include "log/modulemap.h"

#include "log/crashreport.h"
#include "log/faults.h"
#include "platform/modulelist.h"
#include "platform/win32.h"
#include "tarnkernl/log.h"

#include <cstdint>
#include <cstring>

namespace tarn {
namespace {

// One line of the map, built in place.
class Line {
public:
    Line& Text(const char* text) {
        while (*text && used_ < sizeof text_)
            text_[used_++] = *text++;
        return *this;
    }
    // "0x" and at least `digits` upper-case hexadecimal digits.
    Line& Hex(uint64_t value, int digits) {
        while (digits < 16 && (value >> (4 * digits)) != 0)
            ++digits;
        Text("0x");
        for (int i = digits - 1; i >= 0 && used_ < sizeof text_; --i)
            text_[used_++] = "0123456789ABCDEF"[(value >> (4 * i)) & 0xF];
        return *this;
    }
    // At least `digits` decimal digits.
    Line& Decimal(uint64_t value, int digits = 1) {
        char reversed[24];
        int n = 0;
        do {
            reversed[n++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0 || n < digits);
        while (n > 0 && used_ < sizeof text_)
            text_[used_++] = reversed[--n];
        return *this;
    }
    // A line cut short by the buffer still ends its line.
    bool WriteTo(int file) {
        if (used_ > sizeof text_ - 2)
            used_ = sizeof text_ - 2;
        text_[used_++] = '\r';
        text_[used_++] = '\n';
        return _lwrite(file, text_, static_cast<UINT>(used_)) == used_;
    }

private:
    char text_[MAX_PATH * 4 + 160];
    size_t used_ = 0;
};

constexpr int kAddressDigits = 2 * sizeof(uintptr_t);

// Empty until the Log names its files; written and read under the report lock.
char gMapName[MAX_PATH * 4];

struct Writing {
    int file;
    bool ok;
};

void WriteModule(const LoadedModule& module, void* context) {
    Writing& writing = *static_cast<Writing*>(context);
    if (!writing.ok)
        return;
    Line line;
    line.Text("module ").Hex(module.base, kAddressDigits).Text(" ");
    line.Hex(module.size, kAddressDigits);
    line.Text(" ").Text(*module.id ? module.id : "-").Text(" ").Text(module.path);
    writing.ok = line.WriteTo(writing.file);
}

}  // namespace

bool ModuleMapName(const char* recordFile, char* out, size_t size) {
    const char* dot = strrchr(recordFile, '.');
    const char* slash = strrchr(recordFile, '\\');
    if (!dot || (slash && dot < slash))
        return false;
    const size_t stem = static_cast<size_t>(dot - recordFile);
    if (stem + sizeof ".map" > size)
        return false;
    memcpy(out, recordFile, stem);
    memcpy(out + stem, ".map", sizeof ".map");
    return true;
}

void SetModuleMapFile(const char* recordFile) {
    LazyLock::Guard guard(ReportLock());
    if (!ModuleMapName(recordFile, gMapName, sizeof gMapName))
        gMapName[0] = 0;
}

void WriteModuleMap(const char* occasion) {
    LazyLock::Guard guard(ReportLock());
    if (!gMapName[0])
        return;
    const int file = OpenRecordFile(gMapName);
    if (file == HFILE_ERROR)
        return;
    Contained([&] {
        const LocalTime& t = GetProcess().startTime.startLocal;
        Line head;
        head.Text("process ").Decimal(GetCurrentProcessId()).Text(" started ");
        head.Decimal(t.wYear, 4).Text("-").Decimal(t.wMonth, 2).Text("-").Decimal(t.wDay, 2);
        head.Text(" ").Decimal(t.wHour, 2).Text(":").Decimal(t.wMinute, 2).Text(":");
        head.Decimal(t.wSecond, 2).Text(" at ").Text(occasion);
        Writing writing = {file, head.WriteTo(file)};
        const int count = writing.ok ? ListModules(&WriteModule, &writing) : -1;
        Line end;
        if (count < 0)
            end.Text("modules incomplete");
        else
            end.Text("modules ").Decimal(static_cast<uint64_t>(count));
        if (writing.ok)
            end.WriteTo(file);
    });
    _lclose(file);
}

}  // namespace tarn
