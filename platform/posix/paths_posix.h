// The library's paths at the system: every path the library passes or gets back uses '\', the
// system wants '/'. Every function of the POSIX system layer that takes or gives a name uses this.
#pragma once

#include "platform/win32.h"

#include <limits.h>

namespace tarn::posix {

// A library path spelled for the system: a leading "\\?\" dropped with what follows taken from
// the root (the prefix marks a full path, and the library joins it to "\tmp\x" as
// "\\?\tmp\x"), "\\?\UNC\server\share" read as "\\server\share", then every '\' turned into
// '/'. Drive letters stay ordinary text. UTF-16
// paths become UTF-8. The text is held inside the object (no allocation, so it may be used
// while the memory manager is busy), at most PATH_MAX - 1 bytes.
// The caller's path is read with plain loops, so that a fault on an unreadable path reaches the
// caller as its exception.
class SystemPath {
public:
    explicit SystemPath(const char* path);
    explicit SystemPath(const WCHAR* path);
    SystemPath(const SystemPath&) = delete;
    SystemPath& operator=(const SystemPath&) = delete;

    // False when the path could not be taken; the thread's last error then says why: a null or
    // empty path ERROR_PATH_NOT_FOUND, a path beyond the system's limit
    // ERROR_FILENAME_EXCED_RANGE.
    bool Valid() const { return valid_; }
    const char* c_str() const { return text_; }

    // The last error for a system call on this path that failed with `error`. ENOENT is told
    // apart as Windows does: ERROR_PATH_NOT_FOUND when the directory that should hold the name
    // is missing, else ERROR_FILE_NOT_FOUND. Other values as ErrorFromErrno (errors.h).
    void SetLastErrorFromErrno(int error, DWORD existsCode = ERROR_ALREADY_EXISTS) const;

    // True when the directory part of the path (the current directory when there is none)
    // exists and is a directory.
    bool ParentExists() const;

private:
    // Rewrites the copied text for the system and decides whether it can be used.
    void Finish();

    char text_[PATH_MAX];
    bool valid_ = false;
};

// Turns the system's '/' into the library's '\' in `text`, up to its terminator.
void ToLibrarySeparators(char* text);

// Room for a full path of GetFullPathNameA/W: the current directory and a name of that size.
constexpr size_t kFullPathRoom = 2 * PATH_MAX;

// The full path of the library path `name` in the library's spelling, as GetFullPathNameA
// gives it, into `out` of `size` bytes: its length, and in `filePart` the index of its last
// component (the length when it ends with a separator). 0 with the last error set when it
// cannot be made (an empty name, no current directory, more than `size` - 1 bytes).
size_t FullPathName(const char* name, char* out, size_t size, size_t& filePart);

}  // namespace tarn::posix
