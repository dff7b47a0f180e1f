// SPDX-License-Identifier: MIT
#include "actions/manifest.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "actions/update_fixture.h"

using namespace testing_support;

namespace {

class Manifest : public UpdateFixture {
 protected:
  // Parses `text` into `list_`; returns the loop's result.
  int Parse(const std::string &text) { return ParseManifest(Keep(text), &list_, &owned_); }
  // Parses `text`, then runs the Prepare pass alone, which logs one line per action in list order.
  std::string PrepareLog(const std::string &text) {
    EXPECT_EQ(Parse(text), 0) << text;
    EXPECT_EQ(list_.Prepare(), 0);
    list_.Destroy();
    return Log();
  }

  ManifestTexts owned_;
  ActionList list_{&ctx_};  // destroyed before texts_
};

TEST_F(Manifest, LineEndsCommentsAndBlankLinesParseAlike) {
  WriteFile(Here("a"), "a");
  MakeDirs(Here("d"));
  const std::string lf =
      "# a comment: remove \"d/\"\n\nremove \"a\"\n\n\n  # not a comment\t\"d/\"\nadd n\n";
  std::string crlf, cr;
  for (char c : lf) {
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    cr += c == '\n' ? '\r' : c;
  }
  // "#" only counts as the first byte; the keyword after blanks is "#", unknown.
  EXPECT_EQ(Parse(lf), 5);
  EXPECT_EQ(Log(), "DoUpdate: unknown token: #\n");
  list_.Destroy();

  const std::string expected = "PREPARE REMOVEFILE a\nPREPARE REMOVEDIR d/\nPREPARE ADD n\n";
  for (std::string text : {lf, crlf, cr}) {
    text.replace(text.find("  # not a comment\t"), 18, "rmdir\t");
    EXPECT_EQ(PrepareLog(text), expected) << text;
  }
}

TEST_F(Manifest, TypeIsHonouredOnlyAsTheFirstInstruction) {
  EXPECT_EQ(Parse("# first\n\ntype \"partial\"\nadd \"x\"\n"), 0);
  EXPECT_EQ(list_.count(), 1);
  EXPECT_EQ(Log(), "UPDATE TYPE partial\n");
  list_.Destroy();

  EXPECT_EQ(Parse("add \"x\"\ntype \"complete\"\n"), 5);
  EXPECT_EQ(Log(), "DoUpdate: unknown token: type\n");
  list_.Destroy();

  EXPECT_EQ(Parse("type\n"), 5) << "a type without value cannot be understood";
  list_.Destroy();

  // Comments, blank lines and a type make no action; the Prepare pass then fails with 40.
  EXPECT_EQ(Parse("# only\r\n\r\ntype \"partial\"\r\n# comments\r\n"), 0);
  EXPECT_EQ(list_.Prepare(), 40);
  EXPECT_EQ(Log(), "UPDATE TYPE partial\nempty action list\n");
}

TEST_F(Manifest, LinesThatCannotBeUnderstoodFailWithFive) {
  struct Case {
    std::string text, log;
  };
  for (const Case &c : {
           Case{"add \"a\"\n  \t \nadd \"b\"\n", "DoUpdate: token not found in manifest\n"},
           Case{"Add \"a\"\n", "DoUpdate: unknown token: Add\n"},
           Case{"patch \"p\"\n", ""},
           Case{"rmrfdir \"d\"\n", ""},
           Case{"rmrfdir\n", ""},
       }) {
    EXPECT_EQ(Parse(c.text), 5) << c.text;
    EXPECT_EQ(Log(), c.log) << c.text;
    list_.Destroy();
  }
}

// The pure parse yields the disk steps where they stand and reads nothing: with neither a
// "precomplete" file nor the tree, the entries come out in line order and only the type is logged.
TEST_F(Manifest, ParserYieldsDiskStepsInLineOrderWithoutReadingThem) {
  char *text = Keep("type \"complete\"\nrmrfdir \"gone/\"\nadd \"x\"\n");
  ManifestParser parser(text);
  ManifestEntry entry;
  std::string kinds;
  do {
    ASSERT_EQ(parser.Next(&entry), 0);
    kinds += "EAPR"[static_cast<int>(entry.kind)];
    if (entry.kind == ManifestEntry::Kind::kRmrfdir) {
      EXPECT_STREQ(entry.directory, "gone/");
    }
  } while (entry.kind != ManifestEntry::Kind::kEnd);
  EXPECT_EQ(kinds, "PRAE");
  EXPECT_EQ(Log(), "UPDATE TYPE complete\n");

  // The precomplete text alone, parsed into removals; "remove-cc" lines are skipped.
  EXPECT_EQ(ParsePrecomplete(Keep("remove \"a\"\nremove-cc \"b\"\nrmdir \"d/\"\n"), &list_), 0);
  EXPECT_EQ(list_.count(), 2);
  EXPECT_EQ(ParsePrecomplete(Keep("add \"a\"\n"), &list_), 5);
  EXPECT_EQ(Log(), "AddPreCompleteActions: unknown token: add\n");
}

// The reader appends a NUL, so a NUL byte in the file ends the manifest there.
TEST_F(Manifest, ReaderReturnsTheWholeFileUpToAnyNul) {
  const char bytes[] = "add \"a\"\nadd \"b\"\0garbage \"x\"\n";
  WriteFile(outside_ / "m", std::string(bytes, sizeof(bytes) - 1));
  char *text = owned_.Keep(GetManifestContents((outside_ / "m").c_str()));
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(ParseManifest(text, &list_, &owned_), 0);
  EXPECT_EQ(list_.count(), 2);

  EXPECT_EQ(GetManifestContents((outside_ / "none").c_str()), nullptr);
  EXPECT_EQ(GetManifestContents(outside_.path().c_str()), nullptr);
  EXPECT_EQ(Log(), "GetManifestContents: error opening manifest file: " + outside_ / "none" +
                       "\nGetManifestContents: error reading manifest file: " + outside_.path() +
                       "\n");
}

// Every entry's removal comes before its directory's; the given directory comes last. Run as a
// whole, the tree is gone and no backup is left.
TEST_F(Manifest, RmrfdirRemovesTheTreeFromTheBottomUp) {
  for (const char *f : {"d/a", "d/s/x", "d/s/t/y", "d/z", "keep"}) WriteFile(Here(f), f);
  MakeDirs(Here("d/empty"));
  std::string log = PrepareLog("rmrfdir \"d/\"\n");
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
    lines.push_back(log.substr(at, end - at));
  }
  ASSERT_EQ(lines.size(), 8u) << log;
  EXPECT_EQ(lines.back(), "PREPARE REMOVEDIR d/");
  auto index = [&](const std::string &line) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == line) return static_cast<int>(i);
    }
    ADD_FAILURE() << "missing: " << line << "\n" << log;
    return -1;
  };
  EXPECT_LT(index("PREPARE REMOVEFILE d/s/t/y"), index("PREPARE REMOVEDIR d/s/t/"));
  EXPECT_LT(index("PREPARE REMOVEDIR d/s/t/"), index("PREPARE REMOVEDIR d/s/"));
  EXPECT_LT(index("PREPARE REMOVEFILE d/s/x"), index("PREPARE REMOVEDIR d/s/"));
  index("PREPARE REMOVEFILE d/a");
  index("PREPARE REMOVEFILE d/z");
  index("PREPARE REMOVEDIR d/empty/");

  EXPECT_EQ(Parse("rmrfdir \"d/\"\n"), 0);
  EXPECT_EQ(Run(list_), 0);
  EXPECT_EQ(DiffSnapshots({{"keep", {'f', 0644, "keep"}}}, Installation()), "");

  // A directory that does not exist adds nothing and is no error.
  EXPECT_EQ(Parse("rmrfdir \"gone/\"\n"), 0);
  EXPECT_EQ(list_.count(), 0);
}

// The walk reports a link to a directory as the link itself: a file removal, which then finds a
// directory behind it. Absolute or ".." directories are refused through the paths they produce.
TEST_F(Manifest, RmrfdirOverLinksAndRefusedPaths) {
  WriteFile(Here("real/f"), "f");
  ASSERT_EQ(symlink("real", Here("ln").c_str()), 0);
  Snapshot before = Installation();
  EXPECT_EQ(Parse("rmrfdir \"ln/\"\n"), 0);
  EXPECT_EQ(list_.count(), 1);
  EXPECT_EQ(Run(list_), 42);
  EXPECT_EQ(DiffSnapshots(before, Installation()), "");
  EXPECT_EQ(Log(),
            "add_dir_entries: found a non-standard file: ln\n"
            "PREPARE REMOVEFILE ln\n"
            "path present, but not a file: ln\n");

  EXPECT_EQ(Parse("rmrfdir \"" + Here("real") + "/\"\n"), 5);
  EXPECT_EQ(Log(), "get_valid_path: path must be relative: " + Here("real/f") + "\n");
  list_.Destroy();
  EXPECT_EQ(Parse("rmrfdir \"real/../real/\"\n"), 5);
  EXPECT_EQ(Log(), "get_valid_path: paths must not contain '..': real/../real/f\n");
  EXPECT_EQ(DiffSnapshots(before, Installation()), "");
}

// A directory too long for the walk's buffer is refused, not cut to a shorter path that could
// name another, existing directory.
TEST_F(Manifest, RmrfdirOfATooLongDirectoryIsRefused) {
  std::string longer;
  while (longer.size() < 1100) longer += std::string(200, 'x') + "/";
  const std::string cut = longer.substr(0, 1022);
  WriteFile(Here(cut + "/precious"), "p");
  Snapshot before = Installation();
  EXPECT_EQ(Parse("rmrfdir \"" + longer + "\"\n"), 42);
  EXPECT_EQ(list_.count(), 0);
  EXPECT_EQ(Log(), "add_dir_entries: path too long: " + longer + "\n");
  EXPECT_EQ(DiffSnapshots(before, Installation()), "");
}

// A complete update's precomplete removals stand at the head of the list, before the manifest's
// own actions; an OS update or a missing precomplete file adds none.
TEST_F(Manifest, CompleteUpdateStartsWithThePrecompleteRemovals) {
  WriteFile(Here("old1"), "1");
  WriteFile(Here("olddir/x"), "x");
  WriteFile(Here("precomplete"),
            "# removals of a complete update\r\nremove \"old1\"\r\nremove-cc \"/anything\"\r\n"
            "remove \"olddir/x\"\r\nrmdir \"olddir/\"\r\n");
  const std::string manifest = "type \"complete\"\nadd \"n\"\n";
  EXPECT_EQ(PrepareLog(manifest),
            "UPDATE TYPE complete\nPREPARE REMOVEFILE old1\nPREPARE REMOVEFILE olddir/x\n"
            "PREPARE REMOVEDIR olddir/\nPREPARE ADD n\n");

  ctx_.os_update = true;
  EXPECT_EQ(PrepareLog(manifest), "UPDATE TYPE complete\nPREPARE ADD n\n");
  ctx_.os_update = false;

  ASSERT_EQ(unlink("precomplete"), 0);
  EXPECT_EQ(PrepareLog(manifest),
            "UPDATE TYPE complete\n"
            "GetManifestContents: error opening manifest file: precomplete\n"
            "AddPreCompleteActions: error getting contents of precomplete manifest\n"
            "PREPARE ADD n\n");
  // A link at its name is not followed: the update goes on without the removals, as above.
  WriteFile(outside_ / "listed", "remove \"old1\"\n");
  ASSERT_EQ(symlink((outside_ / "listed").c_str(), "precomplete"), 0);
  EXPECT_EQ(PrepareLog(manifest),
            "UPDATE TYPE complete\n"
            "Link: precomplete is a link, which is not followed\n"
            "GetManifestContents: error opening manifest file: precomplete\n"
            "AddPreCompleteActions: error getting contents of precomplete manifest\n"
            "PREPARE ADD n\n");
  ASSERT_EQ(unlink("precomplete"), 0);

  struct Case {
    std::string precomplete, log;
  };
  for (const Case &c : {
           Case{"remove \"/etc/passwd\"\n", "get_valid_path: path must be relative: /etc/passwd\n"},
           Case{"rmdir \"../up/\"\n", "get_valid_path: paths must not contain '..': ../up\n"},
           Case{"delete \"old1\"\n", "AddPreCompleteActions: unknown token: delete\n"},
           Case{"remove \"old1\"\n \n", "AddPreCompleteActions: token not found in manifest\n"},
       }) {
    WriteFile(Here("precomplete"), c.precomplete);
    EXPECT_EQ(Parse(manifest), 5) << c.precomplete;
    EXPECT_EQ(Log(), "UPDATE TYPE complete\n" + c.log);
    list_.Destroy();
  }
}

}  // namespace
