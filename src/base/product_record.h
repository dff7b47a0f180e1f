// SPDX-License-Identifier: MIT
// The installation's product record, "update-product" beside "update-keys": the product it is and
// the version installed, which every update's archive must match. One format, read by the updater
// and written by make-update (docs/product-record.md). Parsing reports failure as false and a
// sentence; nothing here logs.
//
// The text is three lines, each ending in a line feed:
//   update-product 1
//   product <product_id>      1 to 63 bytes
//   version <version>         1 to 31 bytes
// neither holding a blank, a comma or a control character.
#pragma once

#include <string>

struct ProductRecord {
  std::string product;
  std::string version;
};

// The first line; a record whose first line differs (another format number) is refused.
constexpr char kProductRecordHeader[] = "update-product 1";

// The record text for `record`. REQUIRES: FitsProductRecord(record).
std::string FormatProductRecord(const ProductRecord &record);
// Whether `record` can be written (the limits above); false with the reason.
[[nodiscard]] bool FitsProductRecord(const ProductRecord &record, std::string *why);
// Parses record text. False with the reason when it is not exactly such a record.
[[nodiscard]] bool ParseProductRecord(const std::string &text, ProductRecord *record,
                                      std::string *why);
