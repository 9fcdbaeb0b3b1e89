#include "support/base64.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr char alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters per 12 input bits: half the table look-ups of the
// one-character form, and the table (8 KiB) still sits in the L1 cache.
struct pair_table {
  std::array<char, 2 * 4096> chars{};
  constexpr pair_table() {
    for (std::size_t i = 0; i < 4096; ++i) {
      chars[2 * i] = alphabet[i >> 6];
      chars[2 * i + 1] = alphabet[i & 63];
    }
  }
};
constexpr pair_table pairs;

}  // namespace

void base64_encode(const unsigned char* source, char* destination, std::size_t count) {
  const unsigned char* in = source;
  char* out = destination;
  const std::size_t whole = count / 3;
  for (std::size_t group = 0; group < whole; ++group) {
    const std::uint32_t bits = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, &pairs.chars[2 * (bits >> 12)], 2);
    std::memcpy(out + 2, &pairs.chars[2 * (bits & 0xfff)], 2);
    in += 3;
    out += 4;
  }
  const std::size_t rest = count - whole * 3;
  if (rest != 0) {
    const std::uint32_t b0 = in[0];
    const std::uint32_t b1 = rest == 2 ? in[1] : 0;
    out[0] = alphabet[b0 >> 2];
    out[1] = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
    out[2] = rest == 2 ? alphabet[(b1 & 15) << 2] : '=';
    out[3] = '=';
    out += 4;
  }
  *out = '\0';
}

text_buffer base64_encode_bytes(const char* bytes, std::size_t count) {
  text_buffer encoded;
  if (bytes == nullptr || count > (SIZE_MAX - 1) / 4 * 3 - 2) return encoded;
  const std::size_t length = base64_encoded_length(count);
  if (!text_buffer_allocate(encoded, length + 1)) return encoded;
  base64_encode(reinterpret_cast<const unsigned char*>(bytes), encoded.data, count);
  encoded.length = length;
  return encoded;
}

text_buffer base64_encode_string(const char* text) {
  if (text == nullptr) return text_buffer{};
  return base64_encode_bytes(text, std::strlen(text));
}
