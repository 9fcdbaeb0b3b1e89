// Fuzzes the Base64 encoder against a decoder: every input must come back
// whole, in the specified length and alphabet; the string form must stop at
// the first NUL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/base64.h"

namespace {

int value_of(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string decode(const char* text, std::size_t length) {
  std::string out;
  if (length % 4 != 0) std::abort();
  for (std::size_t i = 0; i < length; i += 4) {
    int v[4];
    int pad = 0;
    for (int j = 0; j < 4; ++j) {
      if (text[i + j] == '=') {
        if (i + 4 != length || j < 2) std::abort();  // padding only at the very end
        v[j] = 0;
        ++pad;
      } else {
        if (pad != 0) std::abort();
        v[j] = value_of(text[i + j]);
        if (v[j] < 0) std::abort();
      }
    }
    const unsigned group = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    out += static_cast<char>(group >> 16);
    if (pad < 2) out += static_cast<char>((group >> 8) & 0xff);
    if (pad < 1) out += static_cast<char>(group & 0xff);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t length = base64_encoded_length(size);
  std::string out(length + 2, '#');
  base64_encode(data, out.data(), size);
  if (out[length] != '\0' || out[length + 1] != '#') std::abort();
  if (decode(out.data(), length) != std::string(reinterpret_cast<const char*>(data), size)) {
    std::abort();
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  const text_buffer encoded = base64_encode_string(text.c_str());
  const std::size_t until_nul = std::strlen(text.c_str());
  if (encoded.data == nullptr || encoded.length != base64_encoded_length(until_nul) ||
      std::strlen(encoded.data) != encoded.length ||
      std::memcmp(encoded.data, out.data(), encoded.length - (until_nul % 3 != 0 ? 4 : 0)) != 0 ||
      decode(encoded.data, encoded.length) != text.substr(0, until_nul)) {
    std::abort();
  }
  return 0;
}
