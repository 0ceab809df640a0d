// The library's DllMain on Windows: each thread that attaches gets the library's translator and
// loses it when it detaches. Process attach and detach are the library's static objects, which
// the C runtime builds and destroys inside the process notifications (log/faults.cpp installs
// the translator for the attaching thread there, as on POSIX).
#include "log/faults.h"
#include "platform/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_THREAD_ATTACH)
        tarn::InstallTranslator();
    if (reason == DLL_THREAD_DETACH)
        tarn::RemoveTranslator();
    return TRUE;
}
