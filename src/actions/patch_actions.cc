// SPDX-License-Identifier: MIT
#include "actions/patch_actions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "archive/decode_ahead.h"
#include "archive/upk_reader.h"
#include "base/result.h"
#include "base/tokenizer.h"
#include "base/update_log.h"
#include "base/update_protocol.h"
#include "base/whole_file.h"
#include "fileops/file_ops.h"
#include "patch/crc32.h"

PatchAction::~PatchAction() {
  if (patch_file_path[0] != '\0') (void)remove_entry(patch_file_path);
  free(source_buffer);
}

int PatchAction::Parse(char *arg) {
  char *cursor = arg;
  // The member name names an archive member, not a file, so it is not checked as a path.
  patch_name = next_token("\"", &cursor);
  if (!patch_name) return result::kParseError;
  if (!next_token("\"", &cursor)) return result::kParseError;
  path = get_valid_path(&cursor, false);
  return path ? result::kOk : result::kParseError;
}

int PatchAction::Prepare() {
  LOG("PREPARE PATCH %s", path);
  patch_index = ctx->patch_counter++;
  if (!FormPath(patch_file_path, "%s/%s/%d.patch", ctx->working_dir, protocol::kScratchDirName,
                patch_index)) {
    // A cut name could be another file, which the removal below would take away.
    LOG("patch file path too long: %s/updating/%d.patch", ctx->working_dir, patch_index);
    patch_file_path[0] = '\0';
    return result::kWriteError;
  }

  (void)remove_entry(patch_file_path);
  ScopedFile out(open_file(patch_file_path, "wb"));
  if (!out) return result::kWriteError;
  // Decoding-ahead hook: the patch's bytes come from memory when a worker has decoded them.
  int rv = ctx->members->ExtractToStream(patch_name, out.get());
  // A patch file that could not be written out whole is not this action's to read later.
  if (out.Close() != 0 && rv == result::kOk) rv = result::kWriteError;
  return rv;
}

int PatchAction::LoadSourceFile(FILE *stream) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) {
    LOG("LoadSourceFile: unable to stat destination file: %s, err: %d", path, errno);
    return result::kReadError;
  }
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) != header.source_length) {
    LOG("LoadSourceFile: destination file size %d does not match expected size %d",
        static_cast<int>(st.st_size), static_cast<int>(header.source_length));
    return result::kWrongKind;
  }

  const size_t size = header.source_length;
  // One byte at least, so that an empty file is not mistaken for a failed allocation.
  free(source_buffer);
  source_buffer = static_cast<unsigned char *>(malloc(size > 0 ? size : 1));
  if (!source_buffer) return result::kCopyNoMemory;

  if (!ReadExactly(stream, source_buffer, size)) {
    LOG("LoadSourceFile: error reading destination file: %s", path);
    return result::kReadError;
  }

  uint32_t crc = Crc32Bzip2(source_buffer, size);
  if (crc != header.source_crc) {
    LOG("LoadSourceFile: destination file crc %d does not match expected crc %d",
        static_cast<int32_t>(crc), static_cast<int32_t>(header.source_crc));
    return result::kCrcMismatch;
  }
  return result::kOk;
}

int PatchAction::Execute() {
  LOG("EXECUTE PATCH %s", path);

  ScopedFile patch(open_file(patch_file_path, "rb"));
  if (!patch) return result::kReadError;
  int rv = ReadPatchHeader(patch.get(), &header);
  if (rv != result::kOk) return rv;

  {
    ScopedFile source(open_file(path, "rb"));
    if (!source) {
      LOG("unable to open destination file: %s, err: %d", path, errno);
      return result::kReadError;
    }
    rv = LoadSourceFile(source.get());
  }
  if (rv != result::kOk) {
    LOG("LoadSourceFile failed");
    return rv;
  }

  struct stat st;
  if (stat_path(path, &st, true) != 0) {
    LOG("failed to read file status info: %s, err: %d", path, errno);
    return result::kReadError;
  }

  // From here on the old file exists only as its backup; its content is in source_buffer.
  rv = ctx->backups->Create(path);
  if (rv != result::kOk) return rv;

  ScopedFile out(open_with_mode(path, "wb+", st.st_mode));
  if (!out) {
    LOG("unable to create new file: %s, err: %d", path, errno);
    return result::kWriteError;
  }
  // The reservation only helps the file system place the new file; its failure changes nothing.
  (void)posix_fallocate(fileno(out.get()), 0, static_cast<off_t>(header.dest_length));

  rv = ApplyPatch(header, patch.get(), source_buffer, out.get());

  patch.Close();
  (void)remove_entry(patch_file_path);
  patch_file_path[0] = '\0';
  free(source_buffer);
  source_buffer = nullptr;

  // Buffered bytes reach the file only here: a new file that could not be written out whole is a
  // failed patch, so that the backup is put back.
  if (out.Close() != 0 && rv == result::kOk) rv = result::kWriteError;
  return rv;
}

void PatchAction::Finish(int status) {
  LOG("FINISH PATCH %s", path);
  if (status != result::kOk) {
    // Without a backup (Execute stopped before making one) this only logs: the old file is intact.
    ctx->backups->Undo(path);
  } else {
    ctx->backups->Drop(path);
  }
}
