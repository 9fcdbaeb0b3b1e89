#include "tool/credentials.h"

#include <cstring>

#include "support/base64.h"
#include "support/param_file.h"
#include "support/read_whole_file.h"

namespace {

// Base64 turns every 3 bytes into 4 characters, so the first 12000 bytes give
// exactly the 16000 characters a value keeps: encoding more is wasted.
constexpr std::size_t value_source_limit = param_value_limit / 4 * 3;
static_assert(param_value_limit % 4 == 0);

// Reads and encodes the credential at `c.path` into `cache`'s values. Returns
// false only when memory runs out.
bool load(credential_cache& cache, credential& c) {
  // A key that is a device or a huge file is never read further than a
  // value can use, and one byte more to know that it is cut.
  text_buffer text;
  const int read = read_path_prefix(c.path, value_source_limit + 1, &text);
  if (read == read_out_of_memory) return false;
  if (read != read_ok) return true;
  // Taken up to the first NUL byte, which for PEM text is all of it.
  std::size_t count = strnlen(text.data, text.length);
  c.cut = count > value_source_limit;
  if (c.cut) count = value_source_limit;
  const text_buffer value = base64_encode_bytes(text.data, count);
  text_buffer& values = cache.values;
  if (value.data == nullptr || !text_buffer_grow(values, values.length + value.length + 1)) {
    return false;
  }
  c.at = values.length;
  c.length = value.length;
  std::memcpy(values.data + values.length, value.data, value.length + 1);
  values.length += value.length + 1;
  c.readable = true;
  return true;
}

}  // namespace

const credential* credential_for(credential_cache& cache, const char* path) {
  for (std::size_t i = 0; i < cache.read.count; ++i) {
    const char* known = cache.read[i].path;
    if (known == path || std::strcmp(known, path) == 0) return &cache.read[i];
  }
  credential c{path, false, false, 0, 0};
  if (!load(cache, c) || !record_push(cache.read, c)) return nullptr;
  return &cache.read[cache.read.count - 1];
}
