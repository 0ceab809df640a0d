// What the call-stack marker offers the rest of the library: the frame walk, the
// advanced-stack line of the crash reports and the break-stack table.
#pragma once

#include "tarnkernl/api.h"

#include <cstdint>

namespace tarn {

// Internal to the library; exported only so that its tests can reach them.

// Collects up to `max` return addresses along the frame chain from `frame` (0: the walker's
// own frame) after skipping `skip` frames. Every step is checked before it is taken, so a
// frame without a frame pointer ends the walk instead of giving garbage; a fault ends it too
// and is never reported. Zeroes out[max(count - skip, 0)] to out[max - 1]. Returns the number
// of frames read, skipped ones included. Any thread.
TARN_API int WalkFrames(uintptr_t* out, int max, uintptr_t frame, int skip);

// "[Advanced STACK:" and up to ten " EIP=0x%08X" from `frame`, then "]\r\n", into the open
// old-style file `file`; stops at the first short write.
TARN_API void WriteAdvancedStack(int file, uintptr_t frame);

// Adds a call path (return addresses, outermost first) at which Mark breaks into the
// debugger once; a path already in the table is not added twice. False when the table cannot
// take it.
TARN_API bool AddBreakStack(const uintptr_t* ips, int count);

// Told about one call path read from a log; answers whether to go on.
typedef bool (*BreakStackVisitor)(const uintptr_t* ips, int count, void* context);
// Reads the call paths that the lines of a log list after "STACK:" (each " 0x" and hexadecimal
// digits); a path whose last entry is zero is cut short and skipped. `image` holds `length`
// bytes, the last of them a zero. Stops when the visitor says so or memory runs out.
TARN_API void ReadBreakStacks(const char* image, size_t length, BreakStackVisitor visitor,
                              void* context);

// The number of marks and of break stacks now in the tables.
TARN_API uint32_t MarkCountForTesting();
TARN_API uint32_t BreakStackCountForTesting();

}  // namespace tarn
