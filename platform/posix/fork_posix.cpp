// Forking on POSIX: the handlers run by pthread_atfork.
#include "platform/fork.h"

#include <pthread.h>

namespace tarn {

void AroundFork(void (*before)(), void (*after)()) { pthread_atfork(before, after, after); }

}  // namespace tarn
