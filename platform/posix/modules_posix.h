// What the module functions and the resource functions of the POSIX system layer share: code
// modules are the dynamic loader's objects, data modules are resource files held in memory.
#pragma once

#include "platform/win32.h"

#include <link.h>

namespace tarn::posix {

// The main program's entry of the loader's list.
link_map* MainProgram();
// The link map of `module` when it is a loaded code module, else null with
// ERROR_MOD_NOT_FOUND.
link_map* LoadedModule(HMODULE module);
// The module's own exported symbol `name` (not one of the modules it depends on), or null.
void* OwnSymbol(link_map* map, const char* name);
// Loads the code module named in the library's spelling; null with the last error set.
HMODULE LoadModule(const char* name);

// Data module handles are never loader handles: they have the lowest bit set.
inline bool IsDataModuleHandle(HMODULE module) { return reinterpret_cast<uintptr_t>(module) & 1; }
// Gives a data module back; FALSE with ERROR_MOD_NOT_FOUND when the handle is not one.
BOOL FreeDataModule(HMODULE module);

}  // namespace tarn::posix
