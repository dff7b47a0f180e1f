// SPDX-License-Identifier: MIT
// Small helpers shared by make-update's steps: permission bits as text, the "is under" test of two
// relative paths, and the temporary folders it stages and checks in. Failures come back as
// sentences; nothing is printed here.
#pragma once

#include <sys/types.h>

#include <string>

namespace make_update {

// `mode` as four octal digits ("0755").
std::string Octal(mode_t mode);

// True when `path` is `root` or lies below it ("a/b" is under "a", "ab" is not).
bool IsUnder(const std::string &path, const std::string &root);

// Creates a new folder "<parent>/<prefix>XXXXXX" (parent "" = $TMPDIR or /tmp) and returns its
// path, or "" with a sentence in `*error` that starts "cannot create <what> in <parent>".
std::string MakeTempFolder(std::string parent, const std::string &prefix, const std::string &what,
                           std::string *error);

}  // namespace make_update
