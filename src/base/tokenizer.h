// SPDX-License-Identifier: MIT
// The program's one in-place tokenizer, shared by the manifest parser and the strings file reader,
// and the path rule for manifest arguments. Both cut the given text in place (writing NUL bytes)
// and keep no state of their own.
#pragma once

// Returns the next token of `*cursor` or null. Skips leading delimiter bytes, then takes bytes up
// to the next delimiter, which is overwritten with NUL; `*cursor` then points after it (or is null
// when the text ended). A token is never empty.
char *next_token(const char *delimiters, char **cursor);

// Reads the next double-quoted argument through `cursor` and returns it when it is an acceptable
// path: relative, without "..", and for a directory ending in '/', which is removed. Logs and
// returns null otherwise.
char *get_valid_path(char **cursor, bool is_directory);
