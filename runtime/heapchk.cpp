// The C runtime's heap check, answered by the runtime's own. This file includes no C library
// header: on Windows they declare _heapchk for import from the system's C runtime, and that
// declaration may not meet this definition.
#include "tarnkernl/tarnrt.h"

extern "C" TARNRT_API int _heapchk() {
    return tarnrtl_CheckForBugs() ? -2 : -4;  // _HEAPOK, _HEAPBADNODE
}
