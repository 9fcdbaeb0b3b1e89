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
  const std::size_t length = param_line_length(name, value.c_str());
  EXPECT_EQ(param_file_open(path.c_str(), identity_of(path), {0, length, 0, 0, length}, &out),
            param_ok);
  const int count = param_write_string(&out, name, value.c_str());
  if (reported != nullptr) *reported = count;
  EXPECT_EQ(count, static_cast<int>(length));
  EXPECT_EQ(param_file_close(&out), param_ok);
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
  EXPECT_EQ(param_file_close(none), param_ok);
}

TEST(param_file, opens_only_the_file_that_was_read) {
  temp_dir dir;
  const std::string path = dir / "app.conf";
  const std::string other = dir / "other.conf";
  write_file(path, "old content\n");
  write_file(other, "someone else's\n");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  const file_identity read = identity_of(path);

  const param_change whole{0, 4, 12, 12, 4};
  {  // Opening does not empty it, and the new content replaces the old whole.
    param_file out;
    ASSERT_EQ(param_file_open(path.c_str(), read, whole, &out), param_ok);
    EXPECT_EQ(read_file(path), "old content\n");
    EXPECT_EQ(out.mode & 07777, 0644u);
    EXPECT_TRUE(out.regular);
    EXPECT_EQ(param_write_bytes(&out, "new\n", 4), param_ok);
    EXPECT_EQ(param_file_close(&out), param_ok);
    EXPECT_EQ(read_file(path), "new\n");
    EXPECT_EQ(identity_of(path).inode, read.inode);
  }
  // Written to since it was read, as its size or either time shows: refused
  // for another read, and left as it is.
  const file_identity now = identity_of(path);
  for (int field = 0; field < 4; ++field) {
    file_identity stale = now;
    if (field == 0) stale.size += 1;
    if (field == 1) stale.modified.tv_nsec ^= 1;
    if (field == 2) stale.changed.tv_nsec ^= 1;
    if (field == 3) stale.changed.tv_sec -= 1;
    param_file out;
    EXPECT_EQ(param_file_open(path.c_str(), stale, whole, &out), param_changed) << field;
    EXPECT_EQ(out.fd, -1);
  }
  EXPECT_EQ(read_file(path), "new\n");

  // Another file at the path, by a symbolic link or by rename: refused, and
  // neither file changes.
  const std::string link = dir / "link.conf";
  ASSERT_EQ(symlink("other.conf", link.c_str()), 0);
  param_file refused;
  EXPECT_EQ(param_file_open(link.c_str(), read, whole, &refused), param_failed);
  EXPECT_EQ(refused.fd, -1);
  ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
  EXPECT_EQ(param_file_open(path.c_str(), read, whole, &refused), param_failed);
  EXPECT_EQ(read_file(path), "someone else's\n");

  // Vanished: refused, and nothing is made, at the path or through a link.
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink("nowhere.conf", (dir / "dangling.conf").c_str()), 0);
  for (const std::string& gone : {path, dir / "dangling.conf", dir / "missing/dir/file"}) {
    EXPECT_EQ(param_file_open(gone.c_str(), read, whole, &refused), param_failed) << gone;
  }
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_FALSE(std::filesystem::exists(dir / "nowhere.conf"));
  EXPECT_FALSE(std::filesystem::exists(dir / "missing"));
}

TEST(param_file, limits_failures_and_restore) {
  temp_dir dir;
  const std::string path = dir / "app.conf";
  const std::string old(3000, 'o');
  write_file(path, old);

  // The file-size limit is checked against the highest byte that the window
  // or a restore writes, and only when something is written.
  struct probe {
    param_change change;
    int expected;
  };
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  for (const probe& p : {probe{{100, 100, 3000, 3000, 100}, param_failed},  // restore regrows
                         probe{{1000, 2048, 2048, 3000, 3000}, param_ok},   // below the limit
                         probe{{2000, 2049, 2049, 3000, 3000}, param_failed},
                         probe{{3000, 3000, 3000, 3000, 3000}, param_ok}}) {  // writes nothing
    param_file out;
    ASSERT_EQ(param_file_open(path.c_str(), identity_of(path), p.change, &out), param_ok);
    const struct rlimit limited{2048, saved.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int reserved = param_file_reserve(&out);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(reserved, p.expected) << p.change.from << " " << p.change.new_end;
  }
  // Even a same-size rewrite needs free blocks for itself and its restore.
  const std::size_t huge = std::size_t{1} << 50;
  for (const param_change& change : {param_change{0, huge, huge, huge, huge},
                                     param_change{0, 3000, 3000, 3000, 3000 + huge}}) {
    param_file out;
    ASSERT_EQ(param_file_open(path.c_str(), identity_of(path), change, &out), param_ok);
    EXPECT_EQ(param_file_reserve(&out), param_failed);
  }
  EXPECT_EQ(read_file(path), old);  // reserving shows nothing

  // Only the region is written: nothing before `from`, nothing past
  // `new_end`; a restore puts back the old bytes and the old size.
  param_file out;
  ASSERT_EQ(param_file_open(path.c_str(), identity_of(path), {10, 100000, 3000, 3000, 100000}, &out),
            param_ok);
  EXPECT_EQ(param_file_reserve(&out), param_ok);
  const std::string fresh(100000, 'n');
  EXPECT_EQ(param_write_bytes(&out, fresh.data(), 7), param_ok);  // in pieces of every size
  EXPECT_EQ(param_write_bytes(&out, fresh.data() + 7, 2000), param_ok);
  EXPECT_EQ(param_write_bytes(&out, fresh.data() + 2007, fresh.size() - 2007), param_ok);
  EXPECT_EQ(param_file_restore(&out, old.data()), param_ok);
  EXPECT_EQ(out.fd, -1);
  EXPECT_EQ(read_file(path), old);
  EXPECT_EQ(param_file_restore(&out, old.data()), param_failed);  // closed already
  for (const param_change& change : {param_change{10, 100000, 3000, 3000, 100000},
                                     param_change{10, 20, 20, 3000, 3000},
                                     param_change{2990, 2990, 3000, 3000, 2990}}) {
    write_file(path, old);
    param_file file;
    ASSERT_EQ(param_file_open(path.c_str(), identity_of(path), change, &file), param_ok);
    EXPECT_EQ(param_write_bytes(&file, fresh.data(), change.new_size), param_ok);
    EXPECT_EQ(param_file_close(&file), param_ok);
    EXPECT_EQ(file.fd, -1);
    const bool same_size = change.old_size == change.new_size;
    const std::string expected = old.substr(0, change.from) +
                                 fresh.substr(change.from, change.new_end - change.from) +
                                 (same_size ? old.substr(change.new_end) : "");
    EXPECT_TRUE(read_file(path) == expected) << change.from << " " << change.new_end;
  }

  // A device that fails every write: the writes or the close say so, and
  // so does the restore; a failed write stays failed. A device gets the
  // whole content, whatever the region.
  param_file full;
  ASSERT_EQ(param_file_open("/dev/full", identity_of("/dev/full"), {3, 4, 4, 4, 4}, &full),
            param_ok);
  EXPECT_FALSE(full.regular);
  EXPECT_EQ(full.change.from, 0u);
  EXPECT_EQ(param_write_string(&full, "N", "v"), 4);  // still buffered
  EXPECT_EQ(param_file_close(&full), param_failed);
  EXPECT_EQ(param_write_bytes(&full, "x", 1), param_failed);
  EXPECT_LT(param_write_string(&full, "N", "v"), 0);
  EXPECT_EQ(param_file_restore(&full, "N=1\n"), param_failed);
}

}  // namespace
