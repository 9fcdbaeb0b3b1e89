#include "support/param_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

void param_file_closer::operator()(std::FILE* stream) const noexcept {
  if (stream != nullptr) std::fclose(stream);
}

param_handle param_file_open(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return param_handle{};
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int saved = errno;
    close(fd);
    errno = saved;
  }
  return param_handle{stream};
}

int param_write_string(std::FILE* out, const char* name, const char* value) {
  if (out == nullptr) return 0;
  // The limit is spelled out in the formats because it is part of the file's
  // format; keep it in step with param_value_limit.
  static_assert(param_value_limit == 16000);
  if (std::strchr(value, ' ') != nullptr) {
    return std::fprintf(out, "%s=\"%.16000s\"\n", name, value);
  }
  return std::fprintf(out, "%s=%.16000s\n", name, value);
}

int param_file_close(param_handle& out) {
  if (!out) return 0;
  return std::fclose(out.release());
}
