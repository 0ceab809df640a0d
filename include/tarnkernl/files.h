// Files and paths: path names split, joined and derived as 8-bit text with the backslash as the
// only separator, and the file-system wrappers that retry on the extended-length ("\\?\") name.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/text.h"

// The system's records, as its headers tag them.
struct _WIN32_FIND_DATAA;
struct _SECURITY_ATTRIBUTES;

// ---- Path names ----

// The index of the last dot after the last backslash (the extension's dot), or the length of
// `path` when there is none: `path + GetExtPointPos(path)` is the extension or the terminator.
TARN_API int GetExtPointPos(const char* path);
// The index of the first character after the last backslash or colon; 0 when there is none.
TARN_API int GetFileNamePos(const char* path);
// Splits `path` in place into directory, name and extension (the separating backslash and dot
// become zeros). C:\dir\file.txt: "C:\dir", "file", "txt"; \file: "\", "file", "";
// C:file.txt: "", "C:file", "txt". The pointers may designate static texts.
TARN_API void StrictPath(char* path, char*& dir, char*& name, char*& ext);
// The first file name on a command line: blanks skipped, then a name in double quotes (false
// without the closing quote) or up to the next blank. `begin` is set whenever a name starts;
// the result says whether `end` was set.
TARN_API bool FindFileName(const char* line, const char*& begin, const char*& end);
// False for a null or empty name, control characters 1 to 31 and \ / : * ? < > " |.
TARN_API bool IsValidFileName(const char* name);

// The drive or share root of a path: C:\dir gives "C:", \\server\share\dir "\\server\share".
class SplitDrive : public str {
public:
    TARN_API SplitDrive(const char* path);
};

// Two to four parts joined into one path with exactly one backslash between them; a part that
// begins with a dot replaces the extension of the text so far (C:\dir, name.log, .hst give
// C:\dir\name.hst). A null part ends the list, but a null second or first part in front of a
// later one counts as empty. Any part may point into this object's own text.
class TFileName : public str {
public:
    TFileName(const char* first, const char* second, const char* third = nullptr,
              const char* fourth = nullptr) {
        Make(first, second, third, fourth, nullptr);
    }

    // Replaces the text with the join of the parts; the result is the text (null when the
    // allocation failed).
    const char* Remake(const char* first, const char* second, const char* third = nullptr,
                       const char* fourth = nullptr) {
        return Make(first, second, third, fourth, nullptr);
    }

private:
    // Joins the four named parts; whatever follows them is not read.
    TARN_API const char* Make(const char* first, const char* second, const char* third,
                              const char* fourth, ...);
};

// The full path of `name`; empty when the system gives none.
class TFullName : public str {
public:
    TARN_API TFullName(const char* name);
};

// The file name of a module; a null handle means the process's executable. Empty when the
// system gives no name. The other forms cut it down: without its directory, without directory
// and last extension, and the directory alone without a trailing separator.
class TModuleName : public str {
public:
    TARN_API TModuleName(HINSTANCE module);
};
class TModuleNameNoPath : public str {
public:
    TARN_API TModuleNameNoPath(HINSTANCE module);
};
class TModuleNameNoPathExt : public str {
public:
    TARN_API TModuleNameNoPathExt(HINSTANCE module);
};
class TModuleDir : public str {
public:
    TARN_API TModuleDir(HINSTANCE module);
};

// The directory of a path with its trailing separator: the first GetFileNamePos(path)
// characters (C:\dir\a.txt gives C:\dir\, a.txt the empty string).
class TFileDir : public str {
public:
    TARN_API TFileDir(const char* path);
};

extern "C" {
// The name exists and is not a directory.
TARN_API bool existfile(const char* name);
}
// The name exists and is a directory; a null or empty name asks for the current directory.
TARN_API bool existdirectory(const char* name);
// The file, or when it does not exist its directory, exists and is not read-only.
TARN_API bool writablefile(const char* name);

// ---- Long-path wrappers ----
//
// Each makes the system's 8-bit call first; only when that fails does it retry with the wide
// call on the extended-length form of the name (UNCFileName), converting any text it returns.
// Failure values are those of the system calls.

// The extended-length form of a path: \\?\C:\x for C:\x, \\?\UNC\server\share\x for
// \\server\share\x; empty for a null path. The prefix is added whatever the path is.
class UNCFileName : public str {
public:
    TARN_API UNCFileName(const char* path);
};

// An owned wide (UTF-16) text converted from 8-bit text in the system's code page; the block
// comes from the runtime's calloc and goes back through operator delete.
class UNICODE_Str {
public:
    WCHAR* p;

    // At least `minChars` characters of room, zero-filled behind the text.
    TARN_API UNICODE_Str(const char* text, int minChars);
    TARN_API UNICODE_Str(const char* text);
    TARN_API ~UNICODE_Str();
    UNICODE_Str(const UNICODE_Str&) = delete;
    UNICODE_Str& operator=(const UNICODE_Str&) = delete;

    // Replaces the text with the conversion of `text` and returns it.
    TARN_API const WCHAR* operator()(const char* text);
    operator const WCHAR*() const { return p; }
};

// Attributes of a file or directory, or 0xFFFFFFFF (also, without a system call, for a null or
// empty name). When both calls fail the wide call's error stands, unless that is 0 or 120: then
// the 8-bit call's error, or 2 when that was 0.
TARN_API unsigned long UNI_GetFileAttributes(const char* name);
// These leave the wide call's error when both calls fail.
TARN_API bool UNI_DeleteFile(const char* name);
TARN_API bool UNI_CreateDirectory(const char* name, _SECURITY_ATTRIBUTES* security = nullptr);
// A search handle (void*: the system's HANDLE) or the invalid handle value. Names of 260 bytes
// or more in the 8-bit code page are given by their short name.
TARN_API void* UNI_FindFirstFile(const char* pattern, _WIN32_FIND_DATAA* data);
TARN_API bool UNI_FindNextFile(void* search, _WIN32_FIND_DATAA* data);
// Creates every missing directory of `path`, the deepest missing one found first and the
// levels then made from the top down. False when nothing was missing or a level failed.
TARN_API bool CreateDirectories(const char* path, _SECURITY_ATTRIBUTES* security = nullptr);

// As the system's full-path query (characters written, or the size needed, or 0); a full path
// beyond the 8-bit call's limit comes back without the extended-length prefix. The 8-bit call's
// error is restored when both calls fail.
TARN_API unsigned long UNI_GetFullPathName(const char* name, unsigned long size, char* buffer,
                                           char** filePart);
// The full path of `name` into `fullName`; its length, or 0 with an empty string.
TARN_API unsigned long UNI_GetFullPathName(const char* name, str& fullName);
// As the system's current-directory query; after a retry, the bytes converted with the
// terminator.
TARN_API unsigned long UNI_GetCurrentDirectory(unsigned long size, char* buffer);
