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
// - Every system call of the POSIX side goes through one table (platform/posix/syscalls.h),
//   so that tests can make the Nth call of a kind fail with a chosen errno.
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
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#else  // POSIX

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

// Re-entrant critical sections (a recursive mutex). Leave must come from the owning thread.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
TARN_SYSAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section);
TARN_SYSAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);

// The kernel's thread id (gettid) and process id.
TARN_SYSAPI DWORD WINAPI GetCurrentThreadId();
TARN_SYSAPI DWORD WINAPI GetCurrentProcessId();

// The window table: windows are made by the system layer's test seam (platform/testing.h);
// the library only reads them. A destroyed window's handle is not reused soon, so it answers
// as invalid (IsWindow FALSE, last error 1400 from the others); destroying a window destroys
// its children. SendMessageA answers WM_GETTEXTLENGTH (the length), WM_GETTEXT (wParam: the
// buffer size; copies at most size - 1 characters and the terminator, returns the count) and
// WM_SETTEXT (a null text empties; returns TRUE). GetWindowTextA is WM_GETTEXT. GetDlgItem
// finds the first direct child with that id (null and 1421 when there is none).
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
TARN_SYSAPI LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
TARN_SYSAPI int WINAPI GetWindowTextA(HWND window, LPSTR out, int outSize);
TARN_SYSAPI HWND WINAPI GetDlgItem(HWND dialog, int item);
TARN_SYSAPI BOOL WINAPI IsWindow(HWND window);

// Message boxes: without a window system, MessageBoxA writes the caption ("Error" when null)
// and the text to standard error and answers IDOK; GetActiveWindow answers null.
#define MB_OK 0x00000000
#define MB_ICONEXCLAMATION 0x00000030
#define MB_SYSTEMMODAL 0x00001000
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
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];  // [0] 0 read / 1 write, [1] address
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
}

#endif  // POSIX
