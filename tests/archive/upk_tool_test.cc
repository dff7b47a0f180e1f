// SPDX-License-Identifier: MIT
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
      {"create a.upk missing", 2, "upk: cannot read missing: No such file or directory\n"},
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

TEST(UpkTool, KeygenSignVerifyAndInfo) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(RunTool(dir, dir.path(), "create a.upk file").status, 0);

  Outcome made = RunTool(dir, dir.path(), "keygen a.pub a.secret");
  ASSERT_EQ(made.status, 0) << made.err;
  const std::string id = made.out.substr(4, 16);  // "key ID: public key a.pub, ..."
  EXPECT_EQ(made.out, "key " + id + ": public key a.pub, secret key a.secret\n");
  EXPECT_EQ(testing_support::Mode(dir / "a.secret"), 0600u);
  ASSERT_EQ(RunTool(dir, dir.path(), "keygen b.pub b.secret").status, 0);

  // Existing key files are kept unless --force is given.
  const std::string secret = ReadFile(dir / "a.secret");
  Outcome again = RunTool(dir, dir.path(), "keygen a.pub a.secret");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "upk: " + (dir / "a.secret").substr(dir.path().size() + 1) +
                           " exists (use --force to replace it)\n");
  EXPECT_EQ(ReadFile(dir / "a.secret"), secret);
  ASSERT_EQ(RunTool(dir, dir.path(), "keygen --force c.pub c.secret").status, 0);
  WriteFile(dir / "c.secret", "old", 0644);
  ASSERT_EQ(RunTool(dir, dir.path(), "keygen --force c.pub c.secret").status, 0);
  EXPECT_NE(ReadFile(dir / "c.secret"), "old");
  EXPECT_EQ(testing_support::Mode(dir / "c.secret"), 0600u);

  Outcome refused = RunTool(dir, dir.path(), "verify a.upk a.pub");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "upk: a.upk refused: the archive carries no signature\n");

  // Signing twice with one key keeps one signature of it.
  for (const char *key : {"a.secret", "b.secret", "a.secret"}) {
    Outcome signed_ = RunTool(dir, dir.path(), std::string("sign a.upk ") + key);
    EXPECT_EQ(signed_.status, 0) << signed_.err;
  }
  Outcome info = RunTool(dir, dir.path(), "info a.upk");
  EXPECT_NE(info.out.find("signature area: yes, 2 signatures\nsignature 1: algorithm 1 (Ed25519), "
                          "key " +
                          id + "\nsignature 2: algorithm 1 (Ed25519), key "),
            std::string::npos)
      << info.out;

  Outcome trusted = RunTool(dir, dir.path(), "verify a.upk c.pub a.pub");
  EXPECT_EQ(trusted.status, 0) << trusted.err;
  EXPECT_EQ(trusted.out, "a.upk: signed by trusted key " + id + " (a.pub)\n");
  Outcome other = RunTool(dir, dir.path(), "verify a.upk c.pub");
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("not trusted here"), std::string::npos) << other.err;
  Outcome wrong_kind = RunTool(dir, dir.path(), "verify a.upk a.secret");
  EXPECT_EQ(wrong_kind.status, 1);
  EXPECT_NE(wrong_kind.err.find("upk: malformed key file a.secret: "), std::string::npos);
  EXPECT_EQ(wrong_kind.err.find(ReadFile(dir / "a.secret").substr(secret.find('\n') + 1, 20)),
            std::string::npos)
      << "no secret key bytes in messages";
  EXPECT_EQ(RunTool(dir, dir.path(), "sign a.upk a.pub").status, 1);
  EXPECT_EQ(RunTool(dir, dir.path(), "verify a.upk").status, 2);
  EXPECT_EQ(RunTool(dir, dir.path(), "sign a.upk --force a.secret").status, 2);
  Outcome help = RunTool(dir, dir.path(), "--help");
  for (const char *command : {"upk keygen", "upk sign", "upk verify"}) {
    EXPECT_NE(help.out.find(command), std::string::npos) << command;
  }
}

}  // namespace
