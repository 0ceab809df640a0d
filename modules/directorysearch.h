// The directory searches of instance discovery and the kept-module list behind them.
#pragma once

#include "tarnkernl/api.h"
#include "tarnkernl/files.h"

#include "platform/win32.h"

#include <cstdint>

namespace tarn {

// The module of `file` in `directory`, loaded and held by the kept-module list, or null.
HINSTANCE LoadKept(const char* directory, const char* file);
// Gives up the list's first hold on the module, which releases it.
void ReleaseKept(HINSTANCE module);

// How many holds the kept-module list has.
TARN_API uint32_t KeptModuleCountForTesting();

// Runs `search` on every module matching `mask` in `directory` and sums its results. A module
// that yields nothing is released before the next file is looked at. `accept` sees each file
// name before the module is loaded and answers false to skip the file.
template <class Search, class Accept>
int SearchDirectory(const char* directory, const char* mask, Search search, Accept accept) {
    if (!mask)
        return 0;
    WIN32_FIND_DATAA found;
    void* handle = UNI_FindFirstFile(TFileName(directory, mask).p, &found);
    if (handle == INVALID_HANDLE_VALUE)
        return 0;
    int total = 0;
    do {
        if (!accept(static_cast<const char*>(found.cFileName)))
            continue;
        HINSTANCE module = LoadKept(directory, found.cFileName);
        if (!module)
            continue;
        const int yielded = search(module);
        if (yielded > 0)
            total += yielded;
        else
            ReleaseKept(module);
    } while (UNI_FindNextFile(handle, &found));
    FindClose(handle);
    return total;
}

}  // namespace tarn
