// Export macros and the few system types that the exported headers name.
// Exported headers never include the system's headers: they declare what they need here.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define TARN_EXPORT __declspec(dllexport)
#define TARN_IMPORT __declspec(dllimport)
#else
#define TARN_EXPORT __attribute__((visibility("default")))
#define TARN_IMPORT __attribute__((visibility("default")))
#endif

// Printf-style checks of a format against its arguments, for the C99 conversions that the
// library formats on every target: GCC names them gnu_printf, clang printf.
#if defined(__clang__)
#define TARN_PRINTF(string, first) __attribute__((format(printf, string, first)))
#else
#define TARN_PRINTF(string, first) __attribute__((format(gnu_printf, string, first)))
#endif

// A function its callers may not look into: they see a call that may throw (a fault inside it)
// whatever its body is. Clang infers nothing about a function it does not optimise.
#if defined(__clang__)
#define TARN_NOIPA __attribute__((noinline, optnone))
#else
#define TARN_NOIPA [[gnu::noipa]]
#endif

// tarnkernl: the library. TARN_BUILDING_LIBRARY is set while it is compiled.
#if defined(TARN_BUILDING_LIBRARY)
#define TARN_API TARN_EXPORT
#else
#define TARN_API TARN_IMPORT
#endif

// A function called on every marked call: on ELF the call goes through the global offset table
// at once, as a call of an imported function does on Windows, not through a stub that jumps there.
#if !defined(_WIN32) && defined(__has_attribute)
#if __has_attribute(noplt)
#define TARN_DIRECT_CALL __attribute__((noplt))
#endif
#endif
#if !defined(TARN_DIRECT_CALL)
#define TARN_DIRECT_CALL
#endif

// tarnrt: the runtime (and, on POSIX, the system layer that stands in for KERNEL32/USER32).
#if defined(TARN_BUILDING_RUNTIME)
#define TARNRT_API TARN_EXPORT
#else
#define TARNRT_API TARN_IMPORT
#endif

// Wide (UTF-16) text: the system's own type on Windows, char16_t elsewhere.
#if defined(_WIN32)
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif

// Handles as the system's STRICT headers spell them, so that both declarations agree.
struct HWND__;
typedef HWND__* HWND;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
struct _EXCEPTION_POINTERS;
// An exported entry of a module, as the system's procedure lookup gives it.
#if defined(_WIN32) && defined(__i386__)
typedef intptr_t(__stdcall* FARPROC)();
#else
typedef intptr_t (*FARPROC)();
#endif

// On 32-bit x86 the variadic arguments of a cdecl call follow its last named parameter in
// memory; only there may a pointer to the format stand for the whole argument list.
#if defined(__i386__) || defined(_M_IX86)
#define TARN_ARGS_FOLLOW_FORMAT 1
#else
#define TARN_ARGS_FOLLOW_FORMAT 0
#endif
