// The library's one kind of lock, LazyLock (exported with the log), under its internal name.
#pragma once

#include "tarnkernl/log.h"

namespace tarn {

using ::LazyLock;

}  // namespace tarn
