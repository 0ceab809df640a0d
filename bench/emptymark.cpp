#include "bench/emptymark.h"

void EmptyMark::Mark(uintptr_t frame) { this->frame = frame; }

void EmptyMark::UnMark(uintptr_t) {}
