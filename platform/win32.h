// The one way from the library to the system: the Win32 subset that tarnkernl uses.
//
// Contract
// - On Windows this header includes <windows.h> and the C runtime headers; the library calls
//   the real KERNEL32/USER32 and the C runtime.
// - Elsewhere it declares the same subset, implemented with Win32 semantics in platform/posix/
//   and linked into tarnrt, so that there is exactly one window table, handle table and
//   last-error slot per process, whichever module calls.
// - Kept on POSIX: per-thread GetLastError/SetLastError holding Win32 codes (2 file not found,
//   3 path not found, 5 access denied, 8 not enough memory, 87 invalid parameter, 122
//   insufficient buffer, 1400 invalid window handle...), mapped from errno where the system
//   gave one; FormatMessageA from the system table in our own short English wording; UTF-8 as
//   the ANSI code page with MultiByteToWideChar/WideCharToMultiByte converting to and from
//   UTF-16 under the rules Windows applies to CP_UTF8; re-entrant critical sections;
//   IsBadReadPtr/IsBadStringPtrA answered by touching the memory under the fault translator;
//   a minimal in-process window table (text, parent, child id).
// - Dropped on POSIX: share modes, drive letters (ordinary text), window classes, painting,
//   other code pages, message languages (every language gets the English text) and every
//   message a window table need not answer (SendMessageA answers 0 to them, as a static
//   control does).
// - The system calls of the POSIX side go through one table (platform/posix/syscalls.h),
//   so that tests can make the Nth call of a kind fail with a chosen errno. That header names
//   the few that stay outside and why (the fault path's own, those no caller can report).
// - Paths the library sees or returns use '\'; the POSIX side turns them to '/' at the system.
// - Faults: SIGSEGV/SIGBUS, SIGFPE, SIGILL, SIGTRAP and stack overflow reach the thread's
//   translator (tarnrt.h) as the Windows exception codes below, with an EXCEPTION_RECORD and
//   a CONTEXT of the faulting thread.
// - Errors: a failing function returns what its Windows namesake returns (FALSE, 0, null,
//   INVALID_HANDLE_VALUE) and sets the thread's last error.
#pragma once

#include "tarnkernl/api.h"

#if defined(_WIN32)

#include <windows.h>
#include <malloc.h>
#include <process.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TARN_STATIC_TLS

#else  // POSIX

// A thread-local of a module loaded with the program, read as plain memory: no call into the
// loader (which may allocate or take its lock), also inside a fault handler.
#define TARN_STATIC_TLS __attribute__((tls_model("initial-exec")))

#include <pthread.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TARN_SYSAPI extern "C" TARNRT_API
#define WINAPI

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef unsigned int UINT;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef void* HANDLE;
typedef HINSTANCE HMODULE;
typedef char CHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef BOOL* LPBOOL;
typedef void* LPVOID;
typedef const void* LPCVOID;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define MAX_PATH 260

// Error codes held by GetLastError.
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_TOO_MANY_OPEN_FILES 4
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NOT_SAME_DEVICE 17
#define ERROR_NO_MORE_FILES 18
#define ERROR_WRITE_PROTECT 19
#define ERROR_NOT_READY 21
#define ERROR_GEN_FAILURE 31
#define ERROR_SHARING_VIOLATION 32
#define ERROR_LOCK_VIOLATION 33
#define ERROR_HANDLE_EOF 38
#define ERROR_NOT_SUPPORTED 50
#define ERROR_FILE_EXISTS 80
#define ERROR_INVALID_PARAMETER 87
#define ERROR_BROKEN_PIPE 109
#define ERROR_OPEN_FAILED 110
#define ERROR_BUFFER_OVERFLOW 111
#define ERROR_DISK_FULL 112
#define ERROR_CALL_NOT_IMPLEMENTED 120
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_NAME 123
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_DIR_NOT_EMPTY 145
#define ERROR_BUSY 170
#define ERROR_ALREADY_EXISTS 183
#define ERROR_FILENAME_EXCED_RANGE 206
#define ERROR_FILE_TOO_LARGE 223
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_DIRECTORY 267
#define ERROR_NOACCESS 998
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_IO_DEVICE 1117
#define ERROR_TOO_MANY_LINKS 1142
#define ERROR_INVALID_WINDOW_HANDLE 1400
#define ERROR_CONTROL_ID_NOT_FOUND 1421
#define ERROR_TIMEOUT 1460
#define ERROR_CANT_RESOLVE_FILENAME 1921

TARN_SYSAPI DWORD WINAPI GetLastError();
TARN_SYSAPI void WINAPI SetLastError(DWORD code);

#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))

// Only FORMAT_MESSAGE_FROM_SYSTEM (with or without IGNORE_INSERTS) is served: the message for
// `messageId` followed by "\r\n", copied with its terminator into `buffer` of `size`
// characters. The texts carry no inserts. Returns the number of characters stored (without
// terminator), or 0 with the last error set: 317 for an unknown code, 122 when the buffer is
// too small, 87 for a null buffer or a request without FROM_SYSTEM, 50 for the other flags.
TARN_SYSAPI DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                        DWORD languageId, LPSTR buffer, DWORD size,
                                        va_list* arguments);
#define ERROR_MR_MID_NOT_FOUND 317

// Readability probes: TRUE when some byte in the range cannot be read. A null pointer with a
// non-zero size is bad; a size of zero is never bad (as on Windows).
TARN_SYSAPI BOOL WINAPI IsBadReadPtr(const void* p, UINT_PTR size);
TARN_SYSAPI BOOL WINAPI IsBadStringPtrA(LPCSTR text, UINT_PTR maxChars);

// Code pages: 0 (CP_ACP), 1 (CP_OEMCP), 3 (CP_THREAD_ACP) and 65001 (CP_UTF8) all mean UTF-8
// here, with Windows' CP_UTF8 rules; another code page fails with ERROR_INVALID_PARAMETER.
// A negative length converts up to and including the terminator; an explicit length converts
// exactly that many units (no terminator is added). An output size of 0 asks for the needed
// size. Returns the units stored (or needed), or 0 with the last error set: 122 when the
// output is too small, 87 for a null text, a zero length, a negative size, a null output with
// a size, or (WideCharToMultiByte) a default character or usedDefault flag, 1004 for flags
// other than the ..._ERR_INVALID_CHARS one. Ill-formed input is replaced with U+FFFD, one per
// invalid part as Windows cuts it; with the ..._ERR_INVALID_CHARS flag the call fails with
// ERROR_NO_UNICODE_TRANSLATION instead.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
TARN_SYSAPI int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length,
                                           LPWSTR out, int outSize);
TARN_SYSAPI int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length,
                                           LPSTR out, int outSize, LPCSTR defaultChar,
                                           LPBOOL usedDefault);

// INI files (profile functions), with the Windows rules:
// - Lines end with CR LF, LF or CR; a file is written back with CR LF after every line. A file
//   that begins with the UTF-16LE or the UTF-8 byte-order mark is read as such and keeps its
//   form when written; any other file is in the ANSI code page (UTF-8). The ...A functions give
//   UTF-8 whatever the file's form.
// - "[name]" begins a section; ';' begins a comment line; "key=value" is an entry (split at the
//   first '='). Names compare without regard to case (ASCII letters only), blanks and tabs
//   around names and values do not count, and a value enclosed in a matching pair of double
//   or single quotes loses them. Of sections or keys of the same name the first one counts.
// - A read copies at most size - 1 characters and the zero and returns the count. A null
//   section lists the section names, a null key the keys of the section (or gives the default
//   when it has none): each name ends with a zero and the list with another; a list that does
//   not fit with its final zero and one character to spare is cut to size - 2 characters and
//   two zeros, and the answer is size - 2. An absent key gives the default, less its trailing
//   blanks (a lone blank stays) and its quotes; a null default is the empty text. A file that
//   cannot be read counts as empty.
// - A write changes only its key's line, keeping the key as the file spells it, and every
//   other line (comments, blank lines, lines without '='); a new key goes after the last
//   non-blank line of its section, a new section at the end of the file. A null value removes
//   the key; a null key removes the section with all its lines; removing what is absent
//   succeeds and leaves the file as it was. The new text goes to a temporary file in the same
//   directory, renamed over the old one, so a reader never sees a part of it. A read-only file
//   is refused with ERROR_ACCESS_DENIED; a missing directory gives ERROR_PATH_NOT_FOUND.
// - Every call reads the file afresh; writes within the process are serialised, other
//   processes are not locked out.
// - A null file name means "win.ini"; a name without a directory is a file of the current
//   directory (Windows takes its Windows directory): the library always passes a full path.
// GetPrivateProfileIntA: the value read as a decimal number ("-5", "+7"), or hexadecimal after
// "0x"; digits stop at the first other character; an absent or empty value gives the default.
// GetPrivateProfileSectionA: the section's lines as "key=value" (trimmed, quotes kept) and its
// other lines except comments and blank ones, as a list.
TARN_SYSAPI DWORD WINAPI GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                                                  LPSTR out, DWORD size, LPCSTR fileName);
TARN_SYSAPI DWORD WINAPI GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key,
                                                  LPCWSTR defaultValue, LPWSTR out, DWORD size,
                                                  LPCWSTR fileName);
TARN_SYSAPI BOOL WINAPI WritePrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR value,
                                                   LPCSTR fileName);
TARN_SYSAPI BOOL WINAPI WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value,
                                                   LPCWSTR fileName);
TARN_SYSAPI UINT WINAPI GetPrivateProfileIntA(LPCSTR section, LPCSTR key, int defaultValue,
                                              LPCSTR fileName);
TARN_SYSAPI DWORD WINAPI GetPrivateProfileSectionA(LPCSTR section, LPSTR out, DWORD size,
                                                   LPCSTR fileName);

// Re-entrant critical sections. Leave must come from the owning thread. A thread that finds
// the section taken spins for up to the spin count before it sleeps, as on Windows. A zeroed
// section is a valid one without spinning.
struct CRITICAL_SECTION {
    uint32_t state;      // 0 free, 1 taken, 2 taken with sleepers, 3 free with sleepers
    uint32_t recursion;  // entries of the owner
    uintptr_t owner;     // the owning thread, 0 when free
    uint32_t spinCount;
    uint32_t spinning;  // 1 while a thread spins for the section
    uint32_t passed;    // leaves that let the sleepers sleep on since one was last woken
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
TARN_SYSAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section,
                                                              DWORD spinCount);
TARN_SYSAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

// Thread slots: 64 per process. A slot handed out again answers null in every thread until the
// thread sets it; TlsGetValue clears the last error when it succeeds, as on Windows.
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu
TARN_SYSAPI DWORD WINAPI TlsAlloc();
TARN_SYSAPI BOOL WINAPI TlsFree(DWORD slot);
TARN_SYSAPI LPVOID WINAPI TlsGetValue(DWORD slot);
TARN_SYSAPI BOOL WINAPI TlsSetValue(DWORD slot, LPVOID value);

// The kernel's thread id (gettid) and process id.
TARN_SYSAPI DWORD WINAPI GetCurrentThreadId();
TARN_SYSAPI DWORD WINAPI GetCurrentProcessId();
// Gives the rest of the calling thread's time slice to another thread ready to run; FALSE when
// none was (the system does not say, on POSIX, and the answer is always TRUE).
TARN_SYSAPI BOOL WINAPI SwitchToThread();

// The window table: windows are made by the system layer's test seam (platform/testing.h);
// the library only reads them. A destroyed window's handle is not reused soon, so it answers
// as invalid (IsWindow FALSE, last error 1400 from the others); destroying a window destroys
// its children. SendMessageA answers WM_GETTEXTLENGTH (the length), WM_GETTEXT (wParam: the
// buffer size; copies at most size - 1 characters and the terminator, returns the count) and
// WM_SETTEXT (a null text empties; returns TRUE). GetWindowTextA is WM_GETTEXT. GetDlgItem
// finds the first direct child with that id (null and 1421 when there is none).
// A window made as a combo box (CreateComboForTesting) also holds a list of items and a
// selection: CB_ADDSTRING appends an item (its index), CB_SETCURSEL selects one (-1: none;
// the index, or CB_ERR when there is no such item), CB_GETCURSEL answers the selection or
// CB_ERR, CB_GETLBTEXTLEN and CB_GETLBTEXT the length and the text (copied whole with its
// terminator) of an item, CB_ERR for an index without item.
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define CB_ADDSTRING 0x0143
#define CB_GETCURSEL 0x0147
#define CB_GETLBTEXT 0x0148
#define CB_GETLBTEXTLEN 0x0149
#define CB_SETCURSEL 0x014E
#define CB_ERR (-1)
TARN_SYSAPI LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TARN_SYSAPI int WINAPI GetWindowTextA(HWND window, LPSTR out, int outSize);
TARN_SYSAPI HWND WINAPI GetDlgItem(HWND dialog, int item);
TARN_SYSAPI BOOL WINAPI IsWindow(HWND window);

// Message boxes: without a window system, MessageBoxA writes the caption ("Error" when null)
// and the text to standard error and answers IDOK; GetActiveWindow answers null.
#define MB_OK 0x00000000
#define MB_ICONEXCLAMATION 0x00000030
#define MB_SYSTEMMODAL 0x00001000
#define MB_TASKMODAL 0x00002000
#define IDOK 1
TARN_SYSAPI int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT style);
TARN_SYSAPI HWND WINAPI GetActiveWindow();

// Fault records, as the translator receives them.
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_BREAKPOINT 0x80000003u
#define EXCEPTION_SINGLE_STEP 0x80000004u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u
#define EXCEPTION_INT_OVERFLOW 0xC0000095u
#define EXCEPTION_FLT_DENORMAL_OPERAND 0xC000008Du
#define EXCEPTION_FLT_DIVIDE_BY_ZERO 0xC000008Eu
#define EXCEPTION_FLT_INEXACT_RESULT 0xC000008Fu
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u
#define EXCEPTION_FLT_OVERFLOW 0xC0000091u
#define EXCEPTION_FLT_STACK_CHECK 0xC0000092u
#define EXCEPTION_FLT_UNDERFLOW 0xC0000093u
#define EXCEPTION_PRIV_INSTRUCTION 0xC0000096u
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u
#define EXCEPTION_STACK_OVERFLOW 0xC00000FDu
#define EXCEPTION_MAXIMUM_PARAMETERS 15

struct EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    EXCEPTION_RECORD* ExceptionRecord;
    void* ExceptionAddress;
    DWORD NumberParameters;
    // An access violation's [0] is 0 for a read, 1 for a write; [1] is the address.
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};

// The registers of the faulting thread, named as the Windows CONTEXT of the same processor.
#if defined(__x86_64__)
typedef uint64_t DWORD64;
struct CONTEXT {
    DWORD64 Rax, Rcx, Rdx, Rbx, Rsp, Rbp, Rsi, Rdi;
    DWORD64 R8, R9, R10, R11, R12, R13, R14, R15;
    DWORD64 Rip;
    DWORD EFlags;
};
#else
struct CONTEXT {
    DWORD Edi, Esi, Ebx, Edx, Ecx, Eax;
    DWORD Ebp, Eip, Esp;
    DWORD EFlags;
};
#endif

struct _EXCEPTION_POINTERS {
    EXCEPTION_RECORD* ExceptionRecord;
    CONTEXT* ContextRecord;
};
typedef _EXCEPTION_POINTERS EXCEPTION_POINTERS;

// ---- Files, directories, searches, full paths, modules, time, the command line ----
//
// Paths: every path passed in or given back uses '\'. A leading "\\?\" marks a full path: it
// is dropped, what follows is taken from the root ("\\?\tmp\x" is "\tmp\x"), and
// "\\?\UNC\server\share" is read as "\\server\share"; '\' becomes '/' at the system and '/'
// becomes '\' in names given back (module names, full paths, the current directory, find data).
// Drive letters are ordinary text. The ...W functions take UTF-16 and behave as their 8-bit
// namesakes on the UTF-8 text. A path must fit the system's limit (PATH_MAX bytes in UTF-8),
// else ERROR_FILENAME_EXCED_RANGE; a null or empty path gives ERROR_PATH_NOT_FOUND.
// A missing name gives ERROR_PATH_NOT_FOUND when a directory above it is missing, else
// ERROR_FILE_NOT_FOUND.
// Attributes: FILE_ATTRIBUTE_DIRECTORY for a directory, FILE_ATTRIBUTE_READONLY when the owner
// may not write (the only attribute stored; it is kept even against the superuser: a read-only
// file is neither opened for writing, truncated nor deleted), FILE_ATTRIBUTE_NORMAL when
// neither applies. Names beginning with '.' are not hidden. Share modes are accepted and not
// enforced. File times: the creation time is the time of the last status change.

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_WRITE_THROUGH 0x80000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002

typedef DWORD* LPDWORD;
typedef LONG* PLONG;

// File times: 100-nanosecond intervals since 1601-01-01 00:00 UTC.
typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

// Accepted for the signatures' sake; nothing of it is used.
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// Overlapped input and output is not offered: the parameter must be null.
struct _OVERLAPPED;
typedef _OVERLAPPED* LPOVERLAPPED;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;  // the device number
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;  // the inode number
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// Find data: cAlternateFileName (the short name) is always empty.
typedef struct _WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;

// Handles: pointer-sized values of the process's handle table, multiples of four, never null
// and never INVALID_HANDLE_VALUE. A closed handle is not given out again, so it answers
// ERROR_INVALID_HANDLE, as does a handle of the wrong kind (a search handle is closed with
// FindClose, every other one with CloseHandle). Process handles are the exception to the
// numbering: their value is the number of the process descriptor they hold. A handle closed
// while another thread still uses it keeps its file open until that call returns. GetCurrentProcess
// is the pseudo-handle (HANDLE)-1; closing it succeeds and does nothing.
TARN_SYSAPI BOOL WINAPI CloseHandle(HANDLE handle);
TARN_SYSAPI HANDLE WINAPI GetCurrentProcess();

// Dispositions and last errors as on Windows: success sets ERROR_SUCCESS, or
// ERROR_ALREADY_EXISTS when CREATE_ALWAYS or OPEN_ALWAYS found the file; CREATE_NEW on an
// existing name fails with ERROR_FILE_EXISTS. TRUNCATE_EXISTING needs GENERIC_WRITE, and a
// directory opens only with FILE_FLAG_BACKUP_SEMANTICS and never for writing; both are
// refused with ERROR_ACCESS_DENIED. FILE_ATTRIBUTE_READONLY on a new file makes it read-only
// (the new handle may still write). The other flags and attributes are accepted and ignored.
TARN_SYSAPI HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flagsAndAttributes, HANDLE templateFile);
TARN_SYSAPI HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                      DWORD flagsAndAttributes, HANDLE templateFile);
// Reads until `count` bytes or the end of the file; TRUE with 0 bytes at the end. A handle
// opened without read (write) access fails with ERROR_ACCESS_DENIED.
TARN_SYSAPI BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                                 LPOVERLAPPED overlapped);
TARN_SYSAPI BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                                  LPOVERLAPPED overlapped);
// With `high` the distance is the 64-bit value high:distance and `high` receives the new
// position's high part; without it the distance is the sign-extended 32-bit value. Returns the
// low part of the new position; INVALID_SET_FILE_POINTER with the last error on failure
// (ERROR_NEGATIVE_SEEK before the start), and with ERROR_SUCCESS when that is the low part.
TARN_SYSAPI DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method);
// Cuts or extends the file at the current position.
TARN_SYSAPI BOOL WINAPI SetEndOfFile(HANDLE file);
// The low part of the size (high part into `high`); INVALID_FILE_SIZE with the last error on
// failure, and with ERROR_SUCCESS when that is the low part.
TARN_SYSAPI DWORD WINAPI GetFileSize(HANDLE file, LPDWORD high);
TARN_SYSAPI BOOL WINAPI GetFileInformationByHandle(HANDLE file,
                                                   LPBY_HANDLE_FILE_INFORMATION information);
TARN_SYSAPI BOOL WINAPI GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess,
                                    LPFILETIME lastWrite);
TARN_SYSAPI BOOL WINAPI FlushFileBuffers(HANDLE file);

TARN_SYSAPI BOOL WINAPI DeleteFileA(LPCSTR name);
TARN_SYSAPI BOOL WINAPI DeleteFileW(LPCWSTR name);
// MoveFileA moves a file across file systems by copying (MOVEFILE_COPY_ALLOWED); an existing
// target fails with ERROR_ALREADY_EXISTS unless MoveFileExA has MOVEFILE_REPLACE_EXISTING.
TARN_SYSAPI BOOL WINAPI MoveFileA(LPCSTR from, LPCSTR to);
TARN_SYSAPI BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
// Copies the data, the read-only attribute and the last-write time; an existing target fails
// with ERROR_FILE_EXISTS when `failIfExists`.
TARN_SYSAPI BOOL WINAPI CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
TARN_SYSAPI BOOL WINAPI CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security);
TARN_SYSAPI BOOL WINAPI CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES security);
// A name that is not a directory fails with ERROR_DIRECTORY.
TARN_SYSAPI BOOL WINAPI RemoveDirectoryA(LPCSTR name);
TARN_SYSAPI BOOL WINAPI RemoveDirectoryW(LPCWSTR name);
TARN_SYSAPI DWORD WINAPI GetFileAttributesA(LPCSTR name);
TARN_SYSAPI DWORD WINAPI GetFileAttributesW(LPCWSTR name);
// Only FILE_ATTRIBUTE_READONLY has an effect: it takes the write permissions away, and its
// absence gives the owner write permission back.
TARN_SYSAPI BOOL WINAPI SetFileAttributesA(LPCSTR name, DWORD attributes);

// The old-style file functions, on the system's file descriptors. Share flags are accepted
// and ignored. Failures return HFILE_ERROR with the last error set.
typedef int HFILE;
#define HFILE_ERROR ((HFILE)-1)
#define OF_READ 0x0000
#define OF_WRITE 0x0001
#define OF_READWRITE 0x0002
#define OF_SHARE_COMPAT 0x0000
#define OF_SHARE_EXCLUSIVE 0x0010
#define OF_SHARE_DENY_WRITE 0x0020
#define OF_SHARE_DENY_READ 0x0030
#define OF_SHARE_DENY_NONE 0x0040
// Opens an existing file.
TARN_SYSAPI HFILE WINAPI _lopen(LPCSTR name, int mode);
// Creates or truncates a file for reading and writing; attribute 1 makes a new file read-only.
TARN_SYSAPI HFILE WINAPI _lcreat(LPCSTR name, int attribute);
TARN_SYSAPI UINT WINAPI _lread(HFILE file, LPVOID buffer, UINT count);
// A count of 0 cuts or extends the file at the current position, as on Windows.
TARN_SYSAPI UINT WINAPI _lwrite(HFILE file, LPCSTR buffer, UINT count);
TARN_SYSAPI LONG WINAPI _llseek(HFILE file, LONG offset, int origin);
TARN_SYSAPI HFILE WINAPI _lclose(HFILE file);

// Searches: '*' and '?' in the last component of the pattern ("*.*" and "name.*" also match
// names without a dot, as on Windows), matched case-sensitively. A directory's own "." and
// ".." entries are reported as Windows reports them. No match: ERROR_FILE_NOT_FOUND (the
// directory exists) or ERROR_PATH_NOT_FOUND; the end: ERROR_NO_MORE_FILES.
TARN_SYSAPI HANDLE WINAPI FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
TARN_SYSAPI HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
TARN_SYSAPI BOOL WINAPI FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
TARN_SYSAPI BOOL WINAPI FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW data);
TARN_SYSAPI BOOL WINAPI FindClose(HANDLE search);

// Full paths: a relative name is joined to the current directory; "." and ".." are folded,
// repeated separators made one, a trailing separator kept. When `size` is too small the result
// is the size needed, terminator included, and nothing is written; else the length written.
// `filePart` (when not null) points at the last component, or is null when the path ends with
// a separator. The current directory is given back in the same way.
TARN_SYSAPI DWORD WINAPI GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart);
TARN_SYSAPI DWORD WINAPI GetFullPathNameW(LPCWSTR name, DWORD size, LPWSTR buffer,
                                          LPWSTR* filePart);
TARN_SYSAPI DWORD WINAPI GetCurrentDirectoryA(DWORD size, LPSTR buffer);
TARN_SYSAPI DWORD WINAPI GetCurrentDirectoryW(DWORD size, LPWSTR buffer);
TARN_SYSAPI BOOL WINAPI SetCurrentDirectoryA(LPCSTR name);

// Modules: a module handle is the dynamic loader's handle of a loaded object. GetModuleHandleA
// finds only modules already loaded (null: the executable) and does not count a reference.
// GetModuleFileNameA gives the module's full file name; when it does not fit, size - 1
// characters and the terminator are stored and the result is `size` with
// ERROR_INSUFFICIENT_BUFFER. GetProcAddress finds only the module's own exports (not those of
// the modules it depends on), by name. LoadLibraryA loads with every symbol bound at once;
// failure gives ERROR_MOD_NOT_FOUND. FARPROC comes from tarnkernl/api.h.
#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004
TARN_SYSAPI HMODULE WINAPI GetModuleHandleA(LPCSTR name);
TARN_SYSAPI BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module);
TARN_SYSAPI DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
TARN_SYSAPI DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
TARN_SYSAPI FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
TARN_SYSAPI HMODULE WINAPI LoadLibraryA(LPCSTR name);
TARN_SYSAPI HMODULE WINAPI LoadLibraryW(LPCWSTR name);
TARN_SYSAPI BOOL WINAPI FreeLibrary(HMODULE module);

// Resources. A code module's resources are the compiled resource file (".res") linked into it
// (tarn_resources in the build) and exported as tarnModuleResources; a null module is the
// executable. LoadLibraryExA with LOAD_LIBRARY_AS_DATAFILE reads a resource file whole (a path,
// relative to the current directory) and gives a data module: its handle serves the resource
// functions and FreeLibrary, and nothing else (GetProcAddress finds nothing in it). A damaged
// file is refused with ERROR_BAD_EXE_FORMAT. Types and names are numbers (MAKEINTRESOURCEA),
// "#number" or texts in any letter case; of several languages of one resource the first in
// the file is found. FindResourceA fails with 1812 when the module has no (or damaged)
// resources, 1813 without that type, 1814 without that name. LoadStringA: the string `id` of
// the table of blocks of 16, in UTF-8, cut at a whole character to `size` - 1 bytes and ended
// with a zero; the count stored, 0 (and the empty text) when the string is absent or empty.
typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;
#define MAKEINTRESOURCEA(i) ((LPSTR)(ULONG_PTR)(WORD)(i))
#define IS_INTRESOURCE(p) ((((ULONG_PTR)(p)) >> 16) == 0)
#define RT_MENU MAKEINTRESOURCEA(4)
#define RT_DIALOG MAKEINTRESOURCEA(5)
#define RT_STRING MAKEINTRESOURCEA(6)
#define RT_RCDATA MAKEINTRESOURCEA(10)
#define LOAD_LIBRARY_AS_DATAFILE 0x00000002
#define ERROR_BAD_EXE_FORMAT 193
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814
TARN_SYSAPI HMODULE WINAPI LoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
TARN_SYSAPI HRSRC WINAPI FindResourceA(HMODULE module, LPCSTR name, LPCSTR type);
TARN_SYSAPI HGLOBAL WINAPI LoadResource(HMODULE module, HRSRC resource);
TARN_SYSAPI LPVOID WINAPI LockResource(HGLOBAL resource);
TARN_SYSAPI DWORD WINAPI SizeofResource(HMODULE module, HRSRC resource);
TARN_SYSAPI int WINAPI LoadStringA(HMODULE module, UINT id, LPSTR buffer, int size);

// Time. GetTickCount: milliseconds of the monotonic clock, wrapping at 32 bits. The local time
// and the local file times follow the C library's time zone (and any tool that changes the
// C library's clock). FileTimeToLocalFileTime and LocalFileTimeToFileTime apply the current
// offset from UTC, as Windows does. SYSTEMTIME covers the years 1601 to 30827; the
// conversions fail with ERROR_INVALID_PARAMETER outside it.
TARN_SYSAPI DWORD WINAPI GetTickCount();
TARN_SYSAPI void WINAPI GetLocalTime(LPSYSTEMTIME time);
TARN_SYSAPI void WINAPI GetSystemTime(LPSYSTEMTIME time);
TARN_SYSAPI void WINAPI GetSystemTimeAsFileTime(LPFILETIME time);
TARN_SYSAPI BOOL WINAPI FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME systemTime);
TARN_SYSAPI BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* systemTime, LPFILETIME fileTime);
TARN_SYSAPI BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* fileTime, LPFILETIME localTime);
TARN_SYSAPI BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* localTime, LPFILETIME fileTime);

// The process's command line as one text: the arguments joined with blanks, an argument with a
// blank or tab (or an empty one) in double quotes. Built once; valid for the process's life.
TARN_SYSAPI LPSTR WINAPI GetCommandLineA();

// Processes, threads and events. A process handle stands on a process file descriptor
// (pidfd); an inheritable one (OpenProcess with `inherit`) stays open in a child started with
// inherited handles, and its HANDLE value is then that descriptor's number. CreateProcessA
// runs `application` (a '\' path) with the arguments split from `commandLine` by the Windows
// rules; without an application name the first argument names the program. Only the
// inheritance of handles is honoured among the creation settings. A child started with
// inherited handles while an inheritable handle of this very process with PROCESS_VM_READ is
// open may trace this process, and so may the child's own children: the Yama module
// (ptrace_scope 1) refuses that otherwise, and a dump tool's debugger reads memory that way.
// Waiting: WAIT_OBJECT_0 when the process or thread has ended or the event is set (an
// auto-reset event is then reset), WAIT_TIMEOUT, or WAIT_FAILED with the last error.
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define STILL_ACTIVE 0x00000103u
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_VM_READ 0x0010
#define SYNCHRONIZE 0x00100000
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;
typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;
TARN_SYSAPI HANDLE WINAPI OpenProcess(DWORD access, BOOL inherit, DWORD processId);
TARN_SYSAPI BOOL WINAPI CreateProcessA(LPCSTR application, LPSTR commandLine,
                                       LPSECURITY_ATTRIBUTES processAttributes,
                                       LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                       DWORD creationFlags, LPVOID environment,
                                       LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                       LPPROCESS_INFORMATION processInformation);
TARN_SYSAPI BOOL WINAPI GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
TARN_SYSAPI DWORD WINAPI GetProcessId(HANDLE process);
// Events live in this process only: a named event is refused with ERROR_NOT_SUPPORTED.
TARN_SYSAPI HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                       BOOL initialState, LPCSTR name);
TARN_SYSAPI BOOL WINAPI SetEvent(HANDLE event);
TARN_SYSAPI BOOL WINAPI ResetEvent(HANDLE event);
TARN_SYSAPI DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
// Appends the message to the window's posted-message queue (platform/testing.h reads it).
TARN_SYSAPI BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The C runtime functions that Windows' runtime has and POSIX lacks, with the Windows
// behaviour: _vsnprintf writes at most `count` characters, adds the terminator only when it
// fits and returns -1 when the text was cut; _vscprintf measures.
extern "C" {
TARNRT_API int _vscprintf(const char* format, va_list args);
TARNRT_API int _vsnprintf(char* out, size_t count, const char* format, va_list args);
TARNRT_API int _snprintf(char* out, size_t count, const char* format, ...);
TARNRT_API int _strnicmp(const char* a, const char* b, size_t count);
TARNRT_API int _stricmp(const char* a, const char* b);
TARNRT_API int _wtoi(const WCHAR* text);
// Deletes a file (Windows' C runtime name, on the library's paths): 0, or -1 with errno.
TARNRT_API int _unlink(const char* path);
// Starts a detached thread running start(argument) on a stack of `stackSize` bytes (0: the
// default size; a size below the system's minimum is raised to it). Returns -1 on failure.
TARNRT_API uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* argument);
}

#endif  // POSIX

// The processor's time-stamp counter.
namespace tarn {
inline uint64_t ReadTimeStampCounter() { return __builtin_ia32_rdtsc(); }
}  // namespace tarn
