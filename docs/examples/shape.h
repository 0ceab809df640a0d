// What the guide's plug-in makes and its program uses: one shape.
#pragma once

struct TInstanceDescriptor;

struct Shape {
    const TInstanceDescriptor* maker;
    const char* kind;
    int corners;
};
