// Result codes of the whole program. Every operation returns one of these (0 for success); the
// first failing code of an update is written to the status file as "failed: N". The values are part
// of the status file's contract with the application and never change.
#pragma once

namespace result {

constexpr int kOk = 0;
constexpr int kSystemFailure = -1;  // a raw system-call failure passed on unchanged
constexpr int kCrcMismatch = 4;     // the file to patch does not have the CRC recorded in the patch
constexpr int kParseError = 5;      // a manifest / precomplete line or a strings-file key is wrong
constexpr int kReadError = 6;       // something that must be read cannot be opened, queried or read
constexpr int kWriteError = 7;      // something that must be written cannot be created or written
constexpr int kStringsNoMemory = 10;  // no memory for the contents of the strings file
constexpr int kReaderNoMemory = 11;   // the archive reader's buffers cannot be allocated
constexpr int kPatchNoMemory = 12;    // no memory for the body of a patch
constexpr int kCopyNoMemory = 13;     // no memory for a copy buffer or for the file to patch
constexpr int kQuoteNoMemory = 14;    // no memory for a quoted path while expanding "rmrfdir"
constexpr int kNoArchive = 20;        // the archive reader holds no open archive
constexpr int kNoProductInfo = 21;    // the archive's product information cannot be read
constexpr int kWrongProduct = 22;     // product_id is not among the accepted identifiers
constexpr int kApplicationNewer =
    23;                               // the application is newer than the archive's product_version
// the installation trusts keys (update-keys/*.pub) and the archive carries no valid signature of
// one of them, or a key file or the key folder cannot be read as such
constexpr int kSignatureRefused = 24;
constexpr int kDecompressError = 39;  // the bzip2 decompressor cannot start or reports an error
constexpr int kEmpty = 40;            // the action list is empty, or an archive member has length 0
constexpr int kCorruptPatch = 41;     // a patch file is corrupt
constexpr int kWrongKind = 42;  // a path is of the wrong kind, a size does not match, a walk failed

}  // namespace result
