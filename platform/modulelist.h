// The modules loaded in the process, as the module map of the crash and leak reports lists
// them: path, load address, size and build identifier. One body per system:
// platform/posix/modulelist_posix.cpp, platform/win32/modulelist_win32.cpp.
//
// The list is read while the first crash record is written, which on POSIX happens inside the
// signal handler: the bodies read the loader's own list of modules without its lock, never
// allocate, and give up on a list they find being changed. The caller keeps faults quiet and
// catches them: a module whose headers cannot be read ends the listing, it never crashes it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarn {

struct LoadedModule {
    const char* path;  // the system's own form; valid during the visit only
    uintptr_t base;    // where the image begins in memory (its first header)
    uintptr_t size;    // from `base` to the end of its last segment
    // "elf:" and the GNU build-id note in hexadecimal; "pdb:" and the CodeView GUID and age;
    // "pe:" and the image's time stamp and size (an image without a debug identifier); or ""
    const char* id;
};

typedef void (*ModuleVisitor)(const LoadedModule& module, void* context);

// Calls `visit` for every module of the process, the program first. Returns the number of
// modules visited, or -1 when the loader was changing its list: what was visited may then be
// incomplete.
int ListModules(ModuleVisitor visit, void* context);

// `count` bytes as upper-case hexadecimal digits, two per byte in their order, and a zero:
// 2 * count + 1 characters at `out`. Returns the end of the digits.
inline char* HexDigits(char* out, const unsigned char* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        *out++ = kDigits[bytes[i] >> 4];
        *out++ = kDigits[bytes[i] & 0xF];
    }
    *out = 0;
    return out;
}

}  // namespace tarn
