// Resource discovery: the text a module's "muiProc_<prefix>" function gives, or its raw-data
// resources under numbered names.
#include "tarnkernl/modules.h"

#include "modules/directorysearch.h"

#include <cstring>

int _FindResources(pConstVector<void const*>& result, HINSTANCE module, const char* prefix,
                   long count, ResourceConverter converter, void* user)
{
    MarkStack mark(TARN_FRAME);
    str textFunction("muiProc_", prefix);
    if (FARPROC proc = GetProcAddress(module, textFunction.p)) {
        const char* text = reinterpret_cast<const char* (*)()>(reinterpret_cast<void*>(proc))();
        const void* entry =
            converter ? converter(module, text, static_cast<unsigned long>(strlen(text) + 1), user)
                      : text;
        return result.Append(entry) ? 1 : 0;
    }
    int found = 0;
    for (long i = 0; i < count; ++i) {
        PrintBuffer<256> name("%s%ld", prefix, i);
        HRSRC resource = FindResourceA(module, name.data, RT_RCDATA);
        if (!resource)
            continue;
        const void* data = LockResource(LoadResource(module, resource));
        if (!data)
            continue;
        const unsigned long size = SizeofResource(module, resource);
        const void* entry = converter ? converter(module, data, size, user) : data;
        if (result.Append(entry))
            ++found;
    }
    return found;
}

int _FindResources(pConstVector<void const*>& result, const char* directory, const char* mask,
                   const char* prefix, long count, ResourceConverter converter, void* user)
{
    return tarn::SearchDirectory(
        directory, mask,
        [&](HINSTANCE module) {
            return _FindResources(result, module, prefix, count, converter, user);
        },
        [](const char*) { return true; });
}
