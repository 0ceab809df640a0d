// A plug-in of the family: its entry logs a text of its own resources.
#include "tarnkernl/tarnkernl.h"

extern "C" TARN_EXPORT void Greet(HINSTANCE self) {
    str text;
    fout("%s\r\n", LoadRes(text, 1, self, true));
}
