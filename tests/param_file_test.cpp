#include "support/param_file.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

// Writes one line through the writer and returns the file's bytes.
std::string written_line(const temp_dir& dir, const char* name, const std::string& value,
                         int* reported = nullptr) {
  param_handle out = param_file_open((dir / "out").c_str());
  EXPECT_TRUE(out);
  const int count = param_write_string(out.get(), name, value.c_str());
  if (reported != nullptr) *reported = count;
  EXPECT_EQ(param_file_close(out), 0);
  EXPECT_FALSE(out);
  return read_file(dir / "out");
}

TEST(param_file, line_forms) {
  temp_dir dir;
  int count = 0;
  EXPECT_EQ(written_line(dir, "NAME", "value", &count), "NAME=value\n");
  EXPECT_EQ(count, 11);
  EXPECT_EQ(written_line(dir, "NAME", ""), "NAME=\n");
  EXPECT_EQ(written_line(dir, "NAME", "two words"), "NAME=\"two words\"\n");
  EXPECT_EQ(written_line(dir, "NAME", " "), "NAME=\" \"\n");
  EXPECT_EQ(written_line(dir, "NAME", "tab\there"), "NAME=tab\there\n");
  EXPECT_EQ(written_line(dir, "NAME", "a\"b\\c"), "NAME=a\"b\\c\n");  // nothing escaped
}

TEST(param_file, value_cut_at_16000_bytes_name_whole) {
  temp_dir dir;
  const std::string exact(16000, 'v');
  EXPECT_EQ(written_line(dir, "K", exact), "K=" + exact + "\n");
  EXPECT_EQ(written_line(dir, "K", exact + "w"), "K=" + exact + "\n");
  EXPECT_EQ(written_line(dir, "K", exact + " tail"), "K=\"" + exact + "\"\n");
  const std::string long_name(20000, 'n');
  EXPECT_EQ(written_line(dir, long_name.c_str(), "v"), long_name + "=v\n");
}

TEST(param_file, open_empties_or_creates_private_file) {
  temp_dir dir;
  write_file(dir / "out", "old content\n");
  ASSERT_EQ(chmod((dir / "out").c_str(), 0644), 0);
  param_handle out = param_file_open((dir / "out").c_str());
  ASSERT_TRUE(out);
  EXPECT_EQ(read_file(dir / "out"), "");
  EXPECT_EQ(param_file_close(out), 0);
  struct stat info;
  ASSERT_EQ(stat((dir / "out").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);  // an existing file keeps its mode

  param_handle fresh = param_file_open((dir / "new").c_str());
  ASSERT_TRUE(fresh);
  EXPECT_EQ(param_file_close(fresh), 0);
  ASSERT_EQ(stat((dir / "new").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  EXPECT_FALSE(param_file_open((dir / "missing/dir/file").c_str()));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(param_file, absent_handle_and_failed_writes_are_visible) {
  param_handle none;
  EXPECT_EQ(param_write_string(nullptr, "NAME", "value"), 0);
  EXPECT_EQ(param_file_close(none), 0);

  // /dev/full accepts the open and fails the flush: either the write or the
  // close has to say so.
  param_handle full = param_file_open("/dev/full");
  ASSERT_TRUE(full);
  const int count = param_write_string(full.get(), "NAME", std::string(100000, 'x').c_str());
  const int closed = param_file_close(full);
  EXPECT_TRUE(count < 0 || closed != 0) << count << " " << closed;

  param_handle small = param_file_open("/dev/full");
  ASSERT_TRUE(small);
  EXPECT_EQ(param_write_string(small.get(), "N", "v"), 4);  // still buffered
  EXPECT_NE(param_file_close(small), 0);                   // the flush fails
}

}  // namespace
