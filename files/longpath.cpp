// The long-path wrappers: every file-system call is made with the system's 8-bit function
// first and, only when that fails, again with the wide function on the extended-length name.
#include "files/longpath.h"

#include "files/pathtext.h"
#include "platform/win32.h"
#include "tarnkernl/files.h"

#include <algorithm>
#include <climits>
#include <cstddef>

namespace {

constexpr char kLongPrefix[] = "\\\\?\\";
constexpr char kSharePrefix[] = "\\\\?\\UNC";

// The system's paths have at most 32767 characters: a caller's room beyond that is never needed
// for the wide answer, and keeps the wide buffer's size within an int.
constexpr unsigned long kMaxPathChars = 32768;

unsigned long WideRoom(unsigned long size) { return std::min(size, kMaxPathChars); }

// A zero-filled block of at least `minChars` characters holding the conversion of `text`, with
// room for four characters more than the text has. A text that cannot be read converts to "".
WCHAR* NewWideText(const char* text, int minChars) {
    const char* parts[] = {text, nullptr};
    int count;
    int room = str::CalcLen(parts, &count) + 4;
    WCHAR* block = static_cast<WCHAR*>(calloc(std::max(minChars, room), sizeof(WCHAR)));
    if (block && count == 1)
        MultiByteToWideChar(CP_ACP, 0, text, -1, block, room);
    return block;
}

// Wide blocks go back through operator delete, like every text block of the library.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void ReleaseWide(WCHAR* block) { ::operator delete(block); }
#pragma GCC diagnostic pop

// The wide retry name of `name`.
UNICODE_Str LongName(const char* name) { return UNICODE_Str(tarn::LongPathName(name)); }

// The ordinary form of a wide full path: \\?\C:\x gives C:\x, \\?\UNC\server\x gives \\server\x
// (written into the path itself).
WCHAR* WithoutPrefix(WCHAR* path) {
    if (path[0] != '\\' || path[1] != '\\' || path[2] != '?' || path[3] != '\\')
        return path;
    path += 4;
    if (path[0] == 'U' && path[1] == 'N' && path[2] == 'C' && path[3] == '\\') {
        path[2] = '\\';
        path += 2;
    }
    return path;
}

int AnsiBytes(const WCHAR* text, int chars) {
    return WideCharToMultiByte(CP_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
}

// Converts `text` with its terminator into `buffer` of `size` bytes: the bytes written,
// terminator included, or, when they do not fit, the bytes needed (more than `size`).
unsigned long ToAnsi(const WCHAR* text, char* buffer, unsigned long size) {
    if (buffer && size > 0) {
        int room = static_cast<int>(std::min<unsigned long>(size, INT_MAX));
        int written = WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, room, nullptr, nullptr);
        if (written > 0)
            return written;
    }
    return AnsiBytes(text, -1);
}

// `text` converted into `out`'s own block; false when no block could be had.
bool AssignAnsi(const WCHAR* text, str& out) {
    int bytes = AnsiBytes(text, -1);
    if (!out.Alloc(bytes))
        return false;
    ToAnsi(text, out.p, static_cast<unsigned long>(bytes));
    return true;
}

// Converts into a fixed field of a find record; a name that does not fit leaves it empty.
void ToField(const WCHAR* name, char* field, int size) {
    if (WideCharToMultiByte(CP_ACP, 0, name, -1, field, size, nullptr, nullptr) == 0)
        field[0] = 0;
}

// Creates the directory named by `path` up to and including its backslash at `end`.
bool CreateLevel(char* path, int end, _SECURITY_ATTRIBUTES* security) {
    char kept = path[end + 1];
    path[end + 1] = 0;
    bool created = UNI_CreateDirectory(path, security);
    path[end + 1] = kept;
    return created;
}

}  // namespace

namespace tarn {

UNCFileName LongPathName(const char* name) {
    if (FirstChar(name) <= 0)
        return UNCFileName(nullptr);
    if (StartsWith(name, "\\\\"))
        return UNCFileName(name);
    UNICODE_Str wide(name);
    DWORD needed = wide.p ? GetFullPathNameW(wide.p, 0, nullptr, nullptr) : 0;
    UNICODE_Str full("", static_cast<int>(needed) + 1);
    DWORD length = needed && full.p ? GetFullPathNameW(wide.p, needed, full.p, nullptr) : 0;
    if (length == 0 || length >= needed)
        return UNCFileName(nullptr);
    str ansi;
    return UNCFileName(AssignAnsi(full.p, ansi) ? ansi.p : nullptr);
}

void ConvertFindData(const WIN32_FIND_DATAW& wide, WIN32_FIND_DATAA& data) {
    // Attributes, the three times, the size and the reserved words stand in the same place in
    // both records.
    static_assert(offsetof(WIN32_FIND_DATAA, cFileName) == offsetof(WIN32_FIND_DATAW, cFileName));
    memcpy(&data, &wide, offsetof(WIN32_FIND_DATAA, cFileName));
    bool fits = AnsiBytes(wide.cFileName, -1) < MAX_PATH;
    ToField(fits ? wide.cFileName : wide.cAlternateFileName, data.cFileName, sizeof data.cFileName);
    ToField(wide.cAlternateFileName, data.cAlternateFileName, sizeof data.cAlternateFileName);
}

}  // namespace tarn

UNCFileName::UNCFileName(const char* path) {
    if (!path)
        return;
    TFileName name = tarn::StartsWith(path, "\\\\") ? TFileName(kSharePrefix, path + 1)
                                                    : TFileName(kLongPrefix, path);
    std::swap(p, name.p);
}

UNICODE_Str::UNICODE_Str(const char* text, int minChars) : p(NewWideText(text, minChars)) {}

UNICODE_Str::UNICODE_Str(const char* text) : p(NewWideText(text, 0)) {}

UNICODE_Str::~UNICODE_Str() { ReleaseWide(p); }

const WCHAR* UNICODE_Str::operator()(const char* text) {
    WCHAR* old = p;
    p = NewWideText(text, 0);
    ReleaseWide(old);
    return p;
}

unsigned long UNI_GetFileAttributes(const char* name) {
    if (tarn::FirstChar(name) <= 0)
        return INVALID_FILE_ATTRIBUTES;
    DWORD attributes = GetFileAttributesA(name);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes;
    DWORD error = GetLastError();
    attributes = GetFileAttributesW(LongName(name));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // A system without the wide call, or one that gave no reason, keeps the first answer.
        DWORD wideError = GetLastError();
        if (wideError == 0 || wideError == ERROR_CALL_NOT_IMPLEMENTED)
            SetLastError(error ? error : ERROR_FILE_NOT_FOUND);
    }
    return attributes;
}

bool UNI_DeleteFile(const char* name) { return DeleteFileA(name) || DeleteFileW(LongName(name)); }

bool UNI_CreateDirectory(const char* name, _SECURITY_ATTRIBUTES* security) {
    return CreateDirectoryA(name, security) || CreateDirectoryW(LongName(name), security);
}

void* UNI_FindFirstFile(const char* pattern, _WIN32_FIND_DATAA* data) {
    HANDLE search = FindFirstFileA(pattern, data);
    if (search != INVALID_HANDLE_VALUE)
        return search;
    WIN32_FIND_DATAW wide;
    search = FindFirstFileW(LongName(pattern), &wide);
    if (search != INVALID_HANDLE_VALUE)
        tarn::ConvertFindData(wide, *data);
    return search;
}

bool UNI_FindNextFile(void* search, _WIN32_FIND_DATAA* data) {
    if (FindNextFileA(search, data))
        return true;
    WIN32_FIND_DATAW wide;
    if (!FindNextFileW(search, &wide))
        return false;
    tarn::ConvertFindData(wide, *data);
    return true;
}

bool CreateDirectories(const char* path, _SECURITY_ATTRIBUTES* security) {
    TFileName directory(path, "\\");
    char* text = directory.p;
    if (!text)
        return false;
    int length = directory.Length();
    // The first level that can be made, searching from the deepest, is the top of what is
    // missing; below it every level must be made in turn. Index 0 is a root, never made.
    int made = length - 1;
    while (made >= 1 && !(text[made] == '\\' && CreateLevel(text, made, security)))
        --made;
    if (made < 1)
        return false;
    for (int i = made + 1; i < length; ++i) {
        if (text[i] == '\\' && !CreateLevel(text, i, security))
            return false;
    }
    return true;
}

unsigned long UNI_GetFullPathName(const char* name, unsigned long size, char* buffer,
                                  char** filePart) {
    DWORD length = GetFullPathNameA(name, size, buffer, filePart);
    if (length != 0)
        return length;
    DWORD error = GetLastError();
    // The wide answer carries the four characters of the prefix beyond the caller's room.
    DWORD room = static_cast<DWORD>(WideRoom(size)) + 4;
    UNICODE_Str full("", static_cast<int>(room) + 1);
    WCHAR* widePart = nullptr;
    if (full.p)
        length = GetFullPathNameW(LongName(name), room, full.p, &widePart);
    if (length == 0) {
        SetLastError(error);
        return 0;
    }
    if (filePart)
        *filePart = nullptr;
    // Without a buffer, or when it is too small, the answer is the room needed.
    if (!buffer || length >= room)
        return length;
    const WCHAR* text = WithoutPrefix(full.p);
    unsigned long bytes = ToAnsi(text, buffer, size);
    if (bytes > size)
        return bytes;
    if (filePart && widePart && widePart >= text)
        *filePart =
            buffer + (widePart > text ? AnsiBytes(text, static_cast<int>(widePart - text)) : 0);
    return bytes - 1;
}

namespace {

// The full path into `fullName` and its length; 0 when there is none, with `fullName` null when
// memory ran out.
unsigned long FullPathInto(const char* name, str& fullName) {
    DWORD size = GetFullPathNameA(name, 0, nullptr, nullptr);
    if (size != 0) {
        if (!fullName.Alloc(static_cast<int>(size) + 1))
            return 0;
        DWORD length = GetFullPathNameA(name, size + 1, fullName.p, nullptr);
        return length != 0 && length <= size ? length : 0;
    }
    DWORD error = GetLastError();
    UNICODE_Str wideName = LongName(name);
    DWORD needed = GetFullPathNameW(wideName, 0, nullptr, nullptr);
    UNICODE_Str full("", static_cast<int>(needed) + 1);
    DWORD length = needed && full.p ? GetFullPathNameW(wideName, needed + 1, full.p, nullptr) : 0;
    if (length == 0 || length > needed) {
        SetLastError(error);
        return 0;
    }
    return AssignAnsi(WithoutPrefix(full.p), fullName) ? fullName.Length() : 0;
}

}  // namespace

unsigned long UNI_GetFullPathName(const char* name, str& fullName) {
    const unsigned long length = FullPathInto(name, fullName);
    if (length == 0)
        fullName.Clear();
    return length;
}

unsigned long UNI_GetCurrentDirectory(unsigned long size, char* buffer) {
    DWORD length = GetCurrentDirectoryA(size, buffer);
    if (length != 0)
        return length;
    DWORD error = GetLastError();
    DWORD room = static_cast<DWORD>(WideRoom(size));
    UNICODE_Str current("", static_cast<int>(room));
    if (current.p)
        length = GetCurrentDirectoryW(room, current.p);
    if (length == 0) {
        SetLastError(error);
        return 0;
    }
    if (!buffer || length >= room)
        return length;
    return ToAnsi(current.p, buffer, size);
}
