// SPDX-License-Identifier: MIT
// The sample update that the fault sweep and the kill sweep run: a small installation with files,
// links (shared-library links among them), folders and a "precomplete" list; its new version built
// by hand; and an archive whose manifest uses every instruction kind. Failures are reported as test failures.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/test_patch.h"
#include "support/test_support.h"
#include "support/upk_builder.h"

namespace testing_support {


inline const std::string kAppV1 = "#!/bin/sh\necho old app\n";
inline const std::string kAppV2 = "#!/bin/sh\necho new app, a little longer\n";
inline const std::string kDataV1 = std::string(3000, 'd') + "version 1 of the data\n";
inline const std::string kDataV2 = std::string(2990, 'd') + "version 2 of the data, patched\n";
inline const std::string kToolV1 = "tool v1\n";
inline const std::string kToolV2 = "tool v2!\n";
inline const std::string kLibV1 = "shared library 1.1\n";
inline const std::string kLibV2 = "shared library 1.2\n";
// A complete update removes the listed link before it makes it anew.
inline const char kPrecomplete[] =
    "remove \"gone.txt\"\nremove \"lib/libfoo.so.1\"\nrmdir \"gonedir/\"\n";

inline void WriteInstallation(const std::string &inst) {
  WriteFile(inst + "/bin/app", kAppV1, 0755);
  WriteFile(inst + "/lib/data", kDataV1, 0644);
  WriteFile(inst + "/lib/keep.so", "kept library\n", 0644);
  WriteFile(inst + "/tool.sh", kToolV1, 0700);
  WriteFile(inst + "/old/file", "to be removed\n", 0600);
  MakeDirs(inst + "/olddir");
  WriteFile(inst + "/tree/a", "tree file a\n");
  WriteFile(inst + "/tree/sub/b", "tree file b\n", 0640);
  ASSERT_EQ(symlink("../../keep.txt", (inst + "/tree/sub/link").c_str()), 0);
  WriteFile(inst + "/keep.txt", "kept\n");
  ASSERT_EQ(symlink("keep.txt", (inst + "/link.txt").c_str()), 0);
  WriteFile(inst + "/lib/libfoo.so.1.1", kLibV1);
  ASSERT_EQ(symlink("libfoo.so.1.1", (inst + "/lib/libfoo.so.1").c_str()), 0);
  WriteFile(inst + "/lib/libfoo.so", kLibV1);  // a copy that becomes a link
  WriteFile(inst + "/gone.txt", "listed in precomplete\n");
  MakeDirs(inst + "/gonedir");
  WriteFile(inst + "/precomplete", kPrecomplete);
  WriteFile(inst + "/updates/0/pending.txt", "left out of a staged copy\n");
}

// The installation after the update, built by hand.
inline void WriteNewVersion(const std::string &inst) {
  WriteFile(inst + "/bin/app", kAppV2, 0755);
  WriteFile(inst + "/bin/plugin", "plugin\n", 0644);
  WriteFile(inst + "/newdir/new.txt", "a new file in a new folder\n", 0644);
  WriteFile(inst + "/lib/data", kDataV2, 0644);
  WriteFile(inst + "/lib/keep.so", "kept library\n", 0644);
  WriteFile(inst + "/tool.sh", kToolV2, 0700);
  MakeDirs(inst + "/old");
  WriteFile(inst + "/keep.txt", "kept\n");
  ASSERT_EQ(symlink("keep.txt", (inst + "/link.txt").c_str()), 0);
  WriteFile(inst + "/lib/libfoo.so.1.2", kLibV2);
  ASSERT_EQ(symlink("libfoo.so.1.2", (inst + "/lib/libfoo.so.1").c_str()), 0);
  ASSERT_EQ(symlink("libfoo.so.1", (inst + "/lib/libfoo.so").c_str()), 0);
  MakeDirs(inst + "/share");  // made by the link's instruction
  ASSERT_EQ(symlink("../lib", (inst + "/share/lib").c_str()), 0);
  WriteFile(inst + "/precomplete", kPrecomplete);
  WriteFile(inst + "/updates/0/pending.txt", "left out of a staged copy\n");
}

inline const char kManifest[] =
    "type \"complete\"\n"
    "add \"bin/app\"\n"
    "add \"newdir/new.txt\"\n"
    "add \"lib/libfoo.so.1.2\"\n"
    "addsymlink \"lib/libfoo.so.1\" \"libfoo.so.1.2\"\n"
    "addsymlink \"lib/libfoo.so\" \"libfoo.so.1\"\n"
    "addsymlink \"share/lib\" \"../lib\"\n"
    "add-if \"keep.txt\" \"bin/plugin\"\n"
    "add-if-not \"keep.txt\" \"bin/never\"\n"
    "patch \"patches/data.patch\" \"lib/data\"\n"
    "patch-if \"tool.sh\" \"patches/tool.patch\" \"tool.sh\"\n"
    "remove \"old/file\"\n"
    "remove \"lib/libfoo.so.1.1\"\n"
    "rmdir \"olddir/\"\n"
    "rmrfdir \"tree/\"\n";

// The archive of the update; `manifest` replaces the manifest when given.
inline void WriteArchive(const std::string &path, const char *manifest = kManifest) {
  ASSERT_TRUE(testing_support::WriteUpk(
      path, {UpkEntry{"updatev3.manifest", manifest}, UpkEntry{"bin/app", kAppV2, 0755},
             UpkEntry{"newdir/new.txt", "a new file in a new folder\n"},
             UpkEntry{"bin/plugin", "plugin\n"}, UpkEntry{"lib/libfoo.so.1.2", kLibV2},
             UpkEntry{"bin/never", "never added\n"},
             UpkEntry{"patches/data.patch", MakePatch(kDataV1, kDataV2)},
             UpkEntry{"patches/tool.patch", MakePatch(kToolV1, kToolV2)}}));
}

}  // namespace testing_support
