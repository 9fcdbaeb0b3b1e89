#include "support/param_file.h"

#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

// Writes one line through the writer into a fresh file and returns its bytes.
std::string written_line(const temp_dir& dir, const char* name, const std::string& value,
                         int* reported = nullptr) {
  const std::string path = dir / "out";
  write_file(path, "");
  param_file out;
  EXPECT_EQ(param_file_open(path.c_str(), identity_of(path), 64, &out), param_ok);
  const int count = param_write_string(&out, name, value.c_str());
  if (reported != nullptr) *reported = count;
  EXPECT_EQ(count, static_cast<int>(param_line_length(name, value.c_str())));
  EXPECT_EQ(param_file_close(&out, static_cast<std::size_t>(count)), param_ok);
  EXPECT_EQ(out.fd, -1);
  return read_file(path);
}

TEST(param_file, line_forms_and_the_value_limit) {
  temp_dir dir;
  int count = 0;
  EXPECT_EQ(written_line(dir, "NAME", "value", &count), "NAME=value\n");
  EXPECT_EQ(count, 11);
  EXPECT_EQ(written_line(dir, "NAME", ""), "NAME=\n");
  EXPECT_EQ(written_line(dir, "NAME", "two words"), "NAME=\"two words\"\n");
  EXPECT_EQ(written_line(dir, "NAME", " "), "NAME=\" \"\n");
  EXPECT_EQ(written_line(dir, "NAME", "tab\there"), "NAME=tab\there\n");
  EXPECT_EQ(written_line(dir, "NAME", "a\"b\\c"), "NAME=a\"b\\c\n");  // nothing escaped

  const std::string exact(16000, 'v');
  EXPECT_EQ(written_line(dir, "K", exact), "K=" + exact + "\n");
  EXPECT_EQ(written_line(dir, "K", exact + "w"), "K=" + exact + "\n");
  EXPECT_EQ(written_line(dir, "K", exact + " tail"), "K=\"" + exact + "\"\n");
  const std::string long_name(200000, 'n');  // longer than the output buffer
  EXPECT_EQ(written_line(dir, long_name.c_str(), "v"), long_name + "=v\n");

  param_file* none = nullptr;
  EXPECT_EQ(param_write_string(none, "NAME", "value"), 0);
  EXPECT_EQ(param_write_bytes(none, "x", 1), param_ok);
  EXPECT_EQ(param_file_close(none, 0), param_ok);
}

TEST(param_file, opens_only_the_file_that_was_read) {
  temp_dir dir;
  const std::string path = dir / "app.conf";
  const std::string other = dir / "other.conf";
  write_file(path, "old content\n");
  write_file(other, "someone else's\n");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const file_identity read = identity_of(path);

  {  // Opening does not empty it, and the new content replaces the old whole.
    param_file out;
    ASSERT_EQ(param_file_open(path.c_str(), read, 4, &out), param_ok);
    EXPECT_EQ(read_file(path), "old content\n");
    EXPECT_EQ(out.mode & 07777, 0644u);
    EXPECT_TRUE(out.regular);
    EXPECT_EQ(param_write_bytes(&out, "new\n", 4), param_ok);
    EXPECT_EQ(param_file_close(&out, 4), param_ok);
    EXPECT_EQ(read_file(path), "new\n");
    EXPECT_EQ(identity_of(path).inode, read.inode);
  }
  // Another file at the path, by a symbolic link or by rename: refused, and
  // neither file changes.
  const std::string link = dir / "link.conf";
  ASSERT_EQ(symlink("other.conf", link.c_str()), 0);
  param_file refused;
  EXPECT_EQ(param_file_open(link.c_str(), read, 4, &refused), param_failed);
  EXPECT_EQ(refused.fd, -1);
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
  EXPECT_EQ(param_file_open(path.c_str(), read, 4, &refused), param_failed);
  EXPECT_EQ(read_file(path), "someone else's\n");

  // Vanished: created private, never through a dangling link.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("nowhere.conf", (dir / "dangling.conf").c_str()), 0);
  EXPECT_EQ(param_file_open((dir / "dangling.conf").c_str(), read, 4, &refused), param_failed);
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere.conf"));
  EXPECT_EQ(param_file_open((dir / "missing/dir/file").c_str(), read, 4, &refused), param_failed);
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
  const mode_t mask = umask(0);
  param_file fresh;
  ASSERT_EQ(param_file_open(path.c_str(), read, 4, &fresh), param_ok);
  umask(mask);
  EXPECT_GE(fresh.directory_fd, 0);
  EXPECT_EQ(param_write_bytes(&fresh, "K=v\n", 4), param_ok);
  EXPECT_EQ(param_file_close(&fresh, 4), param_ok);
  EXPECT_EQ(identity_of(path).mode & 07777, 0600u);
  EXPECT_EQ(read_file(path), "K=v\n");
}

TEST(param_file, limits_failures_and_restore) {
  temp_dir dir;
  const std::string path = dir / "app.conf";
  write_file(path, std::string(3000, 'o'));
  param_file out;
  ASSERT_EQ(param_file_open(path.c_str(), identity_of(path), 64, &out), param_ok);

  // The file-size limit is checked against the larger of the two sizes.
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const struct rlimit limited{2048, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const int shrinking = param_file_reserve(&out, 3000, 100);
  const int within = param_file_reserve(&out, 1000, 2048);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  EXPECT_EQ(shrinking, param_failed);
  EXPECT_EQ(within, param_ok);
  EXPECT_EQ(param_file_reserve(&out, 3000, 5000), param_ok);
  EXPECT_EQ(read_file(path), std::string(3000, 'o'));  // reserving shows nothing

  // Restore puts the old bytes back over whatever was written.
  EXPECT_EQ(param_write_bytes(&out, std::string(100000, 'n').data(), 100000), param_ok);
  EXPECT_EQ(param_file_restore(&out, std::string(3000, 'o').data(), 3000), param_ok);
  EXPECT_EQ(out.fd, -1);
  EXPECT_EQ(read_file(path), std::string(3000, 'o'));
  EXPECT_EQ(param_file_restore(&out, "x", 1), param_failed);  // closed already

  // A device that fails every write: the writes or the close say so, and
  // so does the restore; a failed write stays failed.
  param_file full;
  ASSERT_EQ(param_file_open("/dev/full", identity_of("/dev/full"), 4, &full), param_ok);
  EXPECT_FALSE(full.regular);
  EXPECT_EQ(param_write_string(&full, "N", "v"), 4);  // still buffered
  EXPECT_EQ(param_file_close(&full, 4), param_failed);
  EXPECT_EQ(param_write_bytes(&full, "x", 1), param_failed);
  EXPECT_LT(param_write_string(&full, "N", "v"), 0);
  EXPECT_EQ(param_file_restore(&full, "N=1\n", 4), param_failed);
}

}  // namespace
