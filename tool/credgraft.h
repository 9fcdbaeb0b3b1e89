// The run sequence of the program, apart from main() so that tests and
// fuzzers can drive it with credential files of their own. Only these print.
#pragma once

#include <cstddef>

#include "support/file_identity.h"
#include "tool/line_source.h"
#include "tool/replacement.h"

// Checks the command line, logs one notice per pair, reads the parameter file
// and rewrites it. Returns the run status; all messages go to standard error.
int credgraft_run(int argc, char** argv, const credential_files& files);

// Reads the file at `path` in pieces of `piece_size` bytes, keeping only the
// bytes from the first line that changes on, and rewrites it as
// rewrite_parameter_file does. A file that cannot be read prints "Cannot read"
// (or "Out of memory") and returns status_cannot_read, untouched.
int rewrite_parameter_path(const char* path, const replacement_entry* table,
                           std::size_t piece_size = rewrite_piece);

// Rewrites the file at `path`, which was `identity` when its `length` bytes
// were read into `text`: each line whose key matches an entry of `table` gets
// that entry's credential in Base64, every other byte is kept, and only the
// bytes that differ are written. A file written to since its read is read and
// planned again, a few times at most. Everything that can fail without
// touching the file happens first and prints its own message:
// status_cannot_read for no memory, status_cannot_write when the path is no
// longer that file, the file keeps changing, or the new bytes cannot fit; the
// file is untouched then. Returns status_changed or status_unchanged with the
// new content on stable storage, or status_cannot_write when a write failed
// and the old bytes were put back. `text` is borrowed and not modified.
int rewrite_parameter_file(const char* path, const char* text, std::size_t length,
                           const file_identity& identity, const replacement_entry* table);
