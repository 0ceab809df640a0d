// Forking: a child process starts with the one thread that forked, so a lock that another thread
// held at that moment would stay taken in the child for ever. The process-wide locks that the
// child may need (the allocator's, then the log's and the history's) are taken around the fork.
#pragma once

namespace tarn {

// `before` runs in the forking thread right before each fork, `after` right after it, in the
// parent and in the child. The `before` of a later call runs first, its `after` last: a lock
// taken by handlers set earlier is the inner one. Kept for the life of the process; nothing
// happens where processes do not fork.
void AroundFork(void (*before)(), void (*after)());

}  // namespace tarn
