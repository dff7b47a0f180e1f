// SPDX-License-Identifier: MIT
// upk: builds and inspects update archives with the archive library's own operations. Every
// failure prints one line starting "upk: " (after any message of the library) and exits with 1;
// a usage error or an input file that cannot be read exits with 2.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/upk.h"
#include "common/archive_signing.h"
#include "common/arguments.h"
#include "common/tool_version.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "NAME\n"
    "    upk - build and inspect update archives\n"
    "\n"
    "SYNOPSIS\n"
    "    upk create [--product ID] [--version V] ARCHIVE FILE...\n"
    "    upk list ARCHIVE\n"
    "    upk extract ARCHIVE\n"
    "    upk info ARCHIVE\n"
    "    upk set-product --product ID --version V ARCHIVE\n"
    "    upk keygen [--force] PUBLIC SECRET\n"
    "    upk sign ARCHIVE SECRET\n"
    "    upk verify ARCHIVE PUBLIC...\n"
    "    upk --help\n"
    "\n"
    "DESCRIPTION\n"
    "    An update archive holds the members of an update (the manifest, new files, patches),\n"
    "    each stored as the bytes of the file it was made from (normally a bzip2 stream), and a\n"
    "    Product Information Block naming the product and the version the update brings.\n"
    "    Options may come before or after the archive.\n"
    "\n"
    "COMMANDS\n"
    "    create    Write ARCHIVE from the FILEs, in the order given. Each member is named by\n"
    "              the path exactly as given, which must be relative, without \".\" or \"..\"\n"
    "              parts; its permission bits are the file's. An existing ARCHIVE is replaced.\n"
    "              The product identifier and version default to empty strings.\n"
    "    list      Print one line per member: permission bits (octal), stored length in bytes\n"
    "              and name, in the archive's hash-table order.\n"
    "    extract   Write every member's stored bytes (not decompressed) to a file named by the\n"
    "              member, below the current directory, creating parent directories. Members\n"
    "              with absolute names or \"..\" parts are refused.\n"
    "    info      Print the signature area (with the algorithm and key identifier of each\n"
    "              signature), the additional blocks, the product information and the number\n"
    "              of members.\n"
    "    set-product\n"
    "              Rewrite the product information of an unsigned ARCHIVE in place.\n"
    "    keygen    Make a signing key pair: the SECRET key file (mode 0600; keep it out of the\n"
    "              installation) and the PUBLIC key file, which the installation ships in\n"
    "              update-keys/. Existing files are kept unless --force is given.\n"
    "    sign      Add the Ed25519 signature of the SECRET key to ARCHIVE, replacing an\n"
    "              earlier signature of the same key; other signatures stay valid (at most 8).\n"
    "    verify    Check ARCHIVE against the PUBLIC key files; succeeds only when one of them\n"
    "              has a valid signature in it, and says which (or why it is refused).\n"
    "\n"
    "OPTIONS\n"
    "    --product ID   product identifier, at most 63 characters\n"
    "    --version V    product version, at most 31 characters\n"
    "    --force        let keygen replace existing key files\n"
    "    -h, --help     print this text and exit\n"
    "    --version      as the only argument: print the version of upk and exit\n"
    "    A value may also be joined to its option with '=' (--product=ID); \"--\" ends the\n"
    "    options, so that the arguments after it may start with '-'.\n"
    "\n"
    "EXIT STATUS\n"
    "    0 on success, 1 when the operation failed (verify: the archive is refused), 2 on a\n"
    "    usage error or when an input file cannot be read (\"upk: cannot read FILE: REASON\").\n"
    "\n"
    "EXAMPLES\n"
    "    cd staging && upk create --product app --version 2.0 ../update.upk \\\n"
    "        updatev3.manifest bin/app\n"
    "    upk list update.upk\n"
    "    upk set-product --product app --version 2.0.1 update.upk\n"
    "    upk keygen app-2026.pub ~/keys/app-2026.secret\n"
    "    upk sign update.upk ~/keys/app-2026.secret\n"
    "    upk verify update.upk app-2026.pub\n";

struct Options {
  std::string command;
  const char *product = nullptr;
  const char *version = nullptr;
  bool force = false;
  std::vector<const char *> operands;
};

int UsageError(const char *what, const char *detail = nullptr) {
  if (detail) {
    fprintf(stderr, "upk: %s: %s\n", what, detail);
  } else {
    fprintf(stderr, "upk: %s\n", what);
  }
  fputs("Try 'upk --help' for more information.\n", stderr);
  return kExitUsage;
}

// Whether the operands from `first` up to `last` (exclusive) can be read; prints the first that
// cannot ("upk: cannot read PATH: REASON").
bool InputsReadable(const Options &opts, size_t first, size_t last) {
  for (size_t i = first; i < last && i < opts.operands.size(); ++i) {
    if (!InputReadable("upk", opts.operands[i])) return false;
  }
  return true;
}

int Fail(const char *what, const char *path) {
  fprintf(stderr, "upk: %s: %s\n", what, path);
  return kExitFailure;
}

// A member name the extraction accepts: relative, not empty, no "." or ".." parts, no "//".
bool IsPlainRelativeName(const char *name) {
  if (name[0] == '\0' || name[0] == '/') return false;
  const char *part = name;
  while (true) {
    const char *slash = strchr(part, '/');
    std::string piece = slash ? std::string(part, slash) : std::string(part);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (!slash) return true;
    part = slash + 1;
  }
}

// Checks the product strings against the block's limits; prints the problem.
bool ProductStringsFit(const char *product, const char *version) {
  if (strlen(product) > 63) {
    fprintf(stderr, "upk: product identifier longer than 63 characters: %s\n", product);
    return false;
  }
  if (strlen(version) > 31) {
    fprintf(stderr, "upk: product version longer than 31 characters: %s\n", version);
    return false;
  }
  return true;
}

int Create(const Options &opts) {
  if (opts.operands.size() < 2) return UsageError("create needs an archive and at least one file");
  const char *archive = opts.operands[0];
  std::vector<const char *> files(opts.operands.begin() + 1, opts.operands.end());
  for (const char *file : files) {
    if (!IsPlainRelativeName(file)) {
      return Fail("member names must be relative paths without '.' or '..' parts", file);
    }
  }
  if (!InputsReadable(opts, 1, opts.operands.size())) return kExitUnreadableInput;
  std::string product = opts.product ? opts.product : "";
  std::string version = opts.version ? opts.version : "";
  if (!ProductStringsFit(product.c_str(), version.c_str())) return kExitFailure;
  UpkProductInfo info = {product.data(), version.data()};
  if (upk_create_archive(archive, static_cast<int>(files.size()), files.data(), &info) != 0) {
    return Fail("could not create archive", archive);
  }
  return 0;
}

int PrintItem(UpkArchive *, UpkItem *item, void *) {
  printf("%04o %10u %s\n", item->flags & 07777, item->length, item->name);
  return 0;
}

int CountItem(UpkArchive *, UpkItem *, void *user) {
  ++*static_cast<unsigned long *>(user);
  return 0;
}

int List(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("list needs exactly one archive");
  if (!InputsReadable(opts, 0, 1)) return kExitUnreadableInput;
  UpkArchive *archive = upk_open(opts.operands[0]);
  if (!archive) return Fail("not a readable archive", opts.operands[0]);
  int rv = upk_for_each_item(archive, PrintItem, nullptr);
  upk_close(archive);
  return rv == 0 ? 0 : kExitFailure;
}

int Extract(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("extract needs exactly one archive");
  if (!InputsReadable(opts, 0, 1)) return kExitUnreadableInput;
  if (upk_extract_all(opts.operands[0]) != 0) return Fail("extraction failed", opts.operands[0]);
  return 0;
}

// One line per signature entry, after the signature area's line of `info`.
int PrintSignatures(const char *path) {
  std::vector<SignatureInfo> list;
  std::string error;
  if (ListSignatures(path, &list, &error) != 0) return Fail(error.c_str(), path);
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i].algorithm == upk_signature::kAlgorithmEd25519) {
      printf("signature %zu: algorithm 1 (Ed25519), key %s\n", i + 1, list[i].key_id.c_str());
    } else {
      printf("signature %zu: algorithm %u (unknown), %u bytes\n", i + 1, list[i].algorithm,
             list[i].size);
    }
  }
  return 0;
}

int Info(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("info needs exactly one archive");
  if (!InputsReadable(opts, 0, 1)) return kExitUnreadableInput;
  const char *path = opts.operands[0];
  UpkArchive *archive = upk_open(path);
  if (!archive) return Fail("not a readable archive", path);
  unsigned long items = 0;
  int walk = upk_for_each_item(archive, CountItem, &items);
  upk_close(archive);
  if (walk != 0) return Fail("could not count the members", path);

  bool has_signatures = false;
  uint32_t signatures = 0;
  bool has_blocks = false;
  uint32_t first_block = 0;
  uint32_t blocks = 0;
  if (get_upk_file_info(path, &has_signatures, &signatures, &has_blocks, &first_block, &blocks) !=
      0) {
    return Fail("could not read the archive's layout", path);
  }
  if (has_signatures) {
    printf("signature area: yes, %u signature%s\n", signatures, signatures == 1 ? "" : "s");
    if (PrintSignatures(path) != 0) return kExitFailure;
  } else {
    printf("signature area: no (older layout)\n");
  }
  if (has_blocks) {
    printf("additional blocks: %u, the first at offset %u\n", blocks, first_block);
  } else {
    printf("additional blocks: none\n");
  }
  UpkProductInfo product = {nullptr, nullptr};
  if (has_blocks && read_product_info_block(path, &product) == 0) {
    printf("product id: %s\nproduct version: %s\n", product.product_id, product.product_version);
    upk_free_product_info(&product);
  } else {
    printf("product information: none\n");
  }
  printf("members: %lu\n", items);
  return 0;
}

int Keygen(const Options &opts) {
  if (opts.operands.size() != 2) return UsageError("keygen needs a public and a secret key file");
  std::string id, error;
  if (MakeKeyPair(opts.operands[0], opts.operands[1], opts.force, &id, &error) != 0) {
    fprintf(stderr, "upk: %s\n", error.c_str());
    return kExitFailure;
  }
  printf("key %s: public key %s, secret key %s\n", id.c_str(), opts.operands[0], opts.operands[1]);
  return 0;
}

int SignCommand(const Options &opts) {
  if (opts.operands.size() != 2) return UsageError("sign needs an archive and a secret key file");
  if (!InputsReadable(opts, 0, 2)) return kExitUnreadableInput;
  std::string error;
  if (SignArchiveFile(opts.operands[0], opts.operands[1], &error) != 0) {
    fprintf(stderr, "upk: cannot sign %s: %s\n", opts.operands[0], error.c_str());
    return kExitFailure;
  }
  return 0;
}

int VerifyCommand(const Options &opts) {
  if (opts.operands.size() < 2) {
    return UsageError("verify needs an archive and at least one public key file");
  }
  if (!InputsReadable(opts, 0, opts.operands.size())) return kExitUnreadableInput;
  std::vector<std::string> keys(opts.operands.begin() + 1, opts.operands.end());
  std::string report;
  int rv = VerifyArchiveFile(opts.operands[0], keys, &report);
  if (rv == 0) {
    printf("%s: %s\n", opts.operands[0], report.c_str());
    return 0;
  }
  if (rv < 0) {
    fprintf(stderr, "upk: malformed key file %s\n", report.c_str());
  } else {
    fprintf(stderr, "upk: %s refused: %s\n", opts.operands[0], report.c_str());
  }
  return kExitFailure;
}

int SetProduct(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("set-product needs exactly one archive");
  if (!opts.product || !opts.version)
    return UsageError("set-product needs --product and --version");
  if (!ProductStringsFit(opts.product, opts.version)) return kExitFailure;
  if (!InputsReadable(opts, 0, 1)) return kExitUnreadableInput;
  std::string product = opts.product;
  std::string version = opts.version;
  UpkProductInfo info = {product.data(), version.data()};
  if (upk_refresh_product_info(opts.operands[0], &info) != 0) {
    return Fail("could not rewrite the product information", opts.operands[0]);
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  const ParsedArguments parsed =
      ParseArguments(argc, argv, 1, {{"--force", false}, {"--product", true}, {"--version", true}});
  if (parsed.version) return PrintToolVersion("upk");
  if (parsed.help) {
    fputs(kUsage, stdout);
    return 0;
  }
  switch (parsed.error) {
    case ArgumentError::kNone:
      break;
    case ArgumentError::kUnknownOption:
      return UsageError("unknown option", parsed.offending.c_str());
    case ArgumentError::kMissingValue:
      return UsageError("missing value for", parsed.offending.c_str());
    case ArgumentError::kUnexpectedValue:
      return UsageError("no value is taken by", parsed.offending.c_str());
  }
  Options opts;
  for (const ParsedArguments::Option &option : parsed.options) {
    if (option.name == "--force") opts.force = true;
    if (option.name == "--product") opts.product = option.value.c_str();
    if (option.name == "--version") opts.version = option.value.c_str();
  }
  if (!parsed.operands.empty()) opts.command = parsed.operands[0];
  for (size_t i = 1; i < parsed.operands.size(); ++i) {
    opts.operands.push_back(parsed.operands[i].c_str());
  }
  if (opts.command.empty()) return UsageError("no command given");
  if (opts.command != "create" && opts.command != "set-product" && (opts.product || opts.version)) {
    return UsageError("--product and --version apply to create and set-product only");
  }
  if (opts.command == "create") return Create(opts);
  if (opts.command == "list") return List(opts);
  if (opts.command == "extract") return Extract(opts);
  if (opts.command == "info") return Info(opts);
  if (opts.command == "set-product") return SetProduct(opts);
  if (opts.force && opts.command != "keygen") return UsageError("--force applies to keygen only");
  if (opts.command == "keygen") return Keygen(opts);
  if (opts.command == "sign") return SignCommand(opts);
  if (opts.command == "verify") return VerifyCommand(opts);
  return UsageError("unknown command", opts.command.c_str());
}
