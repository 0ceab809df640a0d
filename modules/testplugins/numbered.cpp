// A test plug-in that offers instance descriptors as "tarnTestKind0" and "tarnTestKind2" (the
// gap is deliberate) and nothing else.
#include "modules/testplugins/plugin.h"
#include "tarnkernl/modules.h"

#include <string>

namespace {

tarn::test::Presence gPresence("numbered");

int gMade;

void* Make(void* argument) {
    ++gMade;
    return argument;
}

bool Unmake(void* object) { return object == &gMade; }

const TInstanceDescriptor kFirst = {"first", Make, Unmake};
const TInstanceDescriptor kSecond = {"second", Make, Unmake};

}  // namespace

extern "C" TARN_EXPORT const void* tarnTestKind0() { return &kFirst; }
extern "C" TARN_EXPORT const void* tarnTestKind2() { return &kSecond; }

// A block of the plug-in's own new that nobody releases.
extern "C" TARN_EXPORT void* tarnTestPluginLeak() { return new std::string(200, 'p'); }
