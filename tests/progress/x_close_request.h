// Sends a window the close request that a window manager sends when its close button is pressed.
// Kept apart from the tests because Xlib's macros clash with the test framework's names.
#pragma once

// Sends a WM_PROTOCOLS client message with WM_DELETE_WINDOW to `window` on `display`. Returns
// false when the display cannot be opened or the message cannot be sent.
bool SendCloseRequest(const char *display, unsigned long window);
