// The file handle: opening with the long-name fallback, unbuffered reading and writing, and
// the text writers on it; the heap-free writer of a wide-named file.
#include "tarnkernl/files.h"

#include "files/longpath.h"
#include "log/faults.h"
#include "platform/callermemory.h"
#include "platform/win32.h"

namespace {

// Names of this length or more in their extended-length form may be too long for the system.
constexpr int kLongNameLength = 250;

struct Access {
    DWORD rights;
    DWORD sharing;
};

// The system's call first, then the wide call on the extended-length name (kept in
// `longName`). When both fail, the wide call's error stands unless it gave none or has no wide
// call (120): then the first error. `opening`: a lost handle without a reason reports 111.
void CreateWithFallback(TFileHandle& file, const char* name, Access access, DWORD disposition,
                        bool opening, UNCFileName& longName) {
    SetLastError(0);
    file.owned = true;
    file.handle = CreateFileA(name, access.rights, access.sharing, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD firstError = GetLastError();
    file.lastError = firstError;
    if (file.IsOpen())
        return;
    longName = tarn::LongPathName(name);
    file.handle = CreateFileW(UNICODE_Str(longName), access.rights, access.sharing, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file.handle) {
        // A null handle that cannot even tell its position was no handle at all.
        file.lastError = GetLastError();
        if (file.tell() == -1) {
            if (opening && file.lastError == 0)
                file.lastError = ERROR_BUFFER_OVERFLOW;
            if (opening)
                SetLastError(file.lastError);
            file.handle = TFileHandle::InvalidHandle();
        }
    }
    if (file.IsOpen())
        return;
    const DWORD error = GetLastError();
    if (error == 0 || error == ERROR_CALL_NOT_IMPLEMENTED) {
        file.lastError = firstError;
        SetLastError(firstError);
    } else {
        file.lastError = error;
    }
}

// An existing file whose long name could not be opened without a reason: the name is too long.
// The long name is that of the file's full path, so the file is looked for by the name given.
void ReportTooLong(TFileHandle& file, const char* name, UNCFileName& longName) {
    if (file.IsOpen() || !longName.p || longName.Length() < kLongNameLength)
        return;
    if (existfile(name)) {
        file.lastError = ERROR_BUFFER_OVERFLOW;
        SetLastError(ERROR_BUFFER_OVERFLOW);
    }
}

}  // namespace

bool TFileHandle::open(const char* name, int mode, unsigned long disposition) {
    Access access;
    switch (static_cast<unsigned>(mode)) {
        case 0:
        case GENERIC_READ:
            access = {GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE};
            break;
        case 1:
        case GENERIC_WRITE:
            access = {GENERIC_WRITE, FILE_SHARE_READ};
            break;
        case 2:
        case GENERIC_READ | GENERIC_WRITE:
            access = {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ};
            break;
        case 0x1000:
            return creat(name);
        default:
            return false;
    }
    close();
    if (disposition == OPEN_EXISTING && !existfile(name)) {
        lastError = GetLastError();
        if (lastError == 0) {
            lastError = ERROR_FILE_NOT_FOUND;
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        return false;
    }
    UNCFileName longName(nullptr);
    CreateWithFallback(*this, name, access, disposition, true, longName);
    if (lastError == 0)
        ReportTooLong(*this, name, longName);
    return IsOpen();
}

bool TFileHandle::creat(const char* name) {
    close();
    TFileDir directory(name);
    if (!existdirectory(directory) && !CreateDirectories(directory))
        return false;
    UNI_DeleteFile(name);
    UNCFileName longName(nullptr);
    CreateWithFallback(*this, name, {GENERIC_WRITE, FILE_SHARE_READ}, CREATE_NEW, false, longName);
    ReportTooLong(*this, name, longName);
    return IsOpen();
}

bool TFileHandle::close() {
    bool closed = true;
    if (owned && IsOpen())
        closed = CloseHandle(handle) != FALSE;
    handle = InvalidHandle();
    owned = false;
    return closed;
}

unsigned long TFileHandle::read(void* buffer, unsigned long count) {
    SetLastError(0);
    DWORD done = 0;
    if (buffer && !ReadFile(handle, buffer, static_cast<DWORD>(count), &done, nullptr))
        done = 0;
    lastError = GetLastError();
    return done;
}

unsigned long TFileHandle::write(const void* buffer, unsigned long count) {
    SetLastError(0);
    DWORD done = 0;
    if (buffer && !WriteFile(handle, buffer, static_cast<DWORD>(count), &done, nullptr))
        done = 0;
    lastError = GetLastError();
    return done;
}

bool TFileHandle::ChSize(long size) {
    seek(size, FILE_BEGIN);
    if (lastError != 0)
        return false;
    SetLastError(0);
    const bool cut = SetEndOfFile(handle) != FALSE;
    lastError = GetLastError();
    return cut;
}

unsigned long TFileHandle::size() {
    SetLastError(0);
    const DWORD low = GetFileSize(handle, nullptr);
    lastError = GetLastError();
    return low;
}

long TFileHandle::seek(long offset, int method) {
    SetLastError(0);
    const DWORD position =
        SetFilePointer(handle, static_cast<LONG>(offset), nullptr, static_cast<DWORD>(method));
    lastError = GetLastError();
    return static_cast<LONG>(position);
}

int fputs(const char* text, TFileHandle& file) {
    return tarn::ReadGuarded(-1, [&] {
        int total = 0;
        for (;;) {
            const size_t n = tarn::LineFeedOrEnd(text);
            if (n > 0)
                file.write(text, static_cast<unsigned long>(n));
            total += static_cast<int>(n);
            if (text[n] == '\0')
                return total;
            file.write("\r\n", 2);
            total += 2;
            text += n + 1;
        }
    });
}

int fputc(int c, TFileHandle& file) {
    const char text[2] = {static_cast<char>(c), '\0'};
    fputs(text, file);
    return c;
}

int fprintf(TFileHandle& file, const char* format, ...) {
    PrintBuffer<1024> buffer;
    va_list args;
    va_start(args, format);
    vsprintf(buffer, format, args);
    va_end(args);
    return static_cast<int>(file.write(buffer.data, buffer.length));
}

StaticFileHandle::StaticFileHandle(const WCHAR* name)
    : handle(CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr)) {}

StaticFileHandle::~StaticFileHandle() { CloseHandle(handle); }

int StaticFileHandle::fWriteData(const void* data, unsigned int size) {
    if (!handle)
        return 0;
    DWORD written = 0;
    return WriteFile(handle, data, size, &written, nullptr);
}
