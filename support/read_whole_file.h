// Reading a whole stdio stream into memory.
#pragma once

#include <cstdio>

#include "support/file_identity.h"
#include "support/text_buffer.h"

// The results of the readers; callers that only care about success test for 0.
enum read_result : int {
  read_ok = 0,
  read_failed = 1,         // cannot open, or the stream's error indicator is set
  read_out_of_memory = 2,  // the buffer could not be allocated or grown
};

// Reads everything that remains in `stream` into a new buffer: the bytes read
// (NUL bytes included, all counted in `length`) followed by one NUL byte.
// Returns read_ok and replaces `*out` on success; read_failed when the stream's
// error indicator is set before or after reading, read_out_of_memory when
// memory runs out. On failure `*out` is untouched. The stream stays open.
int read_whole_file(std::FILE* stream, text_buffer* out);

// Opens `path` for reading (mode "r"), reads it whole with read_whole_file and
// closes it, whatever the read's outcome. The stream is unbuffered, so no copy
// of a key is left in a stdio buffer freed without being wiped. Returns a
// read_result; on success replaces `*out` and, when `identity` is given, stores
// the file's device, inode and mode there. On failure both are untouched.
int read_whole_path(const char* path, text_buffer* out, file_identity* identity = nullptr);
