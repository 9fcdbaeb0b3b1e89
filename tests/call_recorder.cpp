// Preloaded into the program under test: records its system-log calls and
// its syncs, one line each, in the file named by CREDGRAFT_SYSLOG_RECORD, and
// sends nothing to the real system log. At the first sync, which is inside
// the write window, it can also raise the signals listed (as numbers) in
// CREDGRAFT_RAISE_AT_SYNC, wait there until another process has opened and
// closed the FIFO named by CREDGRAFT_PAUSE_AT_SYNC, fault there
// (CREDGRAFT_FAULT_AT_SYNC=segv or abort), and fail the syncs counted from
// CREDGRAFT_FAIL_SYNC (1 = every sync) with EIO.
//
// It also records the writes, truncations, fallocates and time changes of descriptors
// above 2 (the parameter file's), each with its offset and size; and it can
// play the file's surroundings: CREDGRAFT_FAIL_CLOSE_AFTER_SYNC fails the
// close of a synced descriptor (after closing it) with EIO,
// CREDGRAFT_FREE_BLOCKS sets the free blocks that fstatvfs reports,
// CREDGRAFT_FAIL_TIMES=N fails every time change with errno N,
// CREDGRAFT_FAIL_UNSHARE=N fails every fallocate that unshares with errno N,
// CREDGRAFT_FAIL_WRITE_FROM=N fails the writes counted from the Nth on with
// ENOSPC, writing nothing and recording them as "failed ...", and
// CREDGRAFT_EDIT_AT_OPEN=N edits the file at each of the first N opens for
// writing, just before them: CREDGRAFT_EDIT=append adds a line,
// CREDGRAFT_EDIT=retime only sets its modification time a second back, and
// CREDGRAFT_EDIT=mapped changes the byte before the last one in place through
// a shared mapping made (and its page dirtied) at the first open for reading,
// so that neither the size nor the times move.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Set while the recorder does its own I/O, which is not the program's.
bool busy = false;

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void record(const char* format, ...) {
  const char* path = std::getenv("CREDGRAFT_SYSLOG_RECORD");
  if (path == nullptr) return;
  char line[8192];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  if (length < 0) return;
  if (length > static_cast<int>(sizeof line) - 2) length = sizeof line - 2;
  line[length++] = '\n';
  // A test may run the program under a file-size limit; it is meant for
  // the parameter file, not for this record.
  struct rlimit saved;
  const bool limited = getrlimit(RLIMIT_FSIZE, &saved) == 0 && saved.rlim_cur != saved.rlim_max;
  if (limited) {
    const struct rlimit open_limit{saved.rlim_max, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &open_limit);
  }
  const bool was_busy = busy;
  busy = true;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, line, length) != length) std::abort();
  close(fd);
  busy = was_busy;
  if (limited) setrlimit(RLIMIT_FSIZE, &saved);
}

int synced_fd = -1;

bool watched(int fd) { return fd > 2 && !busy; }

// The parameter file as an editor holds it mapped, its page already dirty.
char* mapped = nullptr;
off_t mapped_size = 0;

void map_at_first_read(const char* path, int flags) {
  const char* how = std::getenv("CREDGRAFT_EDIT");
  if (busy || mapped != nullptr || (flags & O_ACCMODE) != O_RDONLY || how == nullptr ||
      std::strcmp(how, "mapped") != 0) {
    return;
  }
  const int fd = real<int (*)(const char*, int, ...)>("open")(path, O_RDWR | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 2) std::abort();
  void* memory = mmap(nullptr, info.st_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory == MAP_FAILED) std::abort();
  real<int (*)(int)>("close")(fd);
  mapped = static_cast<char*>(memory);
  mapped_size = info.st_size;
  // Written once with its own value: the times move now, before the read.
  *static_cast<volatile char*>(mapped) = mapped[0];
}

// Another process edits the file the program is about to open for writing.
void edit_before_open(const char* path, int flags) {
  static int opens = 0;
  const char* count = std::getenv("CREDGRAFT_EDIT_AT_OPEN");
  if (busy || count == nullptr || (flags & O_ACCMODE) != O_WRONLY || ++opens > std::atoi(count)) {
    return;
  }
  busy = true;
  const char* how = std::getenv("CREDGRAFT_EDIT");
  if (mapped != nullptr) {
    ++mapped[mapped_size - 2];
  } else if (how != nullptr && std::strcmp(how, "retime") == 0) {
    struct stat info;
    if (stat(path, &info) == 0) {
      const struct timespec times[2] = {{0, UTIME_OMIT},
                                        {info.st_mtim.tv_sec - 1, info.st_mtim.tv_nsec}};
      utimensat(AT_FDCWD, path, times, 0);
    }
  } else {
    const int fd = real<int (*)(const char*, int, ...)>("open")(path, O_WRONLY | O_APPEND);
    if (fd >= 0) {
      if (write(fd, "#edited\n", 8) != 8) std::abort();
      close(fd);
    }
  }
  busy = false;
}

void record_message(int priority, const char* format, va_list args) {
  char message[4096];
  std::vsnprintf(message, sizeof message, format, args);
  record("syslog priority=%d message=%s", priority, message);
}


int sync_hook(int fd, const char* name) {
  static int calls = 0;
  ++calls;
  record("%s", name);
  if (calls == 1) {
    if (const char* list = std::getenv("CREDGRAFT_RAISE_AT_SYNC")) {
      for (char* end = nullptr;; list = end) {
        const long number = std::strtol(list, &end, 10);
        if (end == list) break;
        raise(static_cast<int>(number));
      }
    }
    if (const char* gate = std::getenv("CREDGRAFT_PAUSE_AT_SYNC")) {
      // Open at once, so that a signal cannot restart a blocked open after
      // the other side has come and gone; poll reports the hang-up only
      // once a writer has been and closed.
      const int fd = open(gate, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      for (char byte; fd >= 0;) {
        struct pollfd wait{fd, POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 && errno != EINTR) break;
        if ((wait.revents & (POLLIN | POLLHUP)) != 0 && read(fd, &byte, 1) == 0) break;
      }
      if (fd >= 0) close(fd);
    }
    if (const char* fault = std::getenv("CREDGRAFT_FAULT_AT_SYNC")) {
      if (std::strcmp(fault, "abort") == 0) std::abort();
      int* volatile nowhere = nullptr;
      *nowhere = 1;
    }
  }
  const char* failing = std::getenv("CREDGRAFT_FAIL_SYNC");
  if (failing != nullptr && (std::strcmp(failing, "all") == 0 || calls == 1)) {
    errno = EIO;
    return -1;
  }
  synced_fd = fd;
  return real<int (*)(int)>(name)(fd);
}



// Whether the program's next write is one CREDGRAFT_FAIL_WRITE_FROM fails.
bool write_fails() {
  static int writes = 0;
  const char* from = std::getenv("CREDGRAFT_FAIL_WRITE_FROM");
  if (from == nullptr || ++writes < std::atoi(from)) return false;
  errno = ENOSPC;
  return true;
}

}  // namespace

extern "C" {

int fdatasync(int fd) { return sync_hook(fd, "fdatasync"); }
int fsync(int fd) { return sync_hook(fd, "fsync"); }

ssize_t write(int fd, const void* bytes, size_t count) {
  // A plain write goes to the descriptor's position, recorded as its offset.
  if (watched(fd)) {
    const bool fails = write_fails();
    record("%swrite offset=%lld count=%zu", fails ? "failed " : "",
           static_cast<long long>(lseek(fd, 0, SEEK_CUR)), count);
    if (fails) return -1;
  }
  return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, bytes, count);
}
// The program calls these by their plain names (its off_t is 64 bits wide).
ssize_t pwrite(int fd, const void* bytes, size_t count, off_t offset) {
  if (watched(fd)) {
    const bool fails = write_fails();
    record("%spwrite offset=%lld count=%zu", fails ? "failed " : "",
           static_cast<long long>(offset), count);
    if (fails) return -1;
  }
  return real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, bytes, count, offset);
}
int ftruncate(int fd, off_t length) {
  if (watched(fd)) record("ftruncate length=%lld", static_cast<long long>(length));
  return real<int (*)(int, off_t)>("ftruncate")(fd, length);
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
  if (watched(fd)) {
    record("fallocate mode=%d offset=%lld length=%lld", mode, static_cast<long long>(offset),
           static_cast<long long>(length));
    const char* error = std::getenv("CREDGRAFT_FAIL_UNSHARE");
    if (error != nullptr && (mode & FALLOC_FL_UNSHARE_RANGE) != 0) {
      errno = std::atoi(error);
      return -1;
    }
  }
  return real<int (*)(int, int, off_t, off_t)>("fallocate")(fd, mode, offset, length);
}

int futimens(int fd, const struct timespec times[2]) {
  if (watched(fd)) {
    record("futimens");
    if (const char* error = std::getenv("CREDGRAFT_FAIL_TIMES")) {
      errno = std::atoi(error);
      return -1;
    }
  }
  return real<int (*)(int, const struct timespec*)>("futimens")(fd, times);
}

int close(int fd) {
  const int result = real<int (*)(int)>("close")(fd);
  if (!busy && fd == synced_fd && std::getenv("CREDGRAFT_FAIL_CLOSE_AFTER_SYNC") != nullptr) {
    synced_fd = -1;
    errno = EIO;
    return -1;
  }
  return result;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  edit_before_open(path, flags);
  map_at_first_read(path, flags);
  return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int fstatvfs(int fd, struct statvfs* info) {
  const int result = real<int (*)(int, struct statvfs*)>("fstatvfs")(fd, info);
  const char* free_blocks = std::getenv("CREDGRAFT_FREE_BLOCKS");
  if (result == 0 && free_blocks != nullptr) {
    info->f_bavail = info->f_bfree = std::strtoull(free_blocks, nullptr, 10);
  }
  return result;
}

void openlog(const char* ident, int option, int facility) {
  record("openlog ident=%s option=%d facility=%d", ident != nullptr ? ident : "(null)", option,
         facility);
}

void closelog(void) { record("closelog"); }

void vsyslog(int priority, const char* format, va_list args) {
  record_message(priority, format, args);
}

void syslog(int priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record_message(priority, format, args);
  va_end(args);
}

void __vsyslog_chk(int priority, int, const char* format, va_list args) {
  record_message(priority, format, args);
}

void __syslog_chk(int priority, int, const char* format, ...) {
  va_list args;
  va_start(args, format);
  record_message(priority, format, args);
  va_end(args);
}

}  // extern "C"
