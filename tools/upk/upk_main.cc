// upk: builds and inspects update archives with the archive library's own operations. Every
// failure prints one line starting "upk: " (after any message of the library) and exits with 1;
// a usage error exits with 2.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive/upk.h"
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
    "    info      Print the signature area, the additional blocks, the product information\n"
    "              and the number of members.\n"
    "    set-product\n"
    "              Rewrite the product information of an unsigned ARCHIVE in place.\n"
    "\n"
    "OPTIONS\n"
    "    --product ID   product identifier, at most 63 characters\n"
    "    --version V    product version, at most 31 characters\n"
    "    -h, --help     print this text and exit\n"
    "\n"
    "EXIT STATUS\n"
    "    0 on success, 1 when the operation failed, 2 on a usage error.\n"
    "\n"
    "EXAMPLES\n"
    "    cd staging && upk create --product app --version 2.0 ../update.upk \\\n"
    "        updatev3.manifest bin/app\n"
    "    upk list update.upk\n"
    "    upk set-product --product app --version 2.0.1 update.upk\n";

struct Options {
  std::string command;
  const char *product = nullptr;
  const char *version = nullptr;
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
  UpkArchive *archive = upk_open(opts.operands[0]);
  if (!archive) return Fail("not a readable archive", opts.operands[0]);
  int rv = upk_for_each_item(archive, PrintItem, nullptr);
  upk_close(archive);
  return rv == 0 ? 0 : kExitFailure;
}

int Extract(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("extract needs exactly one archive");
  if (upk_extract_all(opts.operands[0]) != 0) return Fail("extraction failed", opts.operands[0]);
  return 0;
}

int Info(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("info needs exactly one archive");
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

int SetProduct(const Options &opts) {
  if (opts.operands.size() != 1) return UsageError("set-product needs exactly one archive");
  if (!opts.product || !opts.version)
    return UsageError("set-product needs --product and --version");
  if (!ProductStringsFit(opts.product, opts.version)) return kExitFailure;
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
  if (IsVersionRequest(argc, argv)) return PrintToolVersion("upk");
  Options opts;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (!options_done && (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)) {
      fputs(kUsage, stdout);
      return 0;
    }
    if (!options_done && strcmp(arg, "--") == 0) {
      options_done = true;
    } else if (!options_done && (strcmp(arg, "--product") == 0 || strcmp(arg, "--version") == 0)) {
      if (i + 1 >= argc) return UsageError("missing value for", arg);
      (arg[2] == 'p' ? opts.product : opts.version) = argv[++i];
    } else if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      return UsageError("unknown option", arg);
    } else if (opts.command.empty()) {
      opts.command = arg;
    } else {
      opts.operands.push_back(arg);
    }
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
  return UsageError("unknown command", opts.command.c_str());
}
