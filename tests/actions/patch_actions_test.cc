// SPDX-License-Identifier: MIT
#include "actions/patch_actions.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "actions/update_fixture.h"
#include "patch/crc32.h"
#include "support/test_patch.h"

using namespace testing_support;

namespace {

using PatchActions = UpdateFixture;

std::string Crc(const std::string &data) {
  return std::to_string(static_cast<int32_t>(
      Crc32Bzip2(reinterpret_cast<const unsigned char *>(data.data()), data.size())));
}

// Patches are extracted in Prepare to numbered files, 0, 1, ... in prepare order (a disabled
// conditional patch takes no number); the new file keeps the old file's permission bits, whatever
// the archive records; after success neither patch files nor backups remain.
TEST_F(PatchActions, AppliesPatchesKeepingModesAndLeavesNothingBehind) {
  const std::string f_old = "the first version of f\n", f_new = "the second version of f, longer\n";
  const std::string g_old = "g: old and long content", g_new = "g: new";
  WriteFile(Here("bin/f"), f_old, 0750);
  WriteFile(Here("g"), g_old, 0600);
  std::string f_patch = MakePatch(f_old, f_new), g_patch = MakePatch(g_old, g_new);
  OpenArchive({{"f.patch", f_patch, 0644}, {"g.patch", g_patch, 0777}});

  ActionList list(&ctx_);
  Append<PatchAction>(list, "\"f.patch\" \"bin/f\"");
  AppendIf<PatchAction>(list, true, "\"missing\" \"g.patch\" \"bin/f\"");  // disabled
  AppendIf<PatchAction>(list, true, "\"bin/f\" \"g.patch\" \"g\"");
  ASSERT_EQ(list.Prepare(), 0);
  EXPECT_EQ(DiffSnapshots({{"0.patch", {'f', 0644, f_patch}}, {"1.patch", {'f', 0644, g_patch}}},
                          Scratch()),
            "");
  ASSERT_EQ(list.Execute(), 0);
  EXPECT_EQ(ReadFile(Here("bin/f.kiv-backup")), f_old);
  list.Finish(0);
  list.Destroy();
  EXPECT_TRUE(ctx_.update_succeeded);
  EXPECT_EQ(
      DiffSnapshots(
          {{"bin", {'d', 0755, ""}}, {"bin/f", {'f', 0750, f_new}}, {"g", {'f', 0600, g_new}}},
          Installation()),
      "");
  EXPECT_TRUE(Scratch().empty());
  EXPECT_EQ(Log(),
            "PREPARE PATCH bin/f\n"
            "PREPARE PATCH g\n"
            "EXECUTE PATCH bin/f\n"
            "EXECUTE PATCH g\n"
            "FINISH PATCH bin/f\n"
            "FINISH PATCH g\n");
}

// The size is checked before the CRC; either mismatch leaves the file untouched, without backup.
TEST_F(PatchActions, SourceThatDoesNotMatchTheHeaderIsLeftUntouched) {
  const std::string expected = "expected content";
  OpenArchive({{"p", MakePatch(expected, "new content")}});
  struct Case {
    std::string actual;
    int result;
    std::string message;
  };
  for (const Case &c : {
           Case{expected + "!", 42,
                "LoadSourceFile: destination file size 17 does not match expected size 16\n"},
           Case{"Expected content", 4,
                "LoadSourceFile: destination file crc " + Crc("Expected content") +
                    " does not match expected crc " + Crc(expected) + "\n"},
       }) {
    SCOPED_TRACE(c.actual);
    WriteFile(Here("f"), c.actual, 0640);
    Snapshot before = Installation();
    ActionList list(&ctx_);
    Append<PatchAction>(list, "\"p\" \"f\"");
    EXPECT_EQ(Run(list), c.result);
    EXPECT_EQ(DiffSnapshots(before, Installation()), "");
    EXPECT_TRUE(Scratch().empty()) << "the destructor removes the patch file";
    EXPECT_EQ(Log(), "PREPARE PATCH f\nEXECUTE PATCH f\n" + c.message +
                         "LoadSourceFile failed\n### execution failed\nFINISH PATCH f\n"
                         "backup_restore: backup file doesn't exist: f.kiv-backup\n");
  }
}

// A patch whose triples make another length than its header announces would leave a file of the
// wrong size (or a tail of reserved zero bytes) behind a success: it is corrupt, and the old file
// comes back.
TEST_F(PatchActions, PatchThatMakesAnotherLengthThanAnnouncedIsCorrupt) {
  const std::string old_text = "abcdef", new_text = "abcdefXYZ";
  for (int delta : {-2, -1, 1}) {
    SCOPED_TRACE(delta);
    WriteFile(Here("f"), old_text, 0755);
    OpenArchive({{"p", MakePatch(old_text, new_text, delta)}});
    Snapshot before = Installation();
    ActionList list(&ctx_);
    Append<PatchAction>(list, "\"p\" \"f\"");
    EXPECT_EQ(Run(list), 41);
    EXPECT_EQ(DiffSnapshots(before, Installation()), "");
  }

  // Nothing is written beyond the announced length: the refusal comes before the bytes.
  std::string patch = MakePatch(old_text, new_text, -2);
  FILE *in = tmpfile();
  FILE *out = tmpfile();
  ASSERT_TRUE(in && out);
  fwrite(patch.data(), 1, patch.size(), in);
  rewind(in);
  PatchHeader header;
  ASSERT_EQ(ReadPatchHeader(in, &header), 0);
  EXPECT_EQ(ApplyPatch(header, in, reinterpret_cast<const unsigned char *>(old_text.data()), out),
            41);
  EXPECT_EQ(ftell(out), 6) << "the add part fits in 7 bytes, the copy of 3 more does not";
  fclose(in);
  fclose(out);
}

// A failing Prepare ends the run before any Execute: the patch files extracted so far go with
// their actions' destructors, and the installation is as it was.
TEST_F(PatchActions, FailingPrepareRemovesEarlierPatchFiles) {
  WriteFile(Here("a"), "a1");
  WriteFile(Here("b"), "b1");
  OpenArchive({{"a.patch", MakePatch("a1", "a2")}, {"b.patch", MakePatch("b1", "b2")}});
  Snapshot before = Installation();
  ActionList list(&ctx_);
  Append<PatchAction>(list, "\"a.patch\" \"a\"");
  Append<PatchAction>(list, "\"b.patch\" \"b\"");
  Append<PatchAction>(list, "\"missing.patch\" \"a\"");
  Append<PatchAction>(list, "\"a.patch\" \"b\"");  // never prepared
  EXPECT_EQ(list.Prepare(), 6);
  EXPECT_EQ(Scratch().size(), 3u) << "0.patch, 1.patch and the empty 2.patch";
  list.Destroy();
  EXPECT_TRUE(Scratch().empty());
  EXPECT_EQ(DiffSnapshots(before, Installation()), "");
  EXPECT_EQ(Log(), "PREPARE PATCH a\nPREPARE PATCH b\nPREPARE PATCH a\n");
}

// The member name is an archive member's name, not a path: it is not checked; the file path is.
TEST_F(PatchActions, ParseReadsNameSeparatorAndPath) {
  for (const char *bad : {"\"p\"\"f\"", "\"p\"", "", "\"p\" \"/etc/f\"", "\"p\" \"a/../f\""}) {
    EXPECT_EQ(PatchAction().Parse(Keep(bad)), 5) << bad;
  }
  EXPECT_EQ(PatchAction().Parse(Keep("\"../odd..name\" \"f\"")), 0);
  EXPECT_EQ(ConditionalAction(std::make_unique<PatchAction>(), true).Parse(Keep("\"t\" \"p\" \"f\"")), 0);
  EXPECT_EQ(ConditionalAction(std::make_unique<PatchAction>(), true).Parse(Keep("\"t\" \"p\"")), 5);
}

}  // namespace
