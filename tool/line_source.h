// The parameter file as a sequence of lines, each with its offset in the
// file. A regular file is read in pieces through one reused buffer, so that
// the lines before the first change are neither kept nor copied twice; from
// the line the caller asks to keep on, every byte stays in memory, for the
// window and for a restore.
#pragma once

#include <cstddef>

#include "support/file_identity.h"
#include "support/text_buffer.h"
#include "tool/key_match.h"

// Pieces of this size are read into the one buffer.
constexpr std::size_t rewrite_piece = std::size_t{256} << 10;

struct source_line {
  const char* bytes = nullptr;  // null past the last line; valid until the next call
  std::size_t length = 0;       // the line feed not counted
  std::size_t offset = 0;       // of its first byte in the file
  bool has_newline = false;
};

struct line_source {
  int fd = -1;                // a regular file's, open for reading
  std::size_t piece = 0;      // the buffer's size while not keeping
  text_buffer buffer;         // the piece, or every byte from `base` on; wiped
  const char* text = nullptr; // the bytes held, from the file's offset `base` on
  std::size_t length = 0;
  std::size_t base = 0;
  std::size_t next = 0;       // the file offset where the next line starts
  std::size_t size = 0;       // the file's size as its stat told, a hint only
  bool at_end = false;        // every byte of the file is held or has been passed
  bool keeping = false;       // every byte from `base` on is held
  bool skipping = false;      // `next` is inside a line that cannot match
  file_identity identity;     // what the file was before the read

  line_source() = default;
  line_source(const line_source&) = delete;
  line_source& operator=(const line_source&) = delete;
  ~line_source();
};

// Opens `path` for reading, to be read in pieces of `piece` bytes (all at
// once for any but a regular file), after dropping what `source` held.
// Returns a read_result; on success `source` starts at the first line.
int line_source_open(line_source& source, const char* path, std::size_t piece);

// Makes `text`, borrowed and never changed, the source's content, all kept:
// the bytes of the file at `path` when it was `identity`. That file is
// opened for reading again if it still is the one.
void line_source_borrow(line_source& source, const char* path, const char* text,
                        std::size_t length, const file_identity& identity);

// Moves to the next line that may match `filter` and stores it in `*line`
// (bytes null when there is none). Returns a read_result.
int line_source_next(line_source& source, const line_filter& filter, source_line* line);

// Keeps every byte from the file offset `from` on (the start of the line
// last handed out): the rest of the file is read now. Returns a read_result.
int line_source_keep(line_source& source, std::size_t from);

// Goes back to the line that starts at the file offset `from`, which must be
// kept: its lines are handed out again.
inline void line_source_rewind(line_source& source, std::size_t from) {
  source.next = from;
  source.skipping = false;
}

// The bytes of the file from offset `at` on, which must be kept.
inline const char* line_source_bytes(const line_source& source, std::size_t at) {
  return source.text + (at - source.base);
}

// The file's size, once every line has been handed out.
inline std::size_t line_source_end(const line_source& source) {
  return source.base + source.length;
}
