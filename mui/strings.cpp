// Minimal language texts: until the language sets are loaded, every identifier answers the
// empty text, which is what an unknown identifier answers.
#include "mui/mui.h"

const char* muiGetString(unsigned int)
{
    return "";
}
