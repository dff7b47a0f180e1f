// The size of the program's path buffers and the name its backups take. A path that does not fit a
// buffer is refused where it is formed (cut short it could name another, existing file); these are
// constants only and report nothing.
#pragma once

#include <cstddef>

// Every path the program forms or keeps lives in a buffer of this many bytes, NUL included.
constexpr size_t kPathSize = 1024;

// A file's backup during an update is "<path>" followed by this suffix.
constexpr char kBackupSuffix[] = ".kiv-backup";
