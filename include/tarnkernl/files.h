// Files and paths: path names split, joined and derived as 8-bit text with the backslash as the
// only separator, the file-system wrappers that retry on the extended-length ("\\?\") name, the
// file handle, the disk-or-memory file, zones stored inside files, safe rewriting and the waiter.
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

// ---- File handle ----

// The owner of a system file handle (void*: the system's HANDLE). Every member keeps the system
// error of its last call in `lastError` and leaves the thread's last error as the call left it.
class TFileHandle {
public:
    void* handle;        // InvalidHandle() when closed; a null handle counts as open
    uint32_t lastError;  // the system error code of the last operation, 0 for none
    bool owned;          // opened by this object, which closes it

    static void* InvalidHandle() { return reinterpret_cast<void*>(~uintptr_t{0}); }

    explicit TFileHandle(void* handle = InvalidHandle(), bool owned = false)
        : handle(handle), lastError(0), owned(owned) {}
    ~TFileHandle() { close(); }
    TFileHandle(const TFileHandle&) = delete;
    TFileHandle& operator=(const TFileHandle&) = delete;

    bool IsOpen() const { return handle != InvalidHandle(); }

    // Mode 0 (or GENERIC_READ) reads, sharing reading and writing; 1 (GENERIC_WRITE) writes and
    // 2 (both) reads and writes, sharing reading only; 0x1000 is creat(name); any other mode
    // fails and leaves the open handle as it is. `disposition` as the system's (3: an existing
    // file only, which fails with 2 without a system call when there is none). A failing 8-bit
    // name is retried in its extended-length form; an existing file whose long name cannot be
    // opened without a reason reports 111.
    TARN_API bool open(const char* name, int mode, unsigned long disposition);
    // A new, empty file for writing (an existing one is replaced); missing directories are made.
    TARN_API bool creat(const char* name);
    // False only when an owned handle failed to close; the handle is invalid afterwards.
    TARN_API bool close();
    // Bytes read or written (0 for a null buffer); a short count leaves the reason in lastError.
    TARN_API unsigned long read(void* buffer, unsigned long count);
    TARN_API unsigned long write(const void* buffer, unsigned long count);
    // The next byte as 0 to 255, or -1.
    int getc() {
        unsigned char c;
        return read(&c, 1) == 1 ? c : -1;
    }
    // Cuts or extends the file to `size` bytes.
    TARN_API bool ChSize(long size);
    // The low 32 bits of the size.
    TARN_API unsigned long size();
    // The new position (method 0 from the start, 1 from the current position, 2 from the end),
    // or -1.
    TARN_API long seek(long offset, int method);
    long tell() { return seek(0, 1); }
    // Closes the current handle and takes `handle` with or without ownership.
    void attach(void* newHandle, bool owns) {
        close();
        lastError = 0;
        handle = newHandle;
        owned = owns;
    }
};

static_assert(sizeof(void*) != 4 || sizeof(TFileHandle) == 12, "the 32-bit layout");

// Writes `text` with every line feed turned into CR LF; the result is the number of bytes that
// were to be written, whatever the writes achieved (-1 when the text cannot be read).
TARN_API int fputs(const char* text, TFileHandle& file);
// fputs of the one-character text `c` (a zero writes nothing); returns `c`.
TARN_API int fputc(int c, TFileHandle& file);
// The formatted text as it is (no line-end translation); the result is what write returned.
TARN_API int fprintf(TFileHandle& file, const char* format, ...) TARN_PRINTF(2, 3);

// A writer for a file named by a wide text that takes nothing from the heap: the file is made
// anew (shared for reading) and closed by the destructor.
class StaticFileHandle {
public:
    void* handle;

    TARN_API explicit StaticFileHandle(const WCHAR* name);
    TARN_API ~StaticFileHandle();
    StaticFileHandle(const StaticFileHandle&) = delete;
    StaticFileHandle& operator=(const StaticFileHandle&) = delete;

    // Non-zero when all `size` bytes were written; 0 for a null handle.
    TARN_API int fWriteData(const void* data, unsigned int size);
};

// ---- Buffered file ----

// A file on disk or in memory. While `handle` is open, reading, writing and seeking go straight
// to it; while it is closed they work on the memory image, which capture fills and writing
// grows (to twice its capacity plus the request). close writes the image to a handle opened
// meanwhile. The image block comes from the runtime's calloc/realloc and goes back through
// operator delete. Packed: Zone extends it and client modules compile its inline members.
#pragma pack(push, 1)
class File {
public:
    uint8_t keepHandle;  // non-zero: the destructor leaves the handle slot alone
    uint8_t ownsImage;   // the image belongs to this file
    char* image;
    uint32_t length;    // valid bytes of the image
    uint32_t pos;       // position in the image
    uint32_t capacity;  // size of the image block
    TFileHandle handle;

    // `h` is attached without ownership; the invalid handle gives a file in memory mode.
    explicit File(void* h = TFileHandle::InvalidHandle())
        : keepHandle(0),
          ownsImage(0),
          image(nullptr),
          length(0),
          pos(0),
          capacity(0),
          handle(h, false) {}
    TARN_API ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // The whole file into the image; the file is then in memory mode at position 0. A failed
    // read leaves its error as the thread's last error.
    TARN_API bool capture(const char* name);
    // `size` bytes from the current position of `from` (-1: up to its end) into the image.
    TARN_API bool capture(TFileHandle& from, long size);
    // Writes the image to the open handle and closes it; false when the handle was not open, a
    // write was short or closing failed. The image stays.
    TARN_API bool close();
    TARN_API unsigned int read(void* buffer, unsigned int count);
    // In memory mode a failed growth writes only what fits before the end of the image.
    TARN_API unsigned int write(const void* data, unsigned int count);
    long seekset(long offset) { return seek(offset, 0); }
    long seekcur(long offset) { return seek(offset, 1); }
    // To `offset` bytes before the end (0: the end).
    long seekend(long offset) { return seek(offset, 2); }
    long tell() { return seek(0, 1); }
    // The text as it is (no line-end translation).
    TARN_API long puts(const char* text);
    // One line of the image (whatever the handle's state): its characters and all the CR, LF
    // and zero bytes that follow them, so empty lines join the line before. The buffer form
    // stores at most size - 1 of them and a terminator. Null at the end of the image.
    TARN_API char* gets(char* buffer, int size);
    TARN_API const char* gets(str& line);

protected:
    // Method 0 from the start, 1 from the current position, 2 back from the end.
    TARN_API long seek(long offset, int method);
};
#pragma pack(pop)

static_assert(sizeof(void*) != 4 ||
                  (sizeof(File) == 30 && offsetof(File, image) == 2 &&
                   offsetof(File, capacity) == 14 && offsetof(File, handle) == 18),
              "the 32-bit layout");

// Formatted text written to the file as it is; the result is what write returned, -1 for a
// null file.
TARN_API int vfprintf(File* file, const char* format, va_list args) TARN_PRINTF(2, 0);
TARN_API int fprintf(File* file, const char* format, ...) TARN_PRINTF(2, 3);
TARN_API int fprintf(File& file, const char* format, ...) TARN_PRINTF(2, 3);
TARN_API int vfprintf(File& file, const char* format, va_list args) TARN_PRINTF(2, 0);

// ---- Zones and stored strings ----
//
// A zone is a named, tagged block stored as one record inside a parent file, little-endian:
// two zero bytes, the name as a stored string, the 16-bit tag, the 32-bit data length N, the N
// data bytes, two zero bytes. A stored string is a 16-bit length that counts the terminator,
// then the characters and the terminator; a stored size is two bytes.

#pragma pack(push, 1)
class Zone : public File {
public:
    File* parent;  // not owned
    str name;
    uint16_t tag;

    Zone() : parent(nullptr), tag(0) {}

    // Starts an empty zone for `parent`, which is not touched.
    TARN_API bool create(File* parent, const char* name);
    // Appends the record with the low 16 bits of `tag` at the parent's position; false when
    // there is no parent or a write was short. The image stays.
    TARN_API bool close(int tag);
    // Reads the record at the parent's position into the zone (a null `name` accepts any name);
    // the parent then stands after it. A record cut short, with markers that are not zero, a
    // name without its terminator, a tag of 0x8000 or more, or data beyond the parent's end is
    // refused and the parent keeps its position.
    TARN_API bool open(File* parent, const char* name);
};
#pragma pack(pop)

static_assert(sizeof(void*) != 4 || sizeof(Zone) == 40, "the 32-bit layout");

// A text of 32767 characters or more cannot be stored: false, and nothing is written.
TARN_API bool Save(const char* text, File* file);
// A stored length of 0 leaves `text` as it was; a stored text must end with its terminator.
TARN_API bool Load(str& text, File* file);
TARN_API bool SaveSizer(unsigned short size, File* file);
TARN_API bool LoadSizer(unsigned short& size, File* file);

// ---- Safe rewrite ----

namespace tarn {
// Moves `from` to `to`, replacing a file of that name.
TARN_API bool MoveFileOver(const char* from, const char* to);
// Whether the system says that nothing of that name is there (false also when it cannot say).
TARN_API bool SurelyMissing(const char* name);
}  // namespace tarn

// Protects a file that is about to be rewritten: the constructor moves it aside to the backup
// name (the file's name with `backupExt`, which replaces its extension when it begins with a
// dot: settings.ini with .bak gives settings.bak), replacing an older backup. Failures are left
// in `errorText` for the caller to show; an empty `backupName` means there is no backup. A file
// that does not exist yet is no error: nothing is moved.
//
// After a successful rewrite call Commit(); otherwise the destructor (or Restore()) puts the
// backup back under the file's name, replacing what the failed rewrite left.
class RestoreFileIfError {
public:
    str backupName;
    str fileExt;  // the protected file's extension, from its dot
    str errorText;

    TARN_API RestoreFileIfError(const char* file, const char* backupExt);
    ~RestoreFileIfError() { Restore(); }
    RestoreFileIfError(const RestoreFileIfError&) = delete;
    RestoreFileIfError& operator=(const RestoreFileIfError&) = delete;

    // Whether there is a backup to restore (none after Commit, a restore or a failed start). A
    // file that could not be moved aside has none: what lies under the backup name is older
    // than the file, and must not replace it.
    bool HasBackup() const {
        return backupName.p && *backupName.p && !(errorText.p && *errorText.p);
    }
    // The protected file's name: the backup's name with the file's own extension again.
    str FileName() const {
        str name(backupName.p, GetExtPointPos(backupName.p));
        name.Append(fileExt.p);
        return name;
    }
    // The rewrite succeeded: the backup is removed (or kept with `keepBackup`) and nothing is
    // restored any more.
    void Commit(bool keepBackup = false) {
        if (HasBackup() && !keepBackup && existfile(backupName))
            UNI_DeleteFile(backupName);
        backupName.Clear();
    }
    // The rewrite failed: the backup, when there is one, replaces the file. True when it was
    // put back or there was none to put back.
    bool Restore() {
        if (!HasBackup())
            return true;
        // A backup the system cannot answer for is put back all the same.
        bool restored =
            tarn::MoveFileOver(backupName, FileName()) || tarn::SurelyMissing(backupName);
        if (restored)
            backupName.Clear();
        return restored;
    }
};

static_assert(sizeof(void*) != 4 || sizeof(RestoreFileIfError) == 12, "the 32-bit layout");

// ---- Waiter thread ----

// Returns at once; a thread with a 64 KiB stack waits until `object` is signalled, posts the
// message to `window` and closes `object`, which belongs to that thread from the call on.
TARN_API void WaitNotifyAndCloseHandle(void* object, HWND window, unsigned int message,
                                       unsigned int wParam, long lParam);
