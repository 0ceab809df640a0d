// Language texts as the rest of the library asks for them. For now only muiGetString, which
// answers the empty text until the language sets are built.
#pragma once

#include "tarnkernl/api.h"

// The text of a language string; the empty text when no language set has it. Never null.
TARN_API const char* muiGetString(unsigned int identifier);
