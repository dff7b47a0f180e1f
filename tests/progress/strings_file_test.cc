// SPDX-License-Identifier: MIT
#include "progress/strings_file.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

struct Outcome {
  int rv;
  std::string title;
  std::string info;
};

Outcome ReadText(const std::string &content) {
  TempDir dir;
  WriteFile(dir / "updater.ini", content);
  WindowStrings strings;
  int rv = ReadStringsFile((dir / "updater.ini").c_str(), &strings);
  return {rv, strings.title, strings.info};
}

TEST(StringsFile, AnyLineEndsYieldExactlyTheTwoValues) {
  for (const char *end : {"\n", "\r\n", "\r", "\n\n\r\n"}) {
    std::string e = end;
    Outcome o = ReadText("[Strings]" + e + "Title=Software Update" + e +
                         "Info=Please wait while we update your installation." + e);
    EXPECT_EQ(o.rv, 0) << "line end " << testing::PrintToString(e);
    EXPECT_EQ(o.title, "Software Update");
    EXPECT_EQ(o.info, "Please wait while we update your installation.");
  }
  // No line end after the last line, comments and other sections around the wanted one.
  Outcome o = ReadText(
      "; comment\n# Title=no\n[Other]\nTitle=other\n  [Strings]  \t\nTitle=T\n[Other]\n"
      "Info=other\n[Strings]\nInfo=I");
  EXPECT_EQ(o.rv, 0);
  EXPECT_EQ(o.title, "T");
  EXPECT_EQ(o.info, "I");
}

TEST(StringsFile, SectionNamesAreExact) {
  EXPECT_EQ(ReadText("[strings]\nTitle=T\nInfo=I\n").rv, 5);
  EXPECT_EQ(ReadText("[Other]\nTitle=T\nInfo=I\n").rv, 5);
  EXPECT_EQ(ReadText("Title=T\nInfo=I\n").rv, 5);  // before any header
  EXPECT_EQ(ReadText("[]\nTitle=T\nInfo=I\n").rv, 5);
  // Something behind the ']' other than blanks makes the header no header of the section.
  EXPECT_EQ(ReadText("[Strings] ; texts\nTitle=T\nInfo=I\n").rv, 5);
  EXPECT_EQ(ReadText("[Strings]]\nTitle=T\nInfo=I\n").rv, 5);
  // A missing ']' is accepted.
  Outcome o = ReadText("[Strings\nTitle=T\nInfo=I\n");
  EXPECT_EQ(o.rv, 0);
  EXPECT_EQ(o.title, "T");
  // Keys are exact too.
  EXPECT_EQ(ReadText("[Strings]\ntitle=T\nInfo=I\n").rv, 5);
}

TEST(StringsFile, KeysAndValuesAreNotTrimmed) {
  // A blank before '=' becomes part of the key, which is then not "Title".
  Outcome o = ReadText("[Strings]\nTitle =T\nInfo=I\n");
  EXPECT_EQ(o.rv, 5);
  EXPECT_EQ(o.title, "");
  EXPECT_EQ(o.info, "I");
  // Blanks after '=' and further '=' stay in the value; leading blanks before a key are skipped.
  o = ReadText("[Strings]\n  Title= a = b \n\tInfo==\n");
  EXPECT_EQ(o.rv, 0);
  EXPECT_EQ(o.title, " a = b ");
  EXPECT_EQ(o.info, "=");
  // An empty value counts as found.
  o = ReadText("[Strings]\nTitle=\nInfo=I\n");
  EXPECT_EQ(o.rv, 0);
  EXPECT_EQ(o.title, "");
  // A ';' after leading blanks is no comment: the line is a key line that matches nothing.
  o = ReadText("[Strings]\n ;Title=x\nInfo=I\n");
  EXPECT_EQ(o.rv, 5);
  EXPECT_EQ(o.title, "");
  // A line with an empty key names no key, even when a key-like text follows.
  EXPECT_EQ(ReadText("[Strings]\n=Title=x\nInfo=I\n").rv, 5);
  // Lines without '=' are ignored.
  EXPECT_EQ(ReadText("[Strings]\nTitle\nInfo=I\n").rv, 5);
}

TEST(StringsFile, LongValueIsCutTo599Characters) {
  std::string long_text(700, 'x');
  long_text[598] = 'y';
  Outcome o = ReadText("[Strings]\nTitle=" + long_text + "\nInfo=" + std::string(599, 'z') + "\n");
  EXPECT_EQ(o.rv, 0);
  EXPECT_EQ(o.title, long_text.substr(0, 599));
  EXPECT_EQ(o.info, std::string(599, 'z'));
}

// A repeated key keeps its later value, but the file is not complete: no window, whether the other
// key is missing or present.
TEST(StringsFile, RepeatedKeyFailsTheRead) {
  Outcome o = ReadText("[Strings]\nTitle=a\nTitle=b\n");
  EXPECT_EQ(o.rv, 5);
  EXPECT_EQ(o.info, "");
  o = ReadText("[Strings]\nTitle=a\nInfo=I\nTitle=b\n");
  EXPECT_EQ(o.rv, 5);
  EXPECT_EQ(o.title, "b");
  EXPECT_EQ(o.info, "I");
  // Also when the second one stands in another stretch of the same section.
  EXPECT_EQ(ReadText("[Strings]\nTitle=a\nInfo=I\n[Other]\n[Strings]\nInfo=J\n").rv, 5);
}

TEST(StringsFile, EmptyMissingOrUnreadableFileIsAReadError) {
  EXPECT_EQ(ReadText("").rv, 6);
  TempDir dir;
  WindowStrings strings;
  EXPECT_EQ(ReadStringsFile((dir / "missing.ini").c_str(), &strings), 6);
  EXPECT_STREQ(strings.title, "");
  EXPECT_EQ(ReadStringsFile(dir.path().c_str(), &strings), 6);  // a directory
}

// The general reader: any section, any list of keys, only the first key_count of them wanted.
TEST(IniValues, ReadsTheKeysOfTheNamedSection) {
  static const char kKeys[] = "A\0B\0C\0";
  char text[] = "[S]\nC=3\nA=1\n[T]\nB=t\n";
  IniValue values[3] = {};
  EXPECT_EQ(ParseIniValues(text, kKeys, 2, values, "S"), 5);  // B is not in [S]
  EXPECT_STREQ(values[0], "1");
  EXPECT_STREQ(values[2], "");  // C lies beyond the two keys asked for

  char text2[] = "[T]\nB=t\n";
  EXPECT_EQ(ParseIniValues(text2, kKeys + 2, 1, values, "T"), 0);  // the list "B", "C"
  EXPECT_STREQ(values[0], "t");
}

}  // namespace
