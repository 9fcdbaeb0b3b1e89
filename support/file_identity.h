// What the parameter file was when it was read, so that the rewrite writes
// that file and no other, and only as it was when it was read.
#pragma once

#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  off_t size = 0;
  timespec modified{};  // st_mtim
  timespec changed{};   // st_ctim: moves with any change, even one that restores the mtime
};

inline file_identity file_identity_of(const struct stat& info) {
  return file_identity{info.st_dev, info.st_ino, info.st_mode, info.st_size, info.st_mtim,
                       info.st_ctim};
}

// True when `info` shows the file of `read` with the same size and times:
// nothing has been written to it since, as far as its times can tell.
inline bool file_unchanged(const file_identity& read, const struct stat& info) {
  return info.st_size == read.size && info.st_mtim.tv_sec == read.modified.tv_sec &&
         info.st_mtim.tv_nsec == read.modified.tv_nsec &&
         info.st_ctim.tv_sec == read.changed.tv_sec && info.st_ctim.tv_nsec == read.changed.tv_nsec;
}
