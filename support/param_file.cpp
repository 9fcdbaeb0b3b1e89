#include "support/param_file.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

// Replaced lines are a few KiB each and gather here; runs of unchanged
// bytes at least this long go to the kernel straight from the text read.
// Measured on 20 000 replaced lines (38 MB), 1 MiB writes took 38 ms where
// 64 KiB writes took 67 ms; a small region gets a buffer of its own size, as
// every page of it is touched when it is wiped.
constexpr std::size_t buffer_limit = std::size_t{1} << 20;

// Large runs go to the kernel in pieces of this size: measured on a 60 MB
// file, one write of tens of megabytes ran up to three times slower than the
// same bytes in 1 MiB writes, which keep the page cache's dirty pages moving.
constexpr std::size_t write_piece = std::size_t{1} << 20;

// Writes `count` bytes at `offset` of a regular file, or at the position of
// any other. Every short write is carried on; a write that makes no progress
// is a failure, as a full disk reports itself that way too.
bool write_all(const param_file& file, const char* bytes, std::size_t count, std::size_t offset) {
  while (count > 0) {
    const std::size_t piece = count < write_piece ? count : write_piece;
    const ssize_t done = file.regular ? pwrite(file.fd, bytes, piece, static_cast<off_t>(offset))
                                      : write(file.fd, bytes, piece);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<std::size_t>(done);
    offset += static_cast<std::size_t>(done);
  }
  return true;
}

bool flush(param_file& file) {
  if (file.failed) return false;
  if (file.used != 0 && !write_all(file, file.buffer.data, file.used, file.buffer_at)) {
    file.failed = true;
  }
  file.used = 0;
  return !file.failed;
}

void close_quietly(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool writes_nothing(const param_change& change) {
  return change.from == change.new_end && change.from == change.old_end &&
         change.old_size == change.new_size;
}

// The number of file-system blocks that bytes `from` to `end` touch.
std::uintmax_t blocks_between(std::size_t from, std::size_t end, std::uintmax_t block) {
  if (end <= from) return 0;
  return (end - 1) / block - from / block + 1;
}

// Whether the `count` bytes at `offset` of the file are `original`, read back
// through the file's own buffer, which is left wiped. The file is open for
// writing only, so its inode is opened again through the descriptor, never
// through its path; where that fails, the bytes are not known to be right.
bool reads_back(param_file& file, const char* original, std::size_t count, std::size_t offset) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", file.fd);
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
  bool same = fd >= 0;
  while (same && count > 0) {
    const std::size_t piece = count < file.buffer.capacity ? count : file.buffer.capacity;
    const ssize_t done = pread(fd, file.buffer.data, piece, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    same = done > 0 && std::memcmp(file.buffer.data, original, static_cast<std::size_t>(done)) == 0;
    if (!same) break;
    original += done;
    count -= static_cast<std::size_t>(done);
    offset += static_cast<std::size_t>(done);
  }
  explicit_bzero(file.buffer.data, file.buffer.capacity);
  if (fd >= 0) close(fd);
  return same;
}

// Sets the size to `size` if that differs from `other`, and syncs the data.
// Once the sync has succeeded the bytes are the result, so the close that
// follows cannot fail them; the close of a file that is not synced can.
bool sync_and_close(param_file& file, std::size_t size, std::size_t other) {
  bool done = true;
  if (file.regular) {
    if (size != other) done = ftruncate(file.fd, static_cast<off_t>(size)) == 0;
    done = done && fdatasync(file.fd) == 0;
    if (!done) return false;
    close_quietly(file.fd);
    return true;
  }
  done = close(file.fd) == 0;
  file.fd = -1;
  return done;
}

// Opens `path` for writing if it is still the file `read` describes (device
// and inode), blocking as usual. Returns the descriptor, with `*info`
// filled, or -1.
int open_the_file_read(const char* path, const file_identity& read, struct stat* info) {
  // Not emptied at open: the file must first prove to be the one read. Not
  // blocking either, should a FIFO have been put in its place. Never created:
  // a file that is no longer there was removed by someone, on purpose or not.
  const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  const bool same =
      fstat(fd, info) == 0 && info->st_dev == read.device && info->st_ino == read.inode;
  const int flags = same ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the file-size limit and the free space allow the window's region
// and its restore; `highest` is the larger of their ends.
bool limits_allow(int fd, const param_change& change, std::size_t highest) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      highest > limit.rlim_cur) {
    return false;
  }
  // A file system that cannot say (no blocks at all) is not held to it.
  struct statvfs space;
  if (fstatvfs(fd, &space) != 0 || space.f_blocks == 0) return true;
  const std::uintmax_t block = space.f_frsize != 0 ? space.f_frsize : space.f_bsize;
  if (block == 0) return true;
  const std::uintmax_t needed = blocks_between(change.from, change.new_end, block) +
                                blocks_between(change.from, change.old_end, block);
  return space.f_bavail >= needed;
}

// Whether the blocks to overwrite are unshared and any growth reserved, or
// the file system cannot do either.
bool blocks_claimed(int fd, const param_change& change, std::size_t highest) {
  // Blocks shared with a reflinked copy need new ones even to be
  // overwritten, and more than one each on some file systems (XFS keeps
  // btrees and a reserve), which the free-space count cannot foresee:
  // unsharing the old blocks that the window or a restore overwrites finds a
  // full disk now, before any byte changes.
  const std::size_t overwritten = highest < change.old_size ? highest : change.old_size;
  if (overwritten > change.from &&
      fallocate(fd, FALLOC_FL_UNSHARE_RANGE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(change.from),
                static_cast<off_t>(overwritten - change.from)) != 0 &&
      errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS) {
    return false;
  }
  return change.new_size <= change.old_size ||
         fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(change.old_size),
                   static_cast<off_t>(change.new_size - change.old_size)) == 0 ||
         errno == EOPNOTSUPP || errno == ENOSYS;
}

}  // namespace

param_file::~param_file() { close_quietly(fd); }

int param_file_open(const char* path, const file_identity& read, const param_change& change,
                    param_file* out) {
  if (out == nullptr || out->fd >= 0) return param_failed;
  struct stat info;
  const int fd = open_the_file_read(path, read, &info);
  if (fd < 0) return param_failed;
  const bool regular = S_ISREG(info.st_mode);
  if (regular && !file_unchanged(read, info)) {
    close(fd);
    return param_changed;
  }
  // Only a regular file keeps its old bytes where they were.
  param_change region = change;
  if (!regular) region = param_change{0, change.new_size, change.old_size, change.old_size,
                                      change.new_size};
  const std::size_t size = region.new_end - region.from;
  text_buffer buffer;
  if (!text_buffer_allocate(buffer, size < buffer_limit ? size + 1 : buffer_limit)) {
    close(fd);
    return param_out_of_memory;
  }
  out->fd = fd;
  out->regular = regular;
  out->mode = info.st_mode;
  out->failed = false;
  out->change = region;
  out->offset = 0;
  out->buffer_at = 0;
  out->used = 0;
  out->buffer = std::move(buffer);
  return param_ok;
}

int param_file_reserve(param_file* file) {
  if (file == nullptr || file->fd < 0) return param_failed;
  const param_change& change = file->change;
  if (!file->regular || writes_nothing(change)) return param_ok;
  // The window writes up to new_end and a restore up to old_end, and sets
  // sizes no larger than those.
  const std::size_t highest = change.new_end > change.old_end ? change.new_end : change.old_end;
  return limits_allow(file->fd, change, highest) && blocks_claimed(file->fd, change, highest)
             ? param_ok
             : param_failed;
}

int param_write_bytes(param_file* file, const char* bytes, std::size_t count) {
  if (file == nullptr) return param_ok;
  if (file->failed) return param_failed;
  // Only the part inside the region goes out; what comes before it is the
  // same as the file holds, and so is what comes after it.
  const std::size_t at = file->offset;
  file->offset += count;
  const std::size_t from = at > file->change.from ? at : file->change.from;
  const std::size_t end = file->offset < file->change.new_end ? file->offset : file->change.new_end;
  if (from >= end) return param_ok;
  bytes += from - at;
  count = end - from;
  const std::size_t capacity = file->buffer.capacity;
  if (count > capacity - file->used) {
    if (!flush(*file)) return param_failed;
    if (count >= capacity) {
      if (!write_all(*file, bytes, count, from)) file->failed = true;
      return file->failed ? param_failed : param_ok;
    }
  }
  // The region is written in order, so the buffer's bytes are contiguous.
  if (file->used == 0) file->buffer_at = from;
  std::memcpy(file->buffer.data + file->used, bytes, count);
  file->used += count;
  return param_ok;
}

void param_line_parts(const char* name, const char* value, param_span parts[4]) {
  const bool quoted = std::strchr(value, ' ') != nullptr;
  parts[0] = {name, std::strlen(name)};
  parts[1] = {quoted ? "=\"" : "=", quoted ? std::size_t{2} : std::size_t{1}};
  parts[2] = {value, strnlen(value, param_value_limit)};
  parts[3] = {quoted ? "\"\n" : "\n", quoted ? std::size_t{2} : std::size_t{1}};
}

std::size_t param_line_length(const char* name, const char* value) {
  param_span parts[4];
  param_line_parts(name, value, parts);
  return parts[0].count + parts[1].count + parts[2].count + parts[3].count;
}

int param_write_string(param_file* file, const char* name, const char* value) {
  if (file == nullptr) return 0;
  param_span parts[4];
  param_line_parts(name, value, parts);
  for (const param_span& part : parts) {
    if (param_write_bytes(file, part.bytes, part.count) != param_ok) return -1;
  }
  return static_cast<int>(parts[0].count + parts[1].count + parts[2].count + parts[3].count);
}

int param_file_close(param_file* file) {
  if (file == nullptr || file->fd < 0) return param_ok;
  if (!flush(*file)) return param_failed;
  const param_change& change = file->change;
  // No byte differs: the modification time still says the file was
  // rewritten, as anyone watching it expects. That is a courtesy: a file
  // system that cannot set times (ENOSYS, EPERM, EOPNOTSUPP) writes fine,
  // and failing there would fail every later run with nothing to change.
  if (file->regular && writes_nothing(change)) {
    const struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
    static_cast<void>(futimens(file->fd, times));
  }
  return sync_and_close(*file, change.new_size, change.old_size) ? param_ok : param_failed;
}

int param_file_restore(param_file* file, const char* old_text, std::size_t old_text_offset) {
  if (file == nullptr || file->fd < 0) return param_failed;
  file->failed = false;
  file->used = 0;
  const param_change& change = file->change;
  if (!file->regular) {
    const bool written = write_all(*file, old_text, change.old_size, 0);
    return sync_and_close(*file, 0, 0) && written ? param_ok : param_failed;
  }
  if (change.from < old_text_offset) return param_failed;
  // A write that fails here (a full disk) may find the old bytes still in
  // place, as when the window's own first write failed: then only the size
  // and the sync are left to put back, and the file is not damaged.
  const char* original = old_text + (change.from - old_text_offset);
  const std::size_t count = change.old_end - change.from;
  if ((!write_all(*file, original, count, change.from) &&
       !reads_back(*file, original, count, change.from)) ||
      !sync_and_close(*file, change.old_size, change.new_size)) {
    close_quietly(file->fd);
    return param_failed;
  }
  return param_ok;
}
