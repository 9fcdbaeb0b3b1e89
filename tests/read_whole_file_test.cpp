#include "support/read_whole_file.h"

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

struct closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using stream = std::unique_ptr<std::FILE, closer>;

// Reads `bytes` back through a file; returns the reader's result and text.
int read_bytes(const temp_dir& dir, const std::string& bytes, text_buffer* text) {
  write_file(dir / "input", bytes);
  stream in{std::fopen((dir / "input").c_str(), "r")};
  return read_whole_file(in.get(), text);
}

TEST(read_whole_file, reads_every_byte_and_terminates) {
  temp_dir dir;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{4096},
                           std::size_t{4097}, std::size_t{8193}}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    text_buffer text;
    ASSERT_EQ(read_bytes(dir, bytes, &text), 0) << size;
    ASSERT_NE(text.data, nullptr);
    EXPECT_EQ(text.length, size);
    EXPECT_EQ(std::string(text.data, text.length), bytes);
    EXPECT_EQ(text.data[text.length], '\0') << size;
    EXPECT_GT(text.capacity, text.length);
  }
}

TEST(read_whole_file, counts_embedded_nul_bytes) {
  temp_dir dir;
  const std::string bytes("A=1\0B=2\n\0", 9);
  text_buffer text;
  ASSERT_EQ(read_bytes(dir, bytes, &text), 0);
  EXPECT_EQ(text.length, 9u);
  EXPECT_EQ(std::string(text.data, text.length), bytes);
  EXPECT_STREQ(text.data, "A=1");
}

TEST(read_whole_file, reads_only_what_remains_and_leaves_stream_open) {
  temp_dir dir;
  write_file(dir / "input", "skipped|kept");
  stream in{std::fopen((dir / "input").c_str(), "r")};
  ASSERT_EQ(std::fseek(in.get(), 8, SEEK_SET), 0);
  text_buffer text;
  ASSERT_EQ(read_whole_file(in.get(), &text), 0);
  EXPECT_EQ(std::string(text.data, text.length), "kept");
  EXPECT_EQ(std::fseek(in.get(), 0, SEEK_SET), 0);  // still usable
}

TEST(read_whole_file, failure_hands_out_nothing) {
  temp_dir dir;
  text_buffer previous;
  ASSERT_EQ(read_bytes(dir, "previous", &previous), 0);
  char* const kept_data = previous.data;

  // An error indicator already set: fails before reading.
  write_file(dir / "input", "data");
  stream in{std::fopen((dir / "input").c_str(), "r")};
  std::fputc('x', in.get());  // writing to a read-only stream sets the error indicator
  ASSERT_TRUE(std::ferror(in.get()));
  EXPECT_EQ(read_whole_file(in.get(), &previous), 1);
  EXPECT_EQ(previous.data, kept_data);
  EXPECT_EQ(std::string(previous.data, previous.length), "previous");

  // A directory opens as a stream, but reading it fails.
  stream directory{std::fopen(dir.path.c_str(), "r")};
  ASSERT_TRUE(directory);
  EXPECT_EQ(read_whole_file(directory.get(), &previous), 1);
  EXPECT_EQ(previous.data, kept_data);
  EXPECT_EQ(previous.length, 8u);

  EXPECT_EQ(read_whole_file(nullptr, &previous), 1);

  // By path: a missing file and a directory fail alike, a file reads whole.
  EXPECT_EQ(read_whole_path((dir / "missing").c_str(), &previous), 1);
  EXPECT_EQ(read_whole_path(dir.path.c_str(), &previous), 1);
  EXPECT_EQ(previous.data, kept_data);
  ASSERT_EQ(read_whole_path((dir / "input").c_str(), &previous), 0);
  EXPECT_EQ(std::string(previous.data, previous.length), "data");
}

TEST(read_whole_file, large_file_and_pipe_of_unknown_size) {
  temp_dir dir;
  std::string bytes(5 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
  text_buffer text;
  ASSERT_EQ(read_bytes(dir, bytes, &text), 0);
  EXPECT_EQ(text.length, bytes.size());
  EXPECT_TRUE(std::string(text.data, text.length) == bytes);
  // A regular file's size is known up front: no room for a second copy.
  EXPECT_LE(text.capacity, bytes.size() + 8192);

  // A pipe has no size to go by, so the buffer must grow as it reads.
  std::FILE* pipe = popen(("cat " + (dir / "input")).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  text_buffer piped;
  EXPECT_EQ(read_whole_file(pipe, &piped), 0);
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_TRUE(std::string(piped.data, piped.length) == bytes);
}

}  // namespace
