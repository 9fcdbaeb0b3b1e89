// The walk: line by line, which entry applies, what the line becomes and
// whether its value differs. The same walk plans the run, finds the first
// line that changes (once), and gives the window its bytes.
#pragma once

#include <cstddef>

#include "support/param_file.h"
#include "tool/credentials.h"
#include "tool/line_source.h"
#include "tool/record_array.h"
#include "tool/replacement.h"

// What the driver is to say about the run, decided by the walk.
enum class walk_message_kind { cannot_read, value_cut };
struct walk_message {
  walk_message_kind kind;
  const char* subject;  // the credential's path, or the parameter's name
};

// A line whose bytes change.
struct changed_line {
  std::size_t offset = 0;      // in the old file
  std::size_t old_length = 0;  // its line feed counted
  std::size_t new_offset = 0;  // in the new file
  const replacement_entry* entry = nullptr;
  std::size_t credential = 0;  // its index among the credentials read
};

// What the walk decided for the whole file.
struct walk_plan {
  bool changes = false;  // some line's bytes change: the first and last such lines
  changed_line first;
  changed_line last;
  record_array<walk_message> messages;
  std::size_t old_size = 0;
  std::size_t new_size = 0;
  int status = status_unchanged;
  bool writes_private_key = false;
};

// Walks every line of `source` with `table`, reading credentials as lines
// need them, and has the source keep its bytes from the first changed line
// on. Returns a read_result; on success `*plan` holds the run's decisions.
int walk_lines(line_source& source, const replacement_entry* table, credential_cache& credentials,
               walk_plan* plan);

// The region the window writes for `plan` over the bytes `source` kept: from
// the first byte that differs, to the new end when the size changes and to
// the last byte that differs when it does not; empty when nothing differs.
param_change walk_change(const walk_plan& plan, const line_source& source,
                         const credential_cache& credentials);

// Walks the kept lines again, from the first changed to the last, and
// appends the new content from the region's start on to `out`; reads and
// says nothing. Returns param_ok, or param_failed once a write failed.
int walk_write(param_file& out, const walk_plan& plan, line_source& source,
               const replacement_entry* table, credential_cache& credentials);
