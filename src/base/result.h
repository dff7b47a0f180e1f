// SPDX-License-Identifier: MIT
// Result codes of the whole program and the one table of their meanings (used by the tools' help
// and by docs/result-codes.md, which a test keeps equal to it). Every operation returns one of
// these (0 for success); the first failing code of an update is written to the status file as
// "failed: N". The values are part of the status file's contract with the application and never
// change.
#pragma once

#include <cstddef>

namespace result {

constexpr int kOk = 0;
constexpr int kSystemFailure = -1;
constexpr int kCrcMismatch = 4;
constexpr int kParseError = 5;
constexpr int kReadError = 6;
constexpr int kWriteError = 7;
constexpr int kStringsNoMemory = 10;
constexpr int kReaderNoMemory = 11;
constexpr int kPatchNoMemory = 12;
constexpr int kCopyNoMemory = 13;
constexpr int kQuoteNoMemory = 14;
constexpr int kNoArchive = 20;
constexpr int kNoProductInfo = 21;
constexpr int kWrongProduct = 22;
constexpr int kApplicationNewer = 23;
constexpr int kSignatureRefused = 24;
constexpr int kDecompressError = 39;
constexpr int kEmpty = 40;
constexpr int kCorruptPatch = 41;
constexpr int kWrongKind = 42;

struct Meaning {
  int code;
  const char *name;  // the constant's name
  const char *text;  // what the code says, in one sentence without a final stop
};

// Every code in ascending order with its meaning.
constexpr Meaning kMeanings[] = {
    {kSystemFailure, "kSystemFailure", "a raw system-call failure passed on unchanged"},
    {kOk, "kOk", "success"},
    {kCrcMismatch, "kCrcMismatch", "the file to patch does not have the CRC recorded in the patch"},
    {kParseError, "kParseError",
     "a manifest or precomplete line cannot be understood (unknown keyword, missing or refused "
     "path), or a strings-file key is wrong"},
    {kReadError, "kReadError",
     "something that must be read cannot be opened, queried or read (the archive, a missing "
     "member, the file to patch)"},
    {kWriteError, "kWriteError",
     "something that must be written cannot be created, renamed, removed or written"},
    {kStringsNoMemory, "kStringsNoMemory", "no memory for the contents of the strings file"},
    {kReaderNoMemory, "kReaderNoMemory", "the archive reader's buffers cannot be allocated"},
    {kPatchNoMemory, "kPatchNoMemory", "no memory for the body of a patch"},
    {kCopyNoMemory, "kCopyNoMemory",
     "no memory for a copy buffer or for the contents of the file to patch"},
    {kQuoteNoMemory, "kQuoteNoMemory", "no memory for a quoted path while expanding an rmrfdir"},
    {kNoArchive, "kNoArchive", "the archive reader holds no open archive"},
    {kNoProductInfo, "kNoProductInfo",
     "the installation's product record (update-product) cannot be read as one, or the archive's "
     "product information cannot be read"},
    {kWrongProduct, "kWrongProduct",
     "the archive's product_id is not the product that the installation's record names (not "
     "among the accepted identifiers)"},
    {kApplicationNewer, "kApplicationNewer",
     "the installed version (the installation's record) is newer than the archive's "
     "product_version"},
    {kSignatureRefused, "kSignatureRefused",
     "the installation trusts keys (update-keys/*.pub) and the archive carries no valid signature "
     "of one of them, or a key file or the key folder cannot be read as such"},
    {kDecompressError, "kDecompressError",
     "the bzip2 decompressor cannot be started or reports an error (a member is not a whole "
     "bzip2 stream)"},
    {kEmpty, "kEmpty", "the action list is empty, or an archive member has length 0"},
    {kCorruptPatch, "kCorruptPatch", "a patch file is corrupt"},
    {kWrongKind, "kWrongKind",
     "a path is of the wrong kind, a folder walk failed, or the file to patch does not have the "
     "size recorded in the patch"},
};

// The meaning of `code`, or "unexpected failure" for a value outside the table.
inline const char *MeaningOf(int code) {
  for (const Meaning &meaning : kMeanings) {
    if (meaning.code == code) return meaning.text;
  }
  return "unexpected failure";
}

}  // namespace result
