// Process-wide state of the update driver. Set by the entry point before the worker thread starts
// and read-only afterwards, except `update_succeeded`, which the worker sets and the main thread
// reads only after joining it.
#pragma once

#include "base/paths.h"

extern const char *patch_dir;        // the patch-dir argument as given
extern char install_dir[kPathSize];  // install-dir, cut to 1023 bytes, one trailing '/' removed
extern char working_dir[kPathSize];  // apply-to-dir, same rule
extern bool staged_update;           // wait-pid reads as -1
extern bool replace_request;         // wait-pid contains "/replace" and is not -1
extern bool os_update;               // KIV_OS_UPDATE was present at start
extern bool update_succeeded;        // set by a successful Finish pass or replace request
