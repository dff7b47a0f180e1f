// SPDX-License-Identifier: MIT
// Checks that keep bad command-line input from destroying an installation: a directory that is
// about to be removed with everything below it must not be the installation, contain it, or be the
// root.
#pragma once

// True when removing `dir` recursively would remove the root or the installation at `installation`
// (`dir` resolves to "/", to the installation itself or to one of its ancestors). A missing `dir`,
// or one that is a link (only the link would be removed), is harmless. An existing directory that
// cannot be resolved counts as dangerous.
[[nodiscard]] bool RemovalEndangersInstallation(const char *dir, const char *installation);
