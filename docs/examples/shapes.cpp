// A plug-in of the family: it offers two kinds of shape, exported as "guideShape0" and
// "guideShape1", for a program's instance library.
#include "tarnkernl/tarnkernl.h"

#include "shape.h"

namespace {

extern const TInstanceDescriptor kSquare, kTriangle;

template <const TInstanceDescriptor* Maker, int Corners>
void* Make(void*) {
    return new Shape{Maker, Maker->name, Corners};
}

// Destroys only its own shapes.
template <const TInstanceDescriptor* Maker>
bool Destroy(void* object) {
    auto* shape = static_cast<Shape*>(object);
    if (shape->maker != Maker)
        return false;
    delete shape;
    return true;
}

const TInstanceDescriptor kSquare{"square", Make<&kSquare, 4>, Destroy<&kSquare>};
const TInstanceDescriptor kTriangle{"triangle", Make<&kTriangle, 3>, Destroy<&kTriangle>};

}  // namespace

extern "C" TARN_EXPORT const void* guideShape0() { return &kSquare; }
extern "C" TARN_EXPORT const void* guideShape1() { return &kTriangle; }
