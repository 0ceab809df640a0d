// A test plug-in with the text function "muiProc_tarnTestText" beside numbered raw data of
// the same prefix (which the text function hides), and raw data "tarnRaw0" and "tarnRaw2".
#include "modules/testplugins/plugin.h"

namespace {

tarn::test::Presence gPresence("text");

}  // namespace

extern "C" TARN_EXPORT const char* muiProc_tarnTestText() { return "text of the plug-in"; }
