// SPDX-License-Identifier: MIT
// The tools' command line (arguments.h).
#include "common/arguments.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/tool_version.h"

std::string ParsedArguments::Problem() const {
  switch (error) {
    case ArgumentError::kNone:
      break;
    case ArgumentError::kUnknownOption:
      return "unknown option " + offending;
    case ArgumentError::kMissingValue:
      return offending + " needs a value";
    case ArgumentError::kUnexpectedValue:
      return offending + " takes no value";
  }
  return "";
}

bool ParsedArguments::Has(const char *name) const {
  for (const Option &o : options) {
    if (o.name == name) return true;
  }
  return false;
}

std::string ParsedArguments::Value(const char *name) const {
  for (const Option &o : options) {
    if (o.name == name) return o.value;
  }
  return "";
}

ParsedArguments ParseArguments(int argc, char **argv, int first,
                               const std::vector<OptionSpec> &options) {
  ParsedArguments parsed;
  if (argc - first == 1 && strcmp(argv[first], "--version") == 0) {
    parsed.version = true;
    return parsed;
  }
  bool options_done = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (options_done || arg.size() < 2 || arg[0] != '-') {
      parsed.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_done = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      parsed.help = true;
      return parsed;
    }
    const size_t equals = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
    const std::string name = arg.substr(0, equals);
    const OptionSpec *known = nullptr;
    for (const OptionSpec &s : options) {
      if (name == s.name) known = &s;
    }
    parsed.offending = name;
    if (!known) {
      parsed.error = ArgumentError::kUnknownOption;
      return parsed;
    }
    ParsedArguments::Option option{name, ""};
    if (known->takes_value && equals != std::string::npos) {
      option.value = arg.substr(equals + 1);
    } else if (known->takes_value) {
      if (i + 1 >= argc) {
        parsed.error = ArgumentError::kMissingValue;
        return parsed;
      }
      option.value = argv[++i];
    } else if (equals != std::string::npos) {
      parsed.error = ArgumentError::kUnexpectedValue;
      return parsed;
    }
    parsed.options.push_back(option);
  }
  parsed.offending.clear();
  return parsed;
}

int ParseFileArguments(int argc, char **argv, const char *tool, const char *usage,
                       const char *synopsis, size_t count, std::vector<std::string> *files) {
  const ParsedArguments parsed = ParseArguments(argc, argv, 1, {});
  if (parsed.version) return PrintToolVersion(tool);
  if (parsed.help) {
    fputs(usage, stdout);
    return 0;
  }
  if (parsed.error != ArgumentError::kNone) {
    fprintf(stderr, "%s: unknown option %s\nTry '%s --help'.\n", tool, parsed.offending.c_str(),
            tool);
    return 1;
  }
  if (parsed.operands.size() > count) {
    fprintf(stderr, "%s: too many arguments\nTry '%s --help'.\n", tool, tool);
    return 1;
  }
  if (parsed.operands.size() != count) {
    fprintf(stderr, "Usage: %s %s\nTry '%s --help'.\n", tool, synopsis, tool);
    return 1;
  }
  *files = parsed.operands;
  return -1;
}

bool InputReadable(const char *tool, const std::string &path) {
  // Non-blocking, so that a pipe given by mistake does not wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "%s: cannot read %s: %s\n", tool, path.c_str(), strerror(errno));
    return false;
  }
  close(fd);
  return true;
}
