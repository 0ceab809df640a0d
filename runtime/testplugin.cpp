// A plug-in module for the runtime's tests: it allocates and releases with the process's
// allocator from its own code, and tells when it is finalised.
#include "tarnkernl/tarnrt.h"

#include <cstdlib>
#include <string>

namespace {

void (*gOnFinished)() = nullptr;
void* gKeptSinceLoad = tarnrtl_GetMemIface()->Get(48);

// Finalisation of the module, after the process's exit handlers: the memory interface still
// serves it.
__attribute__((destructor)) void Finish() {
    tarnrtl_GetMemIface()->Free(gKeptSinceLoad);
    if (gOnFinished)
        gOnFinished();
}

}  // namespace

extern "C" TARN_EXPORT void* testplugin_Malloc(size_t size) { return malloc(size); }

extern "C" TARN_EXPORT void testplugin_Free(void* block) { free(block); }

extern "C" TARN_EXPORT char* testplugin_NewArray(size_t size) { return new char[size]; }

extern "C" TARN_EXPORT void testplugin_DeleteArray(char* block) { delete[] block; }

extern "C" TARN_EXPORT std::string* testplugin_NewString(const char* text) {
    return new std::string(text);
}

extern "C" TARN_EXPORT void testplugin_WhenFinished(void (*callback)()) { gOnFinished = callback; }
