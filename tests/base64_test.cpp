#include "support/base64.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

std::string encode(const std::string& bytes) {
  std::string out(base64_encoded_length(bytes.size()) + 1, '#');
  base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), out.data(), bytes.size());
  EXPECT_EQ(out.back(), '\0');
  out.pop_back();
  return out;
}

// Written for the tests only, and deliberately unlike the encoder.
std::string decode(const std::string& text) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    const auto index = alphabet.find(c);
    if (index == std::string::npos) return "<invalid>";
    bits = (bits << 6) | static_cast<unsigned>(index);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  return out;
}

TEST(base64, rfc4648_vectors_and_padding) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foob"), "Zm9vYg==");
  EXPECT_EQ(encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  for (std::size_t n = 0; n <= 4; ++n) {
    const std::string out = encode(std::string(n, '\xff'));
    EXPECT_EQ(out.size(), (n + 2) / 3 * 4) << n;
    const std::size_t padding = n % 3 == 0 ? 0 : 3 - n % 3;
    EXPECT_EQ(out.find('='), padding == 0 ? std::string::npos : out.size() - padding) << n;
  }
}

TEST(base64, every_byte_value_is_unsigned) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  const std::string out = encode(all);
  EXPECT_EQ(out, reference_base64(all));
  EXPECT_EQ(decode(out), all);
  EXPECT_EQ(encode("\x80"), "gA==");
  EXPECT_EQ(encode("\xfb\xff"), "+/8=");
}

TEST(base64, string_form_stops_at_nul_and_fails_on_absent_text) {
  const text_buffer cut = base64_encode_string("ab\0cd");
  ASSERT_NE(cut.data, nullptr);
  EXPECT_STREQ(cut.data, "YWI=");
  EXPECT_EQ(cut.length, 4u);

  const text_buffer empty = base64_encode_string("");
  ASSERT_NE(empty.data, nullptr);
  EXPECT_STREQ(empty.data, "");
  EXPECT_EQ(empty.length, 0u);

  EXPECT_EQ(base64_encode_string(nullptr).data, nullptr);
}

TEST(base64, random_round_trip) {
  std::mt19937 random(20261208);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 700, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    const std::string out = encode(bytes);
    ASSERT_EQ(out, reference_base64(bytes));
    ASSERT_EQ(decode(out), bytes);
    ASSERT_EQ(out.find_first_of("\n\r "), std::string::npos);
  }
}

}  // namespace
