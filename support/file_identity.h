// What the parameter file was when it was read, so that the rewrite writes
// that file and no other.
#pragma once

#include <sys/types.h>

struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
};
