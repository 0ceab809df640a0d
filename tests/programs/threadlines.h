// The lines that logprobe's "threads" command logs: "thread t line i", and on every sixteenth
// line a tail of this many characters: a blank, then x's.
#pragma once

inline int ThreadLineTail(int thread, int line) {
    return line % 16 == 0 ? 1 + (line * 37 + thread * 613) % 6000 : 0;
}
