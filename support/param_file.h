// Writing the KEY=VALUE parameter file.
#pragma once

#include <cstdio>
#include <memory>

// The longest value, in bytes, that a parameter line carries; readers of the
// file rely on this limit, so longer values are cut to it.
constexpr std::size_t param_value_limit = 16000;

struct param_file_closer {
  void operator()(std::FILE* stream) const noexcept;
};
// An open parameter file, or none. Dropping it closes the stream without
// looking at the result: use param_file_close where the outcome matters.
using param_handle = std::unique_ptr<std::FILE, param_file_closer>;

// Opens `path` for writing as fopen's mode "w" does: empties it, or creates it
// with mode 0600 (it is about to hold a private key). Returns an empty handle,
// with errno set, when the file cannot be opened; nothing is created then.
param_handle param_file_open(const char* path);

// Writes "NAME=VALUE\n", or "NAME=\"VALUE\"\n" when the value holds a space
// (0x20), with the value cut to its first param_value_limit bytes. Returns the
// byte count the formatted write reports, negative on failure; 0 and nothing
// written for an absent handle.
int param_write_string(std::FILE* out, const char* name, const char* value);

// Closes the stream (flushing it) and empties `out`. Returns 0 on success, EOF
// when the flush or the close failed; 0 for an empty handle.
int param_file_close(param_handle& out);
