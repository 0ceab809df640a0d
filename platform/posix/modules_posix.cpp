// Modules on POSIX: a module handle is the dynamic loader's handle of a loaded object (its link
// map). Handles from callers are checked against the loader's list before they are used.
#include "platform/posix/modules_posix.h"

#include "platform/callermemory.h"
#include "platform/posix/errors.h"
#include "platform/posix/paths_posix.h"
#include "platform/posix/syscalls.h"

#include <dlfcn.h>
#include <errno.h>

#include <atomic>

namespace tarn::posix {
namespace {

// glibc keeps the message of a failed loader call, in memory of the process's allocator, until
// dlerror has been asked for it twice: a failure of ours leaves no such block behind.
void ForgetLoaderError() {
    dlerror();
    dlerror();
}

}  // namespace

link_map* MainProgram() {
    // The main program is never unloaded, so its handle stays valid and its reference count
    // does not matter.
    static link_map* const main = static_cast<link_map*>(dlopen(nullptr, RTLD_LAZY));
    return main;
}

namespace {

struct ModuleQuery {
    const link_map* first;
    const void* wanted;
    bool loaded = false;
};

// Walks the loader's list while dl_iterate_phdr holds the lock that keeps it from changing.
// Nothing here may call the loader (dlopen takes its locks in the other order).
int WalkLoadedModules(dl_phdr_info*, size_t, void* data) {
    auto* query = static_cast<ModuleQuery*>(data);
    for (const link_map* map = query->first; map; map = map->l_next) {
        if (map == query->wanted) {
            query->loaded = true;
            break;
        }
    }
    return 1;  // the list was walked whole on the first call
}

}  // namespace

link_map* LoadedModule(HMODULE module) {
    ModuleQuery query{MainProgram(), module};
    dl_iterate_phdr(WalkLoadedModules, &query);
    if (!query.loaded) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<link_map*>(module);
}

void* OwnSymbol(link_map* map, const char* name) {
    // dlsym needs a handle the loader gave out: a module loaded with the program has its
    // lookup scope only once it has been opened by name. The opening only counts a reference,
    // given back at once.
    const bool isMain = map == MainProgram();
    void* handle = isMain ? map : dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD);
    // dlsym also searches the modules this one depends on: only a symbol of the module itself
    // is its own.
    void* symbol = handle ? dlsym(handle, name) : nullptr;
    if (!symbol)
        ForgetLoaderError();
    if (handle && !isMain)
        dlclose(handle);
    link_map* owner = nullptr;
    Dl_info info;
    if (!symbol || !dladdr1(symbol, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) ||
        owner != map)
        return nullptr;
    return symbol;
}

namespace {

// The file the kernel started into `out` of PATH_MAX bytes; its length, or 0 with the last error
// set. The first answer is kept, as Windows keeps a module's name from its loading on: the log,
// the INI file and the language files are named after the program, and a later failure of the
// system must not rename them. No lock: a fault report asks for the name in a signal handler.
size_t ProgramFileName(char* out) {
    static char kept[PATH_MAX];
    static std::atomic<size_t> keptLength{0};
    static std::atomic<bool> keeping{false};
    size_t n = keptLength.load(std::memory_order_acquire);
    if (n != 0) {
        CopyBytes(out, kept, n + 1);
        return n;
    }
    const ssize_t read = Sys().readlink("/proc/self/exe", out, PATH_MAX - 1);
    if (read < 0) {
        SetLastErrorFromErrno(errno);
        return 0;
    }
    n = static_cast<size_t>(read);
    out[n] = '\0';
    if (n != 0 && !keeping.exchange(true, std::memory_order_relaxed)) {
        CopyBytes(kept, out, n + 1);
        keptLength.store(n, std::memory_order_release);
    }
    return n;
}

// The module's file name in the system's spelling into `out` of PATH_MAX bytes; its length, or
// 0 with the last error set. The main program's entry has no name: its file is the one the
// kernel started.
size_t ModuleFileName(const link_map* map, char* out) {
    const char* name = map->l_name;
    if (!name || !name[0])
        return ProgramFileName(out);
    size_t n = 0;
    for (; name[n]; ++n) {
        if (n == PATH_MAX - 1) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        out[n] = name[n];
    }
    out[n] = '\0';
    return n;
}

// Windows' rule for a name that does not fit: size - 1 characters and the terminator, the
// result `size` and ERROR_INSUFFICIENT_BUFFER.
template <typename Unit>
DWORD GiveCutText(const Unit* text, size_t length, Unit* buffer, DWORD size) {
    const bool cut = length >= size;
    const size_t count = cut ? (size ? size - 1 : 0) : length;
    CopyBytes(buffer, text, count * sizeof(Unit));
    if (size)
        buffer[count] = 0;
    if (cut) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return static_cast<DWORD>(length);
}

// The module's file name in the library's spelling into `out` of PATH_MAX bytes; its length or
// 0 with the last error set. A null module is the executable.
size_t LibraryModuleName(HMODULE module, char* out) {
    const link_map* map = module ? LoadedModule(module) : MainProgram();
    if (!map)
        return 0;
    const size_t length = ModuleFileName(map, out);
    ToLibrarySeparators(out);
    return length;
}

}  // namespace

// A name with a directory is made a full path first, so that the loader (and
// GetModuleFileNameA) keeps it whole; a bare name is looked up where the loader looks.
HMODULE LoadModule(const char* name) {
    bool hasDirectory = false;
    for (const char* p = name; *p; ++p)
        hasDirectory = hasDirectory || *p == '\\' || *p == '/';
    char full[kFullPathRoom];
    size_t filePart;
    if (hasDirectory && FullPathName(name, full, sizeof full, filePart) == 0)
        return nullptr;
    const SystemPath path(hasDirectory ? full : name);
    if (!path.Valid())
        return nullptr;
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        ForgetLoaderError();
        SetLastError(ERROR_MOD_NOT_FOUND);
    }
    return static_cast<HMODULE>(module);
}

}  // namespace tarn::posix

using namespace tarn::posix;

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (!name)
        return reinterpret_cast<HMODULE>(MainProgram());
    const SystemPath path(name);
    if (!path.Valid())
        return nullptr;
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (!module) {
        ForgetLoaderError();
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    dlclose(module);  // takes back the reference the lookup counted; the module stays loaded
    return static_cast<HMODULE>(module);
}

BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR nameOrAddress, HMODULE* module) {
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    link_map* map = nullptr;
    if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info;
        if (!dladdr1(nameOrAddress, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP))
            map = nullptr;
    } else {
        map = reinterpret_cast<link_map*>(GetModuleHandleA(nameOrAddress));
    }
    if (!map) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // A counted or pinned reference is one more opening of the same object by its name.
    const bool counted = !(flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    if ((counted || (flags & GET_MODULE_HANDLE_EX_FLAG_PIN)) && map->l_name && map->l_name[0]) {
        const int pin = (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) ? RTLD_NODELETE : 0;
        dlopen(map->l_name, RTLD_LAZY | RTLD_NOLOAD | pin);
    }
    *module = reinterpret_cast<HMODULE>(map);
    return TRUE;
}

DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size) {
    char name[PATH_MAX];
    const size_t length = LibraryModuleName(module, name);
    return length ? GiveCutText(name, length, buffer, size) : 0;
}

DWORD WINAPI GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size) {
    char name[PATH_MAX];
    if (LibraryModuleName(module, name) == 0)
        return 0;
    WCHAR wide[PATH_MAX];
    const int units = MultiByteToWideChar(CP_UTF8, 0, name, -1, wide, PATH_MAX);
    return units > 0 ? GiveCutText(wide, static_cast<size_t>(units - 1), buffer, size) : 0;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
    link_map* map = module ? LoadedModule(module) : MainProgram();
    if (!map)
        return nullptr;
    // Numbers below 0x10000 are ordinals, which modules here do not have.
    if (reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = OwnSymbol(map, name);
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

HMODULE WINAPI LoadLibraryA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadModule(name);
}

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    char narrow[kFullPathRoom];
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof narrow, nullptr, nullptr) == 0) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return LoadModule(narrow);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
    if (IsDataModuleHandle(module))
        return FreeDataModule(module);
    if (!LoadedModule(module))
        return FALSE;
    dlclose(module);
    return TRUE;
}
