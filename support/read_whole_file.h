// Reading a whole stdio stream into memory.
#pragma once

#include <cstddef>
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
// there what the file was just before the read (device, inode, mode, size and
// times). On failure both are untouched.
int read_whole_path(const char* path, text_buffer* out, file_identity* identity = nullptr);

// Like read_whole_path, but reads no more than the first `limit` bytes (NUL
// bytes included), so that a device or a huge file costs no more than that.
// Returns a read_result; on success replaces `*out`, whose length is at most
// `limit`; on failure `*out` is untouched.
int read_path_prefix(const char* path, std::size_t limit, text_buffer* out);
