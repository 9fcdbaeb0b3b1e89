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
};

// The parameter file open for its rewrite. Dropping it closes what is open
// without looking at the result, and wipes the output buffer.
struct param_file {
  int fd = -1;
  int directory_fd = -1;  // the directory of a file created here, synced with it
  bool regular = false;   // only regular files are reserved, truncated and synced
  mode_t mode = 0;        // the file's mode when it was opened
  bool failed = false;    // a write failed: later writes do nothing
  std::size_t used = 0;   // bytes waiting in `buffer`
  text_buffer buffer;     // may hold key text, so it is wiped like any other

  param_file() = default;
  param_file(const param_file&) = delete;
  param_file& operator=(const param_file&) = delete;
  ~param_file();
};

// Opens `path` for writing without emptying it, and only if it is the file
// `read` describes; if nothing is at `path` any more, creates a file there
// with O_EXCL and mode 0600. `content_size`, the new content's size, bounds
// the output buffer. Returns param_ok and fills `*out` (which must be
// closed); param_failed or param_out_of_memory, with nothing written or
// created and `*out` untouched, otherwise. A symbolic link in `path` is
// followed, but a file created here is never a link's target.
int param_file_open(const char* path, const file_identity& read, std::size_t content_size,
                    param_file* out);

// Checks, before any byte changes, that the file can go from `old_size` bytes
// to `new_size` bytes and back: the file-size limit allows the larger, and the
// growth is reserved where the file system can, so that a full disk shows now.
// Returns param_ok or param_failed; the file's content and size are untouched.
int param_file_reserve(param_file* file, std::size_t old_size, std::size_t new_size);

// Starts the write window, for the rest of the process's life: blocks every
// signal that can be blocked (those the C library keeps for itself too) but
// the fault signals, which are dropped when another process sent them and end
// the process at once otherwise. A stop request then ends nothing before the
// process exits with its status. Defined in param_window.cpp.
void param_window_begin();

// Appends `count` bytes to the new content (from the file's first byte).
// Returns param_ok, or param_failed once any write has failed; 0 and nothing
// written for an absent file.
int param_write_bytes(param_file* file, const char* bytes, std::size_t count);

// Appends "NAME=VALUE\n", or "NAME=\"VALUE\"\n" when the value holds a space
// (0x20), with the value cut to its first param_value_limit bytes. Returns the
// line's length in bytes, negative once any write has failed; 0 and nothing
// written for an absent file.
int param_write_string(param_file* file, const char* name, const char* value);

// The length of the line param_write_string writes for `name` and `value`.
std::size_t param_line_length(const char* name, const char* value);

// Ends the rewrite: writes what is buffered, cuts the file to `length` bytes,
// syncs it (and the directory of a file created here) and closes it. Returns
// param_ok with the new content on stable storage; param_failed otherwise,
// with the file still open for param_file_restore unless the close failed.
int param_file_close(param_file* file, std::size_t length);

// Puts `text` back as the whole content of a file that param_file_close
// could not finish: from the first byte, cut to `length`, synced, closed.
// Returns param_ok, or param_failed when that fails too.
int param_file_restore(param_file* file, const char* text, std::size_t length);
