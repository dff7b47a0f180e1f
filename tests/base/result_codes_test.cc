// SPDX-License-Identifier: MIT
// The table of result-code meanings is the only place they are written: docs/result-codes.md must
// hold exactly the table rendered from it, and the table must name each code once, in order.
#include <gtest/gtest.h>

#include <string>

#include "base/result.h"
#include "support/test_support.h"

namespace {

// The Markdown table that docs/result-codes.md ends with.
std::string RenderTable() {
  std::string table = "| N | constant | meaning |\n|---|---|---|\n";
  for (const result::Meaning &m : result::kMeanings) {
    table += "| " + std::to_string(m.code) + " | `result::" + m.name + "` | " + m.text + " |\n";
  }
  return table;
}

TEST(ResultCodes, DocumentIsTheTableAndTheTableIsOrdered) {
  const std::string doc =
      testing_support::ReadFile(std::string(UPDATER_SOURCE_DIR) + "/docs/result-codes.md");
  const size_t at = doc.find("| N |");
  ASSERT_NE(at, std::string::npos) << "docs/result-codes.md has no table";
  EXPECT_EQ(doc.substr(at), RenderTable())
      << "docs/result-codes.md is out of date; its table must read:\n"
      << RenderTable();

  int previous = -2;
  for (const result::Meaning &m : result::kMeanings) {
    EXPECT_LT(previous, m.code) << m.name;
    previous = m.code;
  }
  EXPECT_STREQ(result::MeaningOf(3), "unexpected failure");
}

}  // namespace
