// SPDX-License-Identifier: MIT
#include "base/tokenizer.h"

#include <gtest/gtest.h>

#include <string>

#include "base/update_log.h"
#include "support/log_capture.h"
#include "support/test_support.h"

namespace {

TEST(NextToken, LineRunsOfBothConventionsYieldNoEmptyLines) {
  char text[] = "a\r\n\r\nb";
  char *cursor = text;
  EXPECT_STREQ(next_token("\r\n", &cursor), "a");
  EXPECT_STREQ(next_token("\r\n", &cursor), "b");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(next_token("\r\n", &cursor), nullptr);
}

TEST(NextToken, OnlyDelimitersLeaveCursorAtEnd) {
  char text[] = " \t ";
  char *cursor = text;
  EXPECT_EQ(next_token(" \t", &cursor), nullptr);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(*cursor, '\0');
}

TEST(NextToken, NestedCursorsWalkLinesAndFields) {
  char text[] = "add \"x\"\nremove \"y\"\n";
  char *lines = text;
  std::string seen;
  while (char *line = next_token("\r\n", &lines)) {
    char *fields = line;
    char *keyword = next_token(" \t", &fields);
    char *arg = next_token("\"", &fields);
    seen += std::string(keyword) + ":" + arg + ";";
  }
  EXPECT_EQ(seen, "add:x;remove:y;");
}

// Every refusal of get_valid_path writes its own line to the log.
TEST(GetValidPath, AcceptsAndRefusesWithItsMessages) {
  testing_support::LogCapture log;

  char dir_arg[] = "\"a/b/\"";
  char *c = dir_arg;
  EXPECT_STREQ(get_valid_path(&c, true), "a/b");

  char no_slash[] = "\"a/b\"";
  c = no_slash;
  EXPECT_EQ(get_valid_path(&c, true), nullptr);

  char absolute[] = "\"/etc/x\"";
  c = absolute;
  EXPECT_EQ(get_valid_path(&c, false), nullptr);

  char dots[] = "\"a..b\"";
  c = dots;
  EXPECT_EQ(get_valid_path(&c, false), nullptr);

  char unquoted[] = "dir/file";
  c = unquoted;
  EXPECT_STREQ(get_valid_path(&c, false), "dir/file");

  char two_blanks[] = " \"x\"";  // the second blank after a keyword starts the argument
  c = two_blanks;
  EXPECT_STREQ(get_valid_path(&c, false), " ");

  char empty[] = "";
  c = empty;
  EXPECT_EQ(get_valid_path(&c, false), nullptr);

  EXPECT_EQ(log.Text(),
            "get_valid_path: directory paths must have a trailing forward slash: a/b\n"
            "get_valid_path: path must be relative: /etc/x\n"
            "get_valid_path: paths must not contain '..': a..b\n"
            "get_valid_path: unable to determine path: \n");
}

}  // namespace
