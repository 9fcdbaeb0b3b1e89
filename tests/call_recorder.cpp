// Preloaded into the program under test: records its system-log calls and
// its syncs, one line each, in the file named by CREDGRAFT_SYSLOG_RECORD, and
// sends nothing to the real system log. At the first sync, which is inside
// the write window, it can also raise the signals listed (as numbers) in
// CREDGRAFT_RAISE_AT_SYNC, wait there until another process has opened and
// closed the FIFO named by CREDGRAFT_PAUSE_AT_SYNC, fault there
// (CREDGRAFT_FAULT_AT_SYNC=segv or abort), and fail the syncs counted from
// CREDGRAFT_FAIL_SYNC (1 = every sync) with EIO.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

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
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, line, length) != length) std::abort();
  close(fd);
  if (limited) setrlimit(RLIMIT_FSIZE, &saved);
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
  using sync_call = int (*)(int);
  const auto real = reinterpret_cast<sync_call>(dlsym(RTLD_NEXT, name));
  return real(fd);
}

}  // namespace

extern "C" {

int fdatasync(int fd) { return sync_hook(fd, "fdatasync"); }
int fsync(int fd) { return sync_hook(fd, "fsync"); }

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
