// Library paths to system paths and back: the "\\?\" prefixes, the separators and the Windows
// distinction between a missing file and a missing directory.
#include "platform/posix/paths_posix.h"

#include "platform/posix/errors.h"
#include "platform/posix/syscalls.h"

#include <errno.h>

namespace tarn::posix {
namespace {

bool StartsWith(const char* text, const char* prefix)
{
    for (; *prefix; ++text, ++prefix) {
        if (*text != *prefix)
            return false;
    }
    return true;
}

// Rewrites a path in place: the extended-length prefix goes ("\\?\UNC\" leaves the two
// backslashes of a share name), every '\' becomes '/'.
void ToSystemSpelling(char* text)
{
    size_t skip = 0;
    if (StartsWith(text, "\\\\?\\UNC\\"))
        skip = 6;  // "\\?\UNC\server" -> "\\server": keep two of the backslashes
    else if (StartsWith(text, "\\\\?\\"))
        skip = 4;
    char* to = text;
    for (const char* from = text + skip; *from; ++from, ++to)
        *to = *from == '\\' ? '/' : *from;
    *to = '\0';
    if (skip == 6)
        text[0] = text[1] = '/';
}

}  // namespace

SystemPath::SystemPath(const char* path)
{
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

SystemPath::SystemPath(const WCHAR* path)
{
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

void SystemPath::Finish()
{
    ToSystemSpelling(text_);
    if (text_[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    valid_ = true;
}

bool SystemPath::ParentExists() const
{
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

void SystemPath::SetLastErrorFromErrno(int error, DWORD existsCode) const
{
    if (error == ENOENT && !ParentExists()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return;
    }
    tarn::posix::SetLastErrorFromErrno(error, existsCode);
}

void ToLibrarySeparators(char* text)
{
    for (; *text; ++text) {
        if (*text == '/')
            *text = '\\';
    }
}

}  // namespace tarn::posix
