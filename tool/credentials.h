// The credentials of a run: each read once, on the first line that needs it,
// and encoded once, so that every line gets the same value and no credential
// is read while the file is being written.
#pragma once

#include <cstddef>

#include "support/text_buffer.h"
#include "tool/record_array.h"

struct credential {
  const char* path;
  bool readable;
  bool cut;            // its Base64 text is longer than a value may be
  std::size_t at;      // of its Base64 text in the cache's values
  std::size_t length;  // of that text, at most param_value_limit
};

// The credentials read so far, one per path, and their values one after the
// other, each followed by a NUL.
struct credential_cache {
  record_array<credential> read;
  text_buffer values;
};

// The credential at `path`, read and encoded if that has not been tried yet
// (a credential that cannot be read is not readable, and tried once).
// Returns null only when memory runs out.
const credential* credential_for(credential_cache& cache, const char* path);

// The Base64 text of a readable credential, valid until the next credential
// is read.
inline const char* credential_value(const credential_cache& cache, const credential& c) {
  return cache.values.data + c.at;
}
