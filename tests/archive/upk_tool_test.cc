// The upk tool run as a process on real archives: create, list, extract, info, set-product, and
// its usage errors and failures.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

const std::string kTool = UPK_TOOL_PATH;

// Runs the tool in `cwd` with `args`; stdout and stderr go to the returned strings.
struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome RunTool(const TempDir &dir, const std::string &cwd, const std::string &args) {
  int status = testing_support::Run("cd '" + cwd + "' && '" + kTool + "' " + args + " >'" +
                                    (dir / "stdout") + "' 2>'" + (dir / "stderr") + "'");
  return {status, ReadFile(dir / "stdout"), ReadFile(dir / "stderr")};
}

TEST(UpkTool, BuildsListsInspectsRelabelsAndUnpacksAnArchive) {
  TempDir dir;
  WriteFile(dir / "stage/updatev3.manifest", "add \"bin/app\"\n", 0644);
  WriteFile(dir / "stage/bin/app", "new program", 0755);

  Outcome created =
      RunTool(dir, dir / "stage",
              "create --product app --version 2.0 ../update.upk updatev3.manifest bin/app");
  EXPECT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.out, "");

  Outcome listed = RunTool(dir, dir.path(), "list update.upk");
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(listed.out,
            "0644         14 updatev3.manifest\n"
            "0755         11 bin/app\n");

  Outcome info = RunTool(dir, dir.path(), "info update.upk");
  EXPECT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(info.out,
            "signature area: yes, 0 signatures\n"
            "additional blocks: 1, the first at offset 24\n"
            "product id: app\n"
            "product version: 2.0\n"
            "members: 2\n");

  Outcome relabelled =
      RunTool(dir, dir.path(), "set-product update.upk --product app-beta --version 2.1b1");
  EXPECT_EQ(relabelled.status, 0) << relabelled.err;
  info = RunTool(dir, dir.path(), "info update.upk");
  EXPECT_NE(info.out.find("product id: app-beta\nproduct version: 2.1b1\n"), std::string::npos)
      << info.out;

  testing_support::MakeDirs(dir / "out");
  Outcome extracted = RunTool(dir, dir / "out", "extract ../update.upk");
  EXPECT_EQ(extracted.status, 0) << extracted.err;
  EXPECT_EQ(testing_support::DiffSnapshots(testing_support::TakeSnapshot(dir / "stage"),
                                           testing_support::TakeSnapshot(dir / "out")),
            "");
}

TEST(UpkTool, ReportsUsageErrorsAndFailures) {
  TempDir dir;
  WriteFile(dir / "file", "x");

  Outcome help = RunTool(dir, dir.path(), "--help");
  EXPECT_EQ(help.status, 0);
  for (const char *section : {"SYNOPSIS", "COMMANDS", "EXIT STATUS", "set-product"}) {
    EXPECT_NE(help.out.find(section), std::string::npos) << section;
  }

  struct Case {
    const char *args;
    int status;
    const char *err;
  };
  const Case cases[] = {
      {"", 2, "upk: no command given\n"},
      {"frobnicate x", 2, "upk: unknown command: frobnicate\n"},
      {"list", 2, "upk: list needs exactly one archive\n"},
      {"set-product a.upk --product p", 2, "upk: set-product needs --product and --version\n"},
      {"create a.upk ../file", 1,
       "upk: member names must be relative paths without '.' or '..' parts: ../file\n"},
      {"create a.upk missing", 1,
       "ERROR: file not found: missing\nupk: could not create archive: a.upk\n"},
      {"create --product 0123456789012345678901234567890123456789012345678901234567890123 "
       "a.upk file",
       1,
       "upk: product identifier longer than 63 characters: "
       "0123456789012345678901234567890123456789012345678901234567890123\n"},
      {"list file", 1, "upk: not a readable archive: file\n"},
  };
  for (const Case &c : cases) {
    Outcome got = RunTool(dir, dir.path(), c.args);
    EXPECT_EQ(got.status, c.status) << c.args;
    EXPECT_EQ(got.err.substr(0, std::string(c.err).size()), c.err) << c.args;
    EXPECT_FALSE(Exists(dir / "a.upk")) << c.args;
  }
}

}  // namespace
