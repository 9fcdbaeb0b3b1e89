// Reading a whole stdio stream into memory.
#pragma once

#include <cstdio>

#include "support/text_buffer.h"

// Reads everything that remains in `stream` into a new buffer: the bytes read
// (NUL bytes included, all counted in `length`) followed by one NUL byte.
// Returns 0 and replaces `*out` on success. Returns 1 when the stream's error
// indicator is set before or after reading, or memory runs out; `*out` is then
// untouched. The stream stays open.
int read_whole_file(std::FILE* stream, text_buffer* out);

// Opens `path` for reading (mode "r"), reads it whole with read_whole_file and
// closes it, whatever the read's outcome. The stream is unbuffered, so no copy
// of a key is left in a stdio buffer freed without being wiped. Returns 0 and
// replaces `*out` on success; 1, with `*out` untouched, when the file cannot be
// opened or read.
int read_whole_path(const char* path, text_buffer* out);
