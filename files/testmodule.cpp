// A module for the files tests to load from a directory of their choice.
#include "tarnkernl/api.h"

extern "C" TARN_EXPORT int FilesTestModule() { return 1; }
