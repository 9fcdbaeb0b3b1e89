// A run from the first read of the parameter file to its synced new content:
// the read and walk, the open and reservation, a read and walk again when the
// file was edited since, and then the window, with its restore.
#pragma once

#include <cstddef>

#include "support/file_identity.h"
#include "support/param_file.h"
#include "tool/credentials.h"
#include "tool/line_source.h"
#include "tool/replacement.h"
#include "tool/walk.h"

// What became of a step; the driver turns it into a message and a status.
enum run_result : int {
  run_ok = 0,
  run_cannot_read = 1,     // the parameter file, at the first read
  run_out_of_memory = 2,   // nothing was written
  run_cannot_write = 3,    // nothing was written, or the old bytes were put back
  run_cannot_restore = 4,  // a write failed and so did putting the old bytes back
};

// Everything a run holds, each credential read once for all its walks.
struct run_state {
  const char* path = nullptr;  // the parameter file's, borrowed
  const replacement_entry* table = nullptr;  // borrowed
  credential_cache credentials;
  line_source source;
  walk_plan plan;
  param_file out;
};

// Reads `path` (kept as the run's) in pieces of `piece` bytes and walks it
// with `table`. Returns run_ok, run_cannot_read or run_out_of_memory.
int run_read(run_state& run, const char* path, const replacement_entry* table, std::size_t piece);

// Walks `text`, the `length` bytes read from the file at `path` (kept as the
// run's), which was `identity` then; the text is borrowed and never changed.
// Returns run_ok or run_out_of_memory.
int run_take(run_state& run, const char* path, const char* text, std::size_t length,
             const file_identity& identity, const replacement_entry* table);

// Opens the file again and reserves what the window needs; a file edited
// since the read is read in pieces of `piece` bytes and walked again, three
// times at most. Returns run_ok, run_out_of_memory or run_cannot_write.
int run_prepare(run_state& run, std::size_t piece);

// The window, for a prepared run: writes, syncs and closes, and puts the old
// bytes back on a failure. Returns run_ok, run_cannot_write (restored) or
// run_cannot_restore.
int run_commit(run_state& run);
