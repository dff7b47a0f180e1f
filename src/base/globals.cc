#include "base/globals.h"

const char *patch_dir = "";
char install_dir[kPathSize];
char working_dir[kPathSize];
bool staged_update = false;
bool replace_request = false;
bool os_update = false;
bool update_succeeded = false;
