// File searches on POSIX: FindFirstFile/FindNextFile/FindClose over a directory stream, with
// Windows' wildcards in the last component of the pattern.
#include "platform/posix/files_posix.h"

#include "platform/posix/errors.h"
#include "platform/posix/handles_posix.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/syscalls.h"

#include <errno.h>

#include <mutex>
#include <string>

namespace tarn::posix {
namespace {

// '*' matches any run of characters, '?' exactly one; the rest matches itself.
bool Glob(const char* pattern, const char* name) {
    const char* starPattern = nullptr;  // just behind the last '*' seen
    const char* starName = nullptr;     // where that '*' is being tried
    while (*name) {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starPattern) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

// Windows also lets a pattern that ends in ".*" match the name without that part: "name.*"
// finds "name", and "*.*" finds every name.
bool Matches(const std::string& pattern, const char* name) {
    if (Glob(pattern.c_str(), name))
        return true;
    const size_t n = pattern.size();
    return n >= 2 && pattern[n - 2] == '.' && pattern[n - 1] == '*' &&
           Glob(pattern.substr(0, n - 2).c_str(), name);
}

// One entry found, before it is written into the caller's find data.
struct Found {
    struct stat64 status;
    const char* name;  // valid until the search reads on
};

class SearchObject : public HandleObject {
public:
    static constexpr HandleKind kKind = HandleKind::Search;

    SearchObject(DIR* stream, std::string directory, std::string pattern)
        : HandleObject(kKind),
          stream_(stream),
          directory_(std::move(directory)),
          pattern_(std::move(pattern)) {}
    ~SearchObject() override { Sys().closedir(stream_); }

    // The next matching entry. False at the end, with ERROR_NO_MORE_FILES, or with the last
    // error of a failed read. The caller holds Lock().
    bool Next(Found& found) {
        for (;;) {
            errno = 0;
            const dirent64* entry = Sys().readdir(stream_);
            if (!entry) {
                if (errno != 0)
                    SetLastErrorFromErrno(errno);
                else
                    SetLastError(ERROR_NO_MORE_FILES);
                return false;
            }
            if (!Matches(pattern_, entry->d_name))
                continue;
            // A link is reported as what it leads to; a dangling link as itself; an entry
            // removed since it was read is passed over.
            const std::string path = directory_ + '/' + entry->d_name;
            if (Sys().stat(path.c_str(), &found.status) != 0 &&
                Sys().lstat(path.c_str(), &found.status) != 0)
                continue;
            found.name = entry->d_name;
            return true;
        }
    }

    // Calls on one search handle are taken one at a time: a directory stream is not shared.
    std::mutex& Lock() { return lock_; }

private:
    DIR* const stream_;
    const std::string directory_;
    const std::string pattern_;
    std::mutex lock_;
};

template <typename Data>
void FillFixedPart(const Found& found, Data* data) {
    data->dwFileAttributes = AttributesOf(found.status);
    data->ftCreationTime = FileTimeOf(found.status.st_ctim);
    data->ftLastAccessTime = FileTimeOf(found.status.st_atim);
    data->ftLastWriteTime = FileTimeOf(found.status.st_mtim);
    data->nFileSizeHigh = S_ISDIR(found.status.st_mode) ? 0 : HighPart(found.status.st_size);
    data->nFileSizeLow = S_ISDIR(found.status.st_mode) ? 0 : LowPart(found.status.st_size);
    data->dwReserved0 = 0;
    data->dwReserved1 = 0;
    data->cAlternateFileName[0] = 0;
}

// A system name has at most NAME_MAX (255) bytes, so it always fits either field.
void Fill(const Found& found, LPWIN32_FIND_DATAA data) {
    FillFixedPart(found, data);
    size_t i = 0;
    for (; found.name[i] && i < MAX_PATH - 1; ++i)
        data->cFileName[i] = found.name[i];
    data->cFileName[i] = '\0';
}

void Fill(const Found& found, LPWIN32_FIND_DATAW data) {
    FillFixedPart(found, data);
    if (MultiByteToWideChar(CP_UTF8, 0, found.name, -1, data->cFileName, MAX_PATH) == 0)
        data->cFileName[0] = 0;
}

template <typename Data>
HANDLE FindFirst(const SystemPath& pattern, Data* data) {
    if (!pattern.Valid())
        return INVALID_HANDLE_VALUE;
    // The directory is everything up to the last separator; the wildcards are behind it.
    const std::string text = pattern.c_str();
    const size_t slash = text.rfind('/');
    std::string directory = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : text.substr(0, slash);
    std::string last = slash == std::string::npos ? text : text.substr(slash + 1);
    DIR* stream = Sys().opendir(directory.c_str());
    if (!stream) {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<SearchObject> search;
    try {
        search = std::make_shared<SearchObject>(stream, std::move(directory), std::move(last));
    } catch (const std::bad_alloc&) {
        Sys().closedir(stream);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    Found found;
    if (!search->Next(found)) {
        if (GetLastError() == ERROR_NO_MORE_FILES)
            SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Fill(found, data);
    HANDLE handle = AddHandle(std::move(search));
    return handle ? handle : INVALID_HANDLE_VALUE;
}

template <typename Data>
BOOL FindNext(HANDLE handle, Data* data) {
    std::shared_ptr<SearchObject> search = FindHandle<SearchObject>(handle);
    if (!search)
        return FALSE;
    std::lock_guard guard(search->Lock());
    Found found;
    if (!search->Next(found))
        return FALSE;
    Fill(found, data);
    return TRUE;
}

}  // namespace
}  // namespace tarn::posix

using namespace tarn::posix;

// The names and paths of a search are strings: a search that runs out of memory fails.
HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data) {
    return UnlessOutOfMemory(INVALID_HANDLE_VALUE,
                             [&] { return FindFirst(SystemPath(pattern), data); });
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
    return UnlessOutOfMemory(INVALID_HANDLE_VALUE,
                             [&] { return FindFirst(SystemPath(pattern), data); });
}

BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data) {
    return UnlessOutOfMemory(BOOL(FALSE), [&] { return FindNext(search, data); });
}

BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data) {
    return UnlessOutOfMemory(BOOL(FALSE), [&] { return FindNext(search, data); });
}

BOOL WINAPI FindClose(HANDLE search) { return RemoveHandle(search, HandleKind::Search); }
