// Instance discovery: the instances that modules export under numbered names, and the
// kept-module list that holds the modules a directory search found useful.
#include "tarnkernl/modules.h"

#include "log/startorder.h"
#include "modules/directorysearch.h"

#include <new>

namespace tarn {
namespace {

// Module handles; the handle type cannot be deleted, so the vector holds them untyped.
pVector<void*>* gKeptModules;

void ReleaseModule(void** module) { FreeLibrary(static_cast<HINSTANCE>(*module)); }

// Releases the kept modules, the last loaded first, when the library goes.
struct KeptModulesExit {
    ~KeptModulesExit() {
        delete gKeptModules;
        gKeptModules = nullptr;
    }
};
KeptModulesExit gKeptModulesExit TARN_START(KeptModules);

// The seen-module list holds lower-case names, so that one file is seen once however a search
// spells it. The file itself is loaded by the name found, which POSIX file systems need.
void ToLowerCase(char* text) {
    for (; text && *text; ++text) {
        if (*text >= 'A' && *text <= 'Z')
            *text = static_cast<char>(*text - 'A' + 'a');
    }
}

}  // namespace

HINSTANCE LoadKept(const char* directory, const char* file) {
    HINSTANCE module = LoadLibraryA(TFileName(directory, file).p);
    if (!module)
        return nullptr;
    if (!gKeptModules)
        gKeptModules = new (std::nothrow) pVector<void*>(ReleaseModule);
    if (!gKeptModules || !gKeptModules->Append(module)) {
        FreeLibrary(module);
        return nullptr;
    }
    return module;
}

void ReleaseKept(HINSTANCE module) { gKeptModules->DeleteValue(module); }

uint32_t KeptModuleCountForTesting() { return gKeptModules ? gKeptModules->Count() : 0; }

}  // namespace tarn

int _FindInstances(pConstVector<void const*>& result, HINSTANCE module, const char* prefix,
                   long count, InstanceConverter converter) {
    MarkStack mark(TARN_FRAME);
    int found = 0;
    for (long i = 0; i < count; ++i) {
        PrintBuffer<256> name("%s%ld", prefix, i);
        void* entry = reinterpret_cast<void*>(GetProcAddress(module, name.data));
        if (!entry)
            continue;
        const void* instance =
            converter ? converter(entry) : reinterpret_cast<InstanceEntry>(entry)();
        if (result.Append(instance))
            ++found;
    }
    return found;
}

int _FindInstances(pConstVector<void const*>& result, const char* directory, const char* mask,
                   const char* prefix, long count, InstanceConverter converter, Vector<str>* seen) {
    return tarn::SearchDirectory(
        directory, mask,
        [&](HINSTANCE module) { return _FindInstances(result, module, prefix, count, converter); },
        [&](const char* file) {
            if (!seen)
                return true;
            str lower(file);
            tarn::ToLowerCase(lower.p);
            if (seen->FindText(lower.p))
                return false;
            seen->Append(lower.p);
            return true;
        });
}
