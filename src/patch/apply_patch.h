// SPDX-License-Identifier: MIT
// Reading a patch's header and applying its body to the bytes of the file it was made for. Both
// operations only return result codes (driver/result.h) and log nothing: a short or unreadable file
// is a read error, a failed output write a write error, and every bound a patch could break (wrong
// magic, sizes that do not add up, an instruction outside the blocks or the source) is
// kCorruptPatch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The header of a patch file, in host byte order once read.
struct PatchHeader {
  char magic[8];
  uint32_t source_length;   // exact size of the file the patch applies to
  uint32_t source_crc;      // its Crc32Bzip2
  uint32_t dest_length;     // size of the patched result
  uint32_t control_length;  // bytes of control triples, a multiple of 12
  uint32_t diff_length;     // bytes added to source bytes
  uint32_t extra_length;    // bytes copied verbatim
};

// Decodes the 32 header bytes of a patch whose file holds `file_size` bytes. Returns kOk, or
// kCorruptPatch when the magic is wrong, when 32 + the three block lengths is not `file_size`, or
// when the control block is not a whole number of triples. `*header` is filled in every case.
[[nodiscard]] int ParsePatchHeader(const unsigned char *bytes, uint64_t file_size,
                                   PatchHeader *header);

// Reads the header from `patch`, positioned at the start of the file, and checks it against the
// file's size (from its descriptor). Returns kOk with the stream directly after the header,
// kReadError for fewer than 32 bytes or a failed size query, or ParsePatchHeader's kCorruptPatch.
[[nodiscard]] int ReadPatchHeader(FILE *patch, PatchHeader *header);

// Applies a patch body already in memory. `body` holds control_length + diff_length + extra_length
// bytes; its diff block is overwritten (the additions are made in place). The new file's bytes are
// written to `out` triple by triple; nothing is flushed or closed. Returns kOk, kWriteError when
// `out` takes fewer bytes than given, or kCorruptPatch when a triple reaches outside the diff
// block, the extra block or the source, when the control block is not whole triples, or when the
// triples make a file of another length than dest_length (bytes beyond dest_length are refused
// before they are written). On failure `out` holds the bytes written before the failing check:
// those of the earlier triples, possibly the add part of the failing one. REQUIRES:
// `source` holds header.source_length bytes (may be null when that is 0).
[[nodiscard]] int ApplyPatchBody(const PatchHeader &header, unsigned char *body,
                                 const unsigned char *source, FILE *out);

// Loads the body from `patch`, positioned directly after the header, with one allocation and one
// read, then applies it as ApplyPatchBody does. Returns ApplyPatchBody's codes, kPatchNoMemory when
// the body cannot be allocated, or kReadError when the stream holds fewer bytes than the header
// says. The body buffer is freed on every path. REQUIRES: as ApplyPatchBody; the caller has checked
// the source's size and CRC against the header.
[[nodiscard]] int ApplyPatch(const PatchHeader &header, FILE *patch, const unsigned char *source,
                             FILE *out);
