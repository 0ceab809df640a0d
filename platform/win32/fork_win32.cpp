// Forking on Windows: processes do not fork.
#include "platform/fork.h"

namespace tarn {

void AroundFork(void (*)(), void (*)()) {}

}  // namespace tarn
