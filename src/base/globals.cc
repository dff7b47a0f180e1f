#include "base/globals.h"

const char *patch_dir = "";
char install_dir[1024];
char working_dir[1024];
bool staged_update = false;
bool replace_request = false;
bool os_update = false;
bool update_succeeded = false;
