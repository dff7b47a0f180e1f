// SPDX-License-Identifier: MIT
// The command line of the tools: long options with a value ("--opt value" or "--opt=value") or
// without, -h/--help, --version as the only argument, operands, and "--" ending the options; and
// the check that an input file can be read. Parsing prints nothing: the first problem comes back
// in ParsedArguments for the tool to word in its own voice, with its own usage exit status.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct OptionSpec {
  const char *name;  // as written on the command line, "--product"
  bool takes_value;
};

enum class ArgumentError {
  kNone,
  kUnknownOption,    // an argument starting with '-' (not "-" alone) that no OptionSpec names
  kMissingValue,     // a value option at the end of the command line
  kUnexpectedValue,  // "--flag=value" for an option that takes none
};

struct ParsedArguments {
  struct Option {
    std::string name;   // the OptionSpec's name
    std::string value;  // empty for an option without a value
  };
  bool help = false;            // -h or --help (before "--"); parsing stopped there
  bool version = false;         // the command line is exactly "--version"; nothing else is parsed
  std::vector<Option> options;  // in command-line order; repeated options appear each time
  std::vector<std::string> operands;
  ArgumentError error = ArgumentError::kNone;  // the first problem; parsing stopped there
  std::string offending;                       // the option at fault, without "=value"

  // The problem in words: "unknown option --x", "--x needs a value", "--x takes no value"; "" when
  // there is none.
  std::string Problem() const;
  // The first value of option `name` ("" when absent) and whether it was given.
  bool Has(const char *name) const;
  std::string Value(const char *name) const;
};

// Parses argv[first] up to argv[argc - 1] against `options`. The value of a value option
// is the rest of its argument after '=', else the next argument taken as it is (even when it starts
// with '-'). Operands and options may be mixed; after "--" every argument is an operand.
ParsedArguments ParseArguments(int argc, char **argv, int first,
                               const std::vector<OptionSpec> &options);

// The command line of a tool that takes exactly `count` file operands and no other option than
// --help: fills `files` and returns -1 when the tool should go on, else the exit status to return
// at once: 0 after printing `usage` for --help or the version for --version, 1 after printing a
// wrong command line's problem in the tool's name.
int ParseFileArguments(int argc, char **argv, const char *tool, const char *usage,
                       const char *synopsis, size_t count, std::vector<std::string> *files);

// The exit status of every tool for an input file that cannot be read.
constexpr int kExitUnreadableInput = 2;

// Whether the input `path` (a file or a folder) can be opened for reading. When it cannot, prints
// "TOOL: cannot read PATH: REASON" (REASON from strerror) on standard error and returns false; the
// tool then exits with kExitUnreadableInput.
[[nodiscard]] bool InputReadable(const char *tool, const std::string &path);
