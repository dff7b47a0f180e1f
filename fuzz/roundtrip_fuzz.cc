// SPDX-License-Identifier: MIT
// Writing an archive with the library's writer and reading it back: members with names, contents
// and permission bits taken from the input, and product strings that the writer must either store
// exactly or refuse when too long. Every member read back has its bytes, its bits and its name; the
// layout report and the product information match what was written.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "archive/upk.h"
#include "fuzz_support.h"

namespace {

// Reads the input front to back; past its end every read yields 0 / nothing.
struct Reader {
  const uint8_t *data;
  size_t size;
  size_t at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  std::string Bytes(size_t n) {
    n = n < size - at ? n : size - at;
    std::string out(reinterpret_cast<const char *>(data + at), n);
    at += n;
    return out;
  }
};

// A product string without NUL bytes.
std::string Text(Reader *in, size_t max) {
  std::string out = in->Bytes(in->Byte() % (max + 1));
  for (char &c : out) {
    if (c == '\0') c = '_';
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_support::InScratchDir here;
  Reader in{data, size};

  static const char kNameChars[] = "abcdefghijklmnopqrstuvwxyz0123456789._-";
  const int count = 1 + in.Byte() % 6;
  std::vector<std::string> names;
  std::vector<std::string> contents;
  std::vector<mode_t> modes;
  for (int i = 0; i < count; ++i) {
    // Distinct names: an index prefix and up to 12 characters from the input.
    std::string name = "m" + std::to_string(i);
    for (int n = in.Byte() % 13; n > 0; --n) name.push_back(kNameChars[in.Byte() % 39]);
    std::string content = in.Bytes((size_t{in.Byte()} << 4) | (in.Byte() & 0x0F));
    mode_t mode = 0400 | (((mode_t{in.Byte()} << 8) | in.Byte()) & 0777);
    FILE *f = fopen(name.c_str(), "wb");
    FUZZ_CHECK(f && fwrite(content.data(), 1, content.size(), f) == content.size());
    FUZZ_CHECK(fclose(f) == 0 && chmod(name.c_str(), mode) == 0);
    names.push_back(name);
    contents.push_back(content);
    modes.push_back(mode);
  }
  std::string id = Text(&in, 70);
  std::string version = Text(&in, 40);
  UpkProductInfo info = {id.data(), version.data()};

  std::vector<const char *> files;
  for (const std::string &name : names) files.push_back(name.c_str());
  int rv = upk_create_archive("rt.upk", count, files.data(), &info);
  for (const std::string &name : names) unlink(name.c_str());
  if (id.size() > 63 || version.size() > 31) {
    FUZZ_CHECK(rv == -1);
    FUZZ_CHECK(access("rt.upk", F_OK) != 0);
    return 0;
  }
  FUZZ_CHECK(rv == 0);

  bool has_signatures = false;
  bool has_blocks = false;
  uint32_t signatures = 99;
  uint32_t first_block = 0;
  uint32_t blocks = 0;
  FUZZ_CHECK(get_upk_file_info("rt.upk", &has_signatures, &signatures, &has_blocks, &first_block,
                               &blocks) == 0);
  FUZZ_CHECK(has_signatures && signatures == 0 && has_blocks && first_block == 24 && blocks == 1);

  UpkArchive *archive = upk_open("rt.upk");
  FUZZ_CHECK(archive != nullptr);
  int walked = 0;
  FUZZ_CHECK(upk_for_each_item(
                 archive,
                 [](UpkArchive *, UpkItem *, void *n) { return ++*static_cast<int *>(n), 0; },
                 &walked) == 0);
  FUZZ_CHECK(walked == count);
  for (int i = 0; i < count; ++i) {
    UpkItem *item = upk_lookup(archive, names[i].c_str());
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(item->flags == (modes[i] & 0777));
    FUZZ_CHECK(item->length == contents[i].size());
    std::string back;
    char buffer[777];
    int got;
    while ((got = upk_read_item(archive, item, static_cast<int32_t>(back.size()), buffer,
                                sizeof(buffer))) > 0) {
      back.append(buffer, static_cast<size_t>(got));
    }
    FUZZ_CHECK(got == 0);
    FUZZ_CHECK(back == contents[i]);
  }
  UpkProductInfo read_back = {nullptr, nullptr};
  FUZZ_CHECK(upk_get_product_info(archive, &read_back) == 0);
  FUZZ_CHECK(id == read_back.product_id && version == read_back.product_version);
  upk_free_product_info(&read_back);
  upk_close(archive);
  unlink("rt.upk");
  return 0;
}
