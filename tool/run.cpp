#include "tool/run.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "support/read_whole_file.h"

namespace {

// How many times the file is read and walked again when it was edited
// between the read and the window; an editor still at work after that wins.
constexpr int rereads = 3;

// The result of open_and_check for a file edited since it was read.
constexpr int edited = -1;

// Whether the old bytes the window is about to change or cut are still those
// the walk was made from: an edit through a shared mapping moves neither the
// size nor the times. Returns run_ok when they are, run_cannot_write when
// they are not, and run_out_of_memory.
int region_unchanged(const run_state& run) {
  const param_change& change = run.out.change;
  if (!run.out.regular || change.from >= change.old_end) return run_ok;
  if (run.source.fd < 0) return run_cannot_write;
  const std::size_t region = change.old_end - change.from;
  text_buffer piece;
  if (!text_buffer_allocate(piece, region < rewrite_piece ? region : rewrite_piece)) {
    return run_out_of_memory;
  }
  for (std::size_t at = change.from; at < change.old_end;) {
    const std::size_t want = change.old_end - at < piece.capacity ? change.old_end - at
                                                                  : piece.capacity;
    const ssize_t got = pread(run.source.fd, piece.data, want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || std::memcmp(piece.data, line_source_bytes(run.source, at),
                                static_cast<std::size_t>(got)) != 0) {
      return run_cannot_write;
    }
    at += static_cast<std::size_t>(got);
  }
  return run_ok;
}

// Opens the file for the window and checks that it can be written as planned.
// Returns run_ok, run_out_of_memory, run_cannot_write (the file untouched)
// or, when it was edited since the read, `edited`.
int open_and_check(run_state& run) {
  const param_change change = walk_change(run.plan, run.source, run.credentials);
  const int opened = param_file_open(run.path, run.source.identity, change, &run.out);
  if (opened == param_out_of_memory) return run_out_of_memory;
  if (opened == param_changed) return edited;
  if (opened != param_ok || param_file_reserve(&run.out) != param_ok) return run_cannot_write;
  const int same = region_unchanged(run);
  if (same == run_cannot_write) {
    close(run.out.fd);
    run.out.fd = -1;
    return edited;
  }
  return same;
}

int read_and_walk(run_state& run, std::size_t piece) {
  const int read = line_source_open(run.source, run.path, piece);
  return read == read_ok ? walk_lines(run.source, run.table, run.credentials, &run.plan) : read;
}

}  // namespace

int run_read(run_state& run, const char* path, const replacement_entry* table, std::size_t piece) {
  run.path = path;
  run.table = table;
  const int read = read_and_walk(run, piece);
  if (read == read_out_of_memory) return run_out_of_memory;
  return read == read_ok ? run_ok : run_cannot_read;
}

int run_take(run_state& run, const char* path, const char* text, std::size_t length,
             const file_identity& identity, const replacement_entry* table) {
  run.path = path;
  run.table = table;
  line_source_borrow(run.source, path, text, length, identity);
  const int walked = walk_lines(run.source, table, run.credentials, &run.plan);
  return walked == read_ok ? run_ok : run_out_of_memory;
}

int run_prepare(run_state& run, std::size_t piece) {
  for (int attempt = 0;; ++attempt) {
    if (attempt != 0) {
      const int read = read_and_walk(run, piece);
      if (read == read_out_of_memory) return run_out_of_memory;
      if (read != read_ok) return run_cannot_write;
    }
    const int checked = open_and_check(run);
    if (checked != edited) return checked;
    if (attempt == rereads) return run_cannot_write;
  }
}

int run_commit(run_state& run) {
  param_window_begin();
  if (walk_write(run.out, run.plan, run.source, run.table, run.credentials) == param_ok &&
      param_file_close(&run.out) == param_ok) {
    return run_ok;
  }
  // A file already closed (not a regular one) cannot be restored, and no
  // restore is tried.
  if (run.out.fd < 0) return run_cannot_write;
  return param_file_restore(&run.out, run.source.text, run.source.base) == param_ok
             ? run_cannot_write
             : run_cannot_restore;
}
