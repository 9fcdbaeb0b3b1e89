#include "support/param_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

// Replaced lines are a few KiB each and gather here; runs of unchanged
// bytes at least this long go to the kernel straight from the text read.
// Measured on 20 000 replaced lines (38 MB), 1 MiB writes took 38 ms where
// 64 KiB writes took 67 ms; a small file gets a buffer of its own size, as
// every page of it is touched when it is wiped.
constexpr std::size_t buffer_limit = std::size_t{1} << 20;

// Large runs go to the kernel in pieces of this size: measured on a 60 MB
// file, one write of tens of megabytes ran up to three times slower than the
// same bytes in 1 MiB writes, which keep the page cache's dirty pages moving.
constexpr std::size_t write_piece = std::size_t{1} << 20;

// Every short write is carried on; a write that makes no progress is a
// failure, as a full disk reports itself that way too.
bool write_all(int fd, const char* bytes, std::size_t count) {
  while (count > 0) {
    const std::size_t piece = count < write_piece ? count : write_piece;
    const ssize_t done = write(fd, bytes, piece);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    count -= static_cast<std::size_t>(done);
  }
  return true;
}

bool flush(param_file& file) {
  if (file.failed) return false;
  if (file.used != 0 && !write_all(file.fd, file.buffer.data, file.used)) file.failed = true;
  file.used = 0;
  return !file.failed;
}

void close_quietly(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

struct free_deleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

// Opens the directory that holds `path`, and points `*name` at the last
// component. Returns the descriptor, or -1.
int open_directory_of(const char* path, const char** name) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    *name = path;
    return open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  *name = slash + 1;
  const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
  const std::unique_ptr<char, free_deleter> directory{static_cast<char*>(std::malloc(length + 1))};
  if (!directory) return -1;
  std::memcpy(directory.get(), path, length);
  directory.get()[length] = '\0';
  return open(directory.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool finish(param_file& file, std::size_t length) {
  if (!flush(file)) return false;
  if (!file.regular) return true;
  if (ftruncate(file.fd, static_cast<off_t>(length)) != 0) return false;
  return fdatasync(file.fd) == 0;
}

// Closes the file and, for one created here, syncs its new directory entry.
bool close_synced(param_file& file) {
  const bool closed = close(file.fd) == 0;
  file.fd = -1;
  bool directory_synced = true;
  if (file.directory_fd >= 0) {
    directory_synced = fsync(file.directory_fd) == 0;
    close_quietly(file.directory_fd);
  }
  return closed && directory_synced;
}

}  // namespace

param_file::~param_file() {
  close_quietly(fd);
  close_quietly(directory_fd);
}

int param_file_open(const char* path, const file_identity& read, std::size_t content_size,
                    param_file* out) {
  if (out == nullptr || out->fd >= 0) return param_failed;
  text_buffer buffer;
  const std::size_t capacity = content_size < buffer_limit ? content_size + 1 : buffer_limit;
  if (!text_buffer_allocate(buffer, capacity)) return param_out_of_memory;

  // Not emptied at open: the file must first prove to be the one read. Not
  // blocking either, should a FIFO have been put in its place.
  int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  int directory_fd = -1;
  if (fd < 0 && errno == ENOENT) {
    // Vanished since the read. O_EXCL refuses any link, dangling or not,
    // so the new file is exactly where the path says.
    const char* name = nullptr;
    directory_fd = open_directory_of(path, &name);
    if (directory_fd < 0) return param_failed;
    fd = openat(directory_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
      close_quietly(directory_fd);
      return param_failed;
    }
  }
  if (fd < 0) return param_failed;

  struct stat info;
  const bool same = fstat(fd, &info) == 0 &&
                    (directory_fd >= 0 || (info.st_dev == read.device && info.st_ino == read.inode));
  const int flags = same ? fcntl(fd, F_GETFL) : -1;
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close_quietly(fd);
    close_quietly(directory_fd);
    return param_failed;
  }
  out->fd = fd;
  out->directory_fd = directory_fd;
  out->regular = S_ISREG(info.st_mode);
  out->mode = info.st_mode;
  out->failed = false;
  out->used = 0;
  out->buffer = std::move(buffer);
  return param_ok;
}

int param_file_reserve(param_file* file, std::size_t old_size, std::size_t new_size) {
  if (file == nullptr || file->fd < 0) return param_failed;
  if (!file->regular) return param_ok;
  const std::size_t larger = old_size > new_size ? old_size : new_size;
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      larger > limit.rlim_cur) {
    return param_failed;
  }
  if (new_size > old_size &&
      fallocate(file->fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(old_size),
                static_cast<off_t>(new_size - old_size)) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS) {
    return param_failed;
  }
  return param_ok;
}

int param_write_bytes(param_file* file, const char* bytes, std::size_t count) {
  if (file == nullptr) return param_ok;
  if (file->failed) return param_failed;
  const std::size_t capacity = file->buffer.capacity;
  if (count > capacity - file->used) {
    if (!flush(*file)) return param_failed;
    if (count >= capacity) {
      if (!write_all(file->fd, bytes, count)) file->failed = true;
      return file->failed ? param_failed : param_ok;
    }
  }
  std::memcpy(file->buffer.data + file->used, bytes, count);
  file->used += count;
  return param_ok;
}

std::size_t param_line_length(const char* name, const char* value) {
  const bool quoted = std::strchr(value, ' ') != nullptr;
  return std::strlen(name) + 2 + strnlen(value, param_value_limit) + (quoted ? 2 : 0);
}

int param_write_string(param_file* file, const char* name, const char* value) {
  if (file == nullptr) return 0;
  const bool quoted = std::strchr(value, ' ') != nullptr;
  const char* const equals = quoted ? "=\"" : "=";
  const char* const end = quoted ? "\"\n" : "\n";
  const std::size_t value_length = strnlen(value, param_value_limit);
  const bool written = param_write_bytes(file, name, std::strlen(name)) == param_ok &&
                       param_write_bytes(file, equals, std::strlen(equals)) == param_ok &&
                       param_write_bytes(file, value, value_length) == param_ok &&
                       param_write_bytes(file, end, std::strlen(end)) == param_ok;
  return written ? static_cast<int>(param_line_length(name, value)) : -1;
}

int param_file_close(param_file* file, std::size_t length) {
  if (file == nullptr || file->fd < 0) return param_ok;
  if (!finish(*file, length)) return param_failed;
  return close_synced(*file) ? param_ok : param_failed;
}

int param_file_restore(param_file* file, const char* text, std::size_t length) {
  if (file == nullptr || file->fd < 0) return param_failed;
  file->failed = false;
  file->used = 0;
  if (file->regular && lseek(file->fd, 0, SEEK_SET) != 0) return param_failed;
  const bool restored = write_all(file->fd, text, length) && finish(*file, length);
  return close_synced(*file) && restored ? param_ok : param_failed;
}
