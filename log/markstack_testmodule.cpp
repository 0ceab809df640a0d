// A module that the marker's tests load late: its code calls back into the test, so that a walk
// passes through code that was not loaded when the walk first looked at the process's modules.
#include "tarnkernl/api.h"

extern "C" TARN_EXPORT void markstack_CallBack(void (*callback)(void*), void* data) {
    callback(data);
    asm volatile("" ::: "memory");  // a call, not a jump: this frame stays on the path
}
