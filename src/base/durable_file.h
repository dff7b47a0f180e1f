// SPDX-License-Identifier: MIT
// Durable replacement of a small file that others read: a reader sees either the old file or the
// whole new one, also after a power cut. Nothing here logs; errno tells why a call failed.
#pragma once

#include <sys/types.h>

#include <cstddef>

// Replaces the file `path` with exactly `length` bytes of `data`: the bytes go to "<path>.tmp"
// (created with `mode` less the umask), which is flushed, renamed over `path`, and the directory
// flushed. Returns result::kOk or result::kWriteError; on failure the temporary file is removed and
// `path` is as it was, or already new when only the final directory flush failed.
// With `no_follow`, nothing is ever written through a link planted at "<path>.tmp": a stale regular
// file there is removed, and the temporary is then created exclusively without following links.
// Anything else at that name (a link, a folder) fails with errno ELOOP and is left as it is.
[[nodiscard]] int replace_file_durably(const char *path, const char *data, size_t length,
                                       mode_t mode = 0666, bool no_follow = false);

// Flushes the entries of the folder that holds `path` (fsync of the folder). Returns result::kOk or
// result::kWriteError.
[[nodiscard]] int flush_parent_folder(const char *path);
