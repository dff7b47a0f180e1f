// SPDX-License-Identifier: MIT
// The tools' one command-line parser, and "cannot read FILE: reason" with exit 2 from every tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/arguments.h"
#include "support/test_support.h"

namespace {

using testing_support::Exists;
using testing_support::ReadFile;
using testing_support::TempDir;

ParsedArguments Parse(std::vector<std::string> args) {
  std::vector<char *> argv = {const_cast<char *>("tool")};
  for (std::string &a : args) argv.push_back(a.data());
  return ParseArguments(static_cast<int>(argv.size()), argv.data(), 1,
                        {{"--flag", false}, {"--name", true}});
}

TEST(ToolArguments, ValuesFlagsOperandsAndTheFirstProblem) {
  ParsedArguments p = Parse({"a", "--name=x=y", "--flag", "-", "--name", "--flag", "--", "-b"});
  EXPECT_EQ(p.error, ArgumentError::kNone);
  ASSERT_EQ(p.options.size(), 3u);
  EXPECT_EQ(p.options[0].value, "x=y");
  EXPECT_EQ(p.options[1].name, "--flag");
  EXPECT_EQ(p.options[2].value, "--flag");  // the next argument, whatever it looks like
  EXPECT_EQ(p.operands, (std::vector<std::string>{"a", "-", "-b"}));
  EXPECT_EQ(p.Value("--name"), "x=y");
  EXPECT_FALSE(Parse({"a"}).Has("--flag"));

  struct Case {
    std::vector<std::string> args;
    ArgumentError error;
    const char *offending;
  };
  const Case cases[] = {
      {{"--flag", "--other=1", "--name"}, ArgumentError::kUnknownOption, "--other"},
      {{"-x"}, ArgumentError::kUnknownOption, "-x"},
      {{"a", "--name"}, ArgumentError::kMissingValue, "--name"},
      {{"--flag=1"}, ArgumentError::kUnexpectedValue, "--flag"},
  };
  for (const Case &c : cases) {
    p = Parse(c.args);
    EXPECT_EQ(p.error, c.error) << c.args[0];
    EXPECT_EQ(p.offending, c.offending) << c.args[0];
    EXPECT_NE(p.Problem().find(c.offending), std::string::npos) << c.args[0];
  }
  EXPECT_EQ(Parse({"a", "--name"}).Problem(), "--name needs a value");
  EXPECT_EQ(Parse({"a"}).Problem(), "");
  // --help ends parsing where it stands; --version counts only alone.
  p = Parse({"--help", "--bogus"});
  EXPECT_TRUE(p.help);
  EXPECT_EQ(p.error, ArgumentError::kNone);
  EXPECT_TRUE(Parse({"--bogus", "-h"}).error == ArgumentError::kUnknownOption);
  EXPECT_TRUE(Parse({"--version"}).version);
  EXPECT_EQ(Parse({"--version", "a"}).error, ArgumentError::kUnknownOption);
  EXPECT_FALSE(Parse({"--", "--help"}).help);
}

TEST(ToolInputs, EveryToolSaysCannotReadWithExitTwoAndWritesNothing) {
  TempDir dir;
  const std::string bin = std::string(PROGRAMS_DIR) + "/";
  const std::string missing = dir / "missing";
  testing_support::MakeDirs(dir / "tree");
  testing_support::WriteFile(dir / "tree/file", "x");
  const std::vector<std::vector<std::string>> commands = {
      {"upk", "list", missing},
      {"upk", "verify", dir / "tree/file", missing},
      {"kbdiff", missing, dir / "tree/file", dir / "out"},
      {"kbpatch", missing, dir / "out", dir / "tree/file"},
      {"make-update", "--verify", missing, dir / "tree"},
      {"make-update", "--from", missing, dir / "tree", dir / "out"},
      {"make-release", "--product", "p", "--version", "2.0", missing, dir / "out"},
      {"make-release", "resign", "--sign", dir / "tree/file", missing},
      {"update-client", "state", "--install", missing},
  };
  for (std::vector<std::string> argv : commands) {
    const std::string tool = argv[0];
    argv[0] = bin + tool;
    testing_support::ProcessOptions options;
    options.stderr_path = dir / "err";
    options.stdout_path = dir / "stdout";
    EXPECT_EQ(testing_support::RunProcess(argv, options), 2) << tool << " " << argv[1];
    EXPECT_EQ(ReadFile(dir / "err"),
              tool + ": cannot read " + missing + ": No such file or directory\n")
        << argv[1];
    EXPECT_FALSE(Exists(dir / "out")) << tool;
  }
}

}  // namespace
