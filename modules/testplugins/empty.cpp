// A test plug-in that offers nothing: a directory search releases it at once. Its anchor is an
// address of its code, by which a test checks that the code has left the process.
#include "modules/testplugins/plugin.h"

namespace {

tarn::test::Presence gPresence("empty");

}  // namespace

extern "C" TARN_EXPORT int tarnTestAnchor() { return tarn::test::PresenceCount(); }
