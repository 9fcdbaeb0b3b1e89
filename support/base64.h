// Standard Base64 (RFC 4648, section 4) on one line: no line breaks, "=" padding.
#pragma once

#include <cstddef>

#include "support/text_buffer.h"

// Encodes `count` bytes at `source` into `destination` and ends it with a NUL.
// `destination` must have room for base64_encoded_length(count) + 1 bytes.
// Cannot fail; with a count of 0 it writes only the NUL.
void base64_encode(const unsigned char* source, char* destination, std::size_t count);

// The number of characters, NUL excluded, that `count` bytes encode to.
constexpr std::size_t base64_encoded_length(std::size_t count) {
  return (count + 2) / 3 * 4;
}

// Encodes the `count` bytes at `bytes` into a new NUL-terminated buffer.
// Returns an empty buffer (data == nullptr) when `bytes` is absent or memory
// runs out.
text_buffer base64_encode_bytes(const char* bytes, std::size_t count);

// Encodes `text` up to its first NUL byte into a new buffer. Returns an empty
// buffer (data == nullptr) when `text` is absent or memory runs out.
text_buffer base64_encode_string(const char* text);
