// SPDX-License-Identifier: MIT
#include "base/product_record.h"

namespace {

// 1 to `limit` bytes, none of them a control character, a blank or a comma.
bool Fits(const std::string &text, size_t limit) {
  if (text.empty() || text.size() > limit) return false;
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7f || c == ',') return false;
  }
  return true;
}

}  // namespace

std::string FormatProductRecord(const ProductRecord &record) {
  return std::string(kProductRecordHeader) + "\nproduct " + record.product + "\nversion " +
         record.version + "\n";
}

bool FitsProductRecord(const ProductRecord &record, std::string *why) {
  if (!Fits(record.product, 63)) {
    *why = "the product must be 1 to 63 bytes without blanks, commas or control characters";
    return false;
  }
  if (!Fits(record.version, 31)) {
    *why = "the version must be 1 to 31 bytes without blanks, commas or control characters";
    return false;
  }
  return true;
}

bool ParseProductRecord(const std::string &text, ProductRecord *record, std::string *why) {
  const std::string head = std::string(kProductRecordHeader) + "\nproduct ";
  if (text.compare(0, head.size(), head) != 0) {
    *why = std::string("it does not start with \"") + kProductRecordHeader +
           "\" and a product line (another format, or not a product record)";
    return false;
  }
  const size_t product_end = text.find('\n', head.size());
  const std::string version_key = "version ";
  if (product_end == std::string::npos ||
      text.compare(product_end + 1, version_key.size(), version_key) != 0) {
    *why = "the second line must be followed by a \"version\" line";
    return false;
  }
  const size_t version_start = product_end + 1 + version_key.size();
  const size_t version_end = text.find('\n', version_start);
  if (version_end == std::string::npos || version_end + 1 != text.size()) {
    *why = "the version line must be the last line and end in a line feed";
    return false;
  }
  ProductRecord parsed{text.substr(head.size(), product_end - head.size()),
                       text.substr(version_start, version_end - version_start)};
  if (!FitsProductRecord(parsed, why)) return false;
  *record = parsed;
  return true;
}
