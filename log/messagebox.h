// The one way by which the library shows a message box, and the seam through which tests take
// the boxes over on every system.
#pragma once

#include "platform/win32.h"

namespace tarn {

typedef int (*MessageBoxHandler)(HWND owner, const char* text, const char* caption, unsigned style);

// Shows the box (MessageBoxA) and answers what the user chose; a handler set for testing
// receives it instead.
int ShowMessageBox(HWND owner, const char* text, const char* caption, unsigned style);

// Sends every later box of the process to `handler` (null: to the system again); returns the
// handler it replaces.
TARN_API MessageBoxHandler SetMessageBoxForTesting(MessageBoxHandler handler);

}  // namespace tarn
