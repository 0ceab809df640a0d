// What the call-stack marker offers the rest of the library: the frame walk, the
// advanced-stack line of the crash reports and the break-stack table.
#pragma once

#include <cstdint>

namespace tarn {

// Collects up to `max` return addresses along the frame chain from `frame` (0: the walker's
// own frame) after skipping `skip` frames. Every step is checked before it is taken, so a
// frame without a frame pointer ends the walk instead of giving garbage; a fault ends it too
// and is never reported. Zeroes out[max(count - skip, 0)] to out[max - 1]. Returns the number
// of frames read, skipped ones included. Any thread.
int WalkFrames(uintptr_t* out, int max, uintptr_t frame, int skip);

// "[Advanced STACK:" and up to ten " EIP=0x%08X" from `frame`, then "]\r\n", into the open
// old-style file `file`; stops at the first short write.
void WriteAdvancedStack(int file, uintptr_t frame);

// Adds a call path (return addresses, outermost first) at which Mark breaks into the
// debugger once. False when the table cannot take it.
bool AddBreakStack(const uintptr_t* ips, int count);

}  // namespace tarn
