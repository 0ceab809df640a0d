// Resource discovery: the text a module gives through its text function, or else its numbered
// raw-data resources.
#include "tarnkernl/modules.h"

#include "modules/directorysearch.h"

namespace {

typedef const char* (*TextFunction)();

}  // namespace

int _FindResources(pConstVector<void const*>& result, HINSTANCE module, const char* prefix,
                   long count, ResourceConverter converter, void* user) {
    MarkStack mark(TARN_FRAME);
    PrintBuffer<256> textFunction("muiProc_%s", prefix);
    if (void* entry = reinterpret_cast<void*>(GetProcAddress(module, textFunction.data))) {
        const char* text = reinterpret_cast<TextFunction>(entry)();
        const void* found =
            converter ? converter(module, text, static_cast<unsigned long>(strlen(text) + 1), user)
                      : text;
        return result.Append(found) ? 1 : 0;
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
        if (result.Append(converter ? converter(module, data, size, user) : data))
            ++found;
    }
    return found;
}

int _FindResources(pConstVector<void const*>& result, const char* directory, const char* mask,
                   const char* prefix, long count, ResourceConverter converter, void* user) {
    return tarn::SearchDirectory(
        directory, mask,
        [&](HINSTANCE module) {
            return _FindResources(result, module, prefix, count, converter, user);
        },
        [](const char*) { return true; });
}
