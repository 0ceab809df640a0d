// Library paths to system paths and back: the "\\?\" prefixes, the separators and the Windows
// distinction between a missing file and a missing directory; full paths and the current
// directory.
#include "platform/posix/paths_posix.h"

#include "platform/callermemory.h"
#include "platform/posix/errors.h"
#include "platform/posix/syscalls.h"

#include <errno.h>
#include <unistd.h>

namespace tarn::posix {
namespace {

// An extended-length prefix: the characters to drop, and whether a share name follows them.
// "\\?\tmp\x" is "\tmp\x" (the prefix marks a full path: its last backslash is the root);
// "\\?\UNC\server\share" is "\\server\share".
struct ExtendedPrefix {
    size_t length;
    bool share;
};

ExtendedPrefix ExtendedPrefixOf(const char* text) {
    if (BeginsWithText(text, "\\\\?\\UNC\\"))
        return {8, true};
    return {BeginsWithText(text, "\\\\?\\") ? size_t(3) : 0, false};
}

// Rewrites a path in place: the extended-length prefix goes, every '\' becomes '/'.
void ToSystemSpelling(char* text) {
    const ExtendedPrefix prefix = ExtendedPrefixOf(text);
    char* to = text;
    if (prefix.share) {
        *to++ = '/';
        *to++ = '/';
    }
    for (const char* from = text + prefix.length; *from; ++from, ++to)
        *to = *from == '\\' ? '/' : *from;
    *to = '\0';
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A text built in a buffer of fixed size. A Put that would not fit with the terminator is
// dropped and remembered.
class Builder {
public:
    Builder(char* out, size_t size) : out_(out), size_(size) { out_[0] = '\0'; }

    void Put(const char* text, size_t count) {
        if (size_ - length_ <= count) {
            overflow_ = true;
            return;
        }
        CopyBytes(out_ + length_, text, count);
        length_ += count;
        out_[length_] = '\0';
    }
    void Put(char c) { Put(&c, 1); }

    size_t Length() const { return length_; }
    bool Overflowed() const { return overflow_; }
    // Cuts the text back to `length` characters.
    void Cut(size_t length) {
        length_ = length;
        out_[length_] = '\0';
    }
    // The index of the last '\\' at or behind `from`, or `from` when there is none.
    size_t LastSeparator(size_t from) const {
        size_t i = length_;
        while (i > from && out_[i - 1] != '\\')
            --i;
        return i > from ? i - 1 : from;
    }

private:
    char* out_;
    size_t size_;
    size_t length_ = 0;
    bool overflow_ = false;
};

// The next component of `p` up to a separator or the end; `p` moves past it and the
// separators behind it.
const char* NextComponent(const char*& p, size_t& length) {
    const char* begin = p;
    while (*p && !IsSeparator(*p))
        ++p;
    length = static_cast<size_t>(p - begin);
    while (IsSeparator(*p))
        ++p;
    return begin;
}

// Appends the components of `p` to `out`, folding "." and ".."; ".." never cuts into the
// first `rootLength` characters.
void AppendFolded(Builder& out, const char* p, size_t rootLength) {
    while (*p) {
        size_t length;
        const char* component = NextComponent(p, length);
        if (length == 0 || (length == 1 && component[0] == '.'))
            continue;
        if (length == 2 && component[0] == '.' && component[1] == '.') {
            out.Cut(out.LastSeparator(rootLength));
            continue;
        }
        out.Put('\\');
        out.Put(component, length);
    }
}

// The current directory in the library's spelling into `out` of PATH_MAX bytes; its length,
// or 0 with the last error set.
size_t CurrentDirectory(char* out) {
    if (!Sys().getcwd(out, PATH_MAX)) {
        SetLastErrorFromErrno(errno);
        return 0;
    }
    ToLibrarySeparators(out);
    return TextLength(out);
}

// Copies `text` of `length` characters with its terminator into `buffer` of `size`
// characters when it fits: the length; else the size needed, terminator included.
template <typename Unit>
DWORD GiveText(const Unit* text, size_t length, Unit* buffer, DWORD size) {
    if (!buffer || size <= length)
        return static_cast<DWORD>(length + 1);
    CopyBytes(buffer, text, (length + 1) * sizeof(Unit));
    return static_cast<DWORD>(length);
}

// `text` as UTF-16 into `wide` of `room` units; its length, or 0 with the last error set.
size_t Widen(const char* text, WCHAR* wide, int room) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, room);
    return n > 0 ? static_cast<size_t>(n - 1) : 0;
}

}  // namespace

SystemPath::SystemPath(const char* path) {
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    size_t n = 0;
    for (; path[n] != '\0'; ++n) {
        if (n == sizeof text_ - 1) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return;
        }
        text_[n] = path[n];
    }
    text_[n] = '\0';
    Finish();
}

SystemPath::SystemPath(const WCHAR* path) {
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, text_, sizeof text_, nullptr, nullptr) == 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    Finish();
}

void SystemPath::Finish() {
    ToSystemSpelling(text_);
    if (text_[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    valid_ = true;
}

bool SystemPath::ParentExists() const {
    char parent[PATH_MAX];
    size_t end = 0;
    while (text_[end])
        ++end;
    while (end > 1 && text_[end - 1] == '/')  // a trailing separator does not make a component
        --end;
    while (end > 0 && text_[end - 1] != '/')
        --end;
    if (end == 0) {
        parent[0] = '.';
        end = 1;
    } else {
        while (end > 1 && text_[end - 1] == '/')
            --end;
        for (size_t i = 0; i < end; ++i)
            parent[i] = text_[i];
    }
    parent[end] = '\0';
    struct stat64 status;
    return Sys().stat(parent, &status) == 0 && S_ISDIR(status.st_mode);
}

void SystemPath::SetLastErrorFromErrno(int error, DWORD existsCode) const {
    if (error == ENOENT && !ParentExists()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    tarn::posix::SetLastErrorFromErrno(error, existsCode);
}

void ToLibrarySeparators(char* text) {
    for (; *text; ++text) {
        if (*text == '/')
            *text = '\\';
    }
}

size_t FullPathName(const char* name, char* out, size_t size, size_t& filePart) {
    if (!name || !name[0]) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    const ExtendedPrefix prefix = ExtendedPrefixOf(name);
    const char* p = name + prefix.length;
    const bool share = prefix.share || (IsSeparator(p[0]) && IsSeparator(p[1]));
    if (share && !prefix.share)
        p += 2;
    Builder full(out, size);
    size_t rootLength = 0;
    bool beyondRoot = true;  // anything follows the share's root
    if (share) {
        // "\\server\share" is the root: ".." does not leave it.
        full.Put('\\');
        for (int i = 0; i < 2 && *p; ++i) {
            size_t length;
            const char* component = NextComponent(p, length);
            full.Put('\\');
            full.Put(component, length);
        }
        rootLength = full.Length();
        beyondRoot = *p != '\0';
    } else if (!IsSeparator(p[0])) {
        char current[PATH_MAX];
        if (CurrentDirectory(current) == 0)
            return 0;
        AppendFolded(full, current, 0);
    }
    AppendFolded(full, p, rootLength);
    const size_t end = TextLength(name);
    const bool trailingSeparator = IsSeparator(name[end - 1]);
    // A root reached by folding keeps its separator (\ alone, \\server\share\ with a share).
    if (trailingSeparator || (full.Length() == rootLength && beyondRoot))
        full.Put('\\');
    if (full.Overflowed()) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    filePart = trailingSeparator ? full.Length() : full.LastSeparator(0) + 1;
    return full.Length();
}

}  // namespace tarn::posix

using namespace tarn::posix;

DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart) {
    char full[kFullPathRoom];
    size_t part;
    const size_t length = FullPathName(name, full, sizeof full, part);
    if (length == 0)
        return 0;
    const DWORD result = GiveText(full, length, buffer, size);
    if (result == length && filePart)
        *filePart = part < length ? buffer + part : nullptr;
    return result;
}

DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char narrow[kFullPathRoom];
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr) == 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    char full[kFullPathRoom];
    size_t part;
    if (FullPathName(narrow, full, sizeof full, part) == 0)
        return 0;
    WCHAR wide[kFullPathRoom];
    const size_t length = Widen(full, wide, kFullPathRoom);
    const DWORD result = GiveText(wide, length, buffer, size);
    if (result == length && filePart) {
        // The file part's index in UTF-16 units: the units of the bytes before it.
        const char saved = full[part];
        full[part] = '\0';
        *filePart = saved ? buffer + Widen(full, wide, kFullPathRoom) : nullptr;
    }
    return result;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    char current[PATH_MAX];
    const size_t length = CurrentDirectory(current);
    return length ? GiveText(current, length, buffer, size) : 0;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD size, LPWSTR buffer) {
    char current[PATH_MAX];
    WCHAR wide[PATH_MAX];
    if (CurrentDirectory(current) == 0)
        return 0;
    return GiveText(wide, Widen(current, wide, PATH_MAX), buffer, size);
}

BOOL WINAPI SetCurrentDirectoryA(LPCSTR name) {
    const SystemPath path(name);
    if (!path.Valid())
        return FALSE;
    if (Sys().chdir(path.c_str()) == 0)
        return TRUE;
    const int error = errno;
    struct stat64 status;
    if (error == ENOTDIR && Sys().stat(path.c_str(), &status) == 0)
        SetLastError(ERROR_DIRECTORY);
    else
        path.SetLastErrorFromErrno(error);
    return FALSE;
}
