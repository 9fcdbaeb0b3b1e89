// Writing the KEY=VALUE parameter file: the whole write window, from opening
// the file that was read to its synced new content or its restored old one.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "support/file_identity.h"
#include "support/text_buffer.h"

// The longest value, in bytes, that a parameter line carries; readers of the
// file rely on this limit, so longer values are cut to it.
constexpr std::size_t param_value_limit = 16000;

// The results of the routines that can fail; the caller turns them into
// messages and run statuses.
enum param_result : int {
  param_ok = 0,
  param_failed = 1,         // cannot open, other file, over a limit, no space, a failed write
  param_out_of_memory = 2,  // param_file_open only: nothing was opened
  param_changed = 3,        // param_file_open only: the file was written to since it was read
};

// What the window changes: the new content's bytes from `from` to `new_end`
// replace the old ones from `from` to `old_end`, and the size goes from
// `old_size` to `new_size`. Every byte outside that region stays as it is;
// an empty region (from == new_end == old_end) with equal sizes writes nothing.
struct param_change {
  std::size_t from = 0;
  std::size_t new_end = 0;  // the new size, or the end of the last byte that differs
  std::size_t old_end = 0;  // the old size, or the same end as new_end
  std::size_t old_size = 0;
  std::size_t new_size = 0;
};

// The parameter file open for its rewrite. Dropping it closes what is open
// without looking at the result, and wipes the output buffer.
struct param_file {
  int fd = -1;
  bool regular = false;       // only regular files are reserved, truncated and synced
  mode_t mode = 0;            // the file's mode when it was opened
  bool failed = false;        // a write failed: later writes do nothing
  param_change change;        // what is written: all of it for any but a regular file
  std::size_t offset = 0;     // of the next byte appended, in the new content
  std::size_t buffer_at = 0;  // the offset of the first byte waiting in `buffer`
  std::size_t used = 0;       // bytes waiting in `buffer`
  text_buffer buffer;         // may hold key text, so it is wiped like any other

  param_file() = default;
  param_file(const param_file&) = delete;
  param_file& operator=(const param_file&) = delete;
  ~param_file();
};

// Opens `path` for writing without emptying it, and only if it is still the
// file `read` describes: the same device and inode, and the same size and
// times. `change` is what the window will write; its size bounds the output
// buffer. Returns param_ok and fills `*out` (which must be closed);
// param_changed when the file was written to since `read`, param_failed when
// nothing or another file is at `path`, param_out_of_memory; with nothing
// written or created and `*out` untouched on failure. A symbolic link in
// `path` is followed.
int param_file_open(const char* path, const file_identity& read, const param_change& change,
                    param_file* out);

// Checks, before any byte changes, that the window can write its region and a
// restore can write it back: the file-size limit allows both, the file
// system's free space holds the blocks of both (a copy-on-write file system
// needs new blocks even to overwrite), and, where the file system can, the
// old blocks to overwrite are unshared and any growth is reserved. Returns
// param_ok or param_failed; the file's content is untouched.
int param_file_reserve(param_file* file);

// Starts the write window, for the rest of the process's life: blocks every
// signal that can be blocked (those the C library keeps for itself too) but
// the fault signals, which are dropped when any process sent them and end the
// process at once when the kernel reports a fault (or the run aborts). A stop
// request then ends nothing before the process exits with its status.
// Defined in param_window.cpp.
void param_window_begin();

// Appends `count` bytes to the new content (which starts at the file's first
// byte); only those inside the region of the change are written. Returns
// param_ok, or param_failed once any write has failed; param_ok and nothing
// written for an absent file.
int param_write_bytes(param_file* file, const char* bytes, std::size_t count);

// The pieces of the line param_write_string writes: the name, "=" or "=\"",
// the value cut to param_value_limit bytes, and "\n" or "\"\n".
struct param_span {
  const char* bytes;
  std::size_t count;
};
void param_line_parts(const char* name, const char* value, param_span parts[4]);

// Appends "NAME=VALUE\n", or "NAME=\"VALUE\"\n" when the value holds a space
// (0x20), with the value cut to its first param_value_limit bytes. Returns the
// line's length in bytes, negative once any write has failed; 0 and nothing
// written for an absent file.
int param_write_string(param_file* file, const char* name, const char* value);

// The length of the line param_write_string writes for `name` and `value`.
std::size_t param_line_length(const char* name, const char* value);

// Ends the rewrite: flushes, sets a changed size, moves the modification time
// if no byte changed (where the file system lets it), syncs and closes.
// Returns param_ok once the new content is synced (a failing close after that
// changes nothing); param_failed otherwise, the file left open for
// param_file_restore unless it was closed.
int param_file_close(param_file* file);

// Puts the old bytes of the change's region back, from `old_text`, the old
// content from byte `old_text_offset` on (at most the change's `from`; 0 for
// any but a regular file), and the old size, into a file that param_file_close could not
// finish; then syncs and closes it. Returns param_ok, also when the writes
// fail on bytes that read back as the old ones; param_failed when the old
// content cannot be put back and synced, or the file is not open any more.
int param_file_restore(param_file* file, const char* old_text, std::size_t old_text_offset = 0);
