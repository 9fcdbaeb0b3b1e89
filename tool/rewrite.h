// The in-place rewrite of the parameter file.
#pragma once

#include <cstddef>

#include "tool/replacement.h"

// Rewrites the file at `path` from `text` (its `length` bytes as read before):
// each line whose key matches an entry of `table` gets that entry's credential
// in Base64, every other byte is copied. Returns status_changed or
// status_unchanged; status_cannot_write, with the message printed, when the
// file cannot be opened or a write fails, in which case `text` has been
// written back. `text` is borrowed and not modified.
int rewrite_parameter_file(const char* path, const char* text, std::size_t length,
                           const replacement_entry* table);
