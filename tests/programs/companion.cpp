// Stands for the companion module "LockOut.DLL": the library only looks at whether it is there.
#include "tarnkernl/api.h"

extern "C" TARN_EXPORT int CompanionPresent() { return 1; }
