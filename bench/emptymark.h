// A stand-in for the call-stack mark that does nothing but the calls: its two members live in a
// shared library of their own and are reached the way a program reaches the marker's, so the
// benchmark can show how much of a mark is the two calls into a library alone.
#pragma once

#include <cstdint>

#define TARN_EMPTY_API __attribute__((visibility("default"), noplt))

class EmptyMark {
public:
    explicit EmptyMark(uintptr_t frame) : frame(frame) { Mark(frame); }
    ~EmptyMark() { UnMark(frame); }
    EmptyMark(const EmptyMark&) = delete;
    EmptyMark& operator=(const EmptyMark&) = delete;

    TARN_EMPTY_API void Mark(uintptr_t frame);
    TARN_EMPTY_API static void UnMark(uintptr_t frame);

    uintptr_t frame;
};
