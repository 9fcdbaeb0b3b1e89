#include "support/read_whole_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <utility>

namespace {

// Every read asks for at least this much, so that a read of 0 bytes is an
// end of file and not a full buffer.
constexpr std::size_t read_chunk = 4096;

// Once a stream has filled the first buffer, a regular file tells how much
// more there is, so one more allocation usually suffices and the peak cost
// stays one copy of the file instead of the two a doubling growth may hold.
// Small files (credentials) never get here and cost no extra system call.
std::size_t size_hint(std::FILE* stream) {
  struct stat info;
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) return 0;
  const auto size = static_cast<std::uintmax_t>(info.st_size);
  return size > SIZE_MAX / 2 ? 0 : static_cast<std::size_t>(size);
}

struct closer {
  void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};
using stream = std::unique_ptr<std::FILE, closer>;

// Unbuffered, so that no copy of a key is left in a stdio buffer freed
// without being wiped.
stream open_unbuffered(const char* path) {
  stream in{std::fopen(path, "re")};
  if (in) std::setvbuf(in.get(), nullptr, _IONBF, 0);
  return in;
}

}  // namespace

int read_whole_file(std::FILE* stream, text_buffer* out) {
  if (stream == nullptr || out == nullptr || std::ferror(stream)) return read_failed;

  text_buffer buffer;
  if (!text_buffer_allocate(buffer, read_chunk + 1)) return read_out_of_memory;
  bool hinted = false;
  for (;;) {
    if (buffer.capacity - buffer.length < read_chunk + 1) {
      if (buffer.length > SIZE_MAX - 2 * (read_chunk + 1)) return read_out_of_memory;
      std::size_t needed = buffer.length + read_chunk + 1;
      if (!hinted) {
        hinted = true;
        // The hint counts the whole file, including what was read already
        // and what came before the stream's position: at worst a little room
        // to spare.
        const std::size_t size = size_hint(stream);
        if (size > buffer.length) needed = size + read_chunk + 1;
      }
      if (!text_buffer_grow(buffer, needed)) return read_out_of_memory;
    }
    const std::size_t room = buffer.capacity - buffer.length - 1;
    const std::size_t got = std::fread(buffer.data + buffer.length, 1, room, stream);
    buffer.length += got;
    if (got == room) continue;
    // A short read is either the end of the file or an error.
    if (std::ferror(stream)) return read_failed;
    break;
  }
  buffer.data[buffer.length] = '\0';
  *out = std::move(buffer);
  return read_ok;
}

int read_whole_path(const char* path, text_buffer* out, file_identity* identity) {
  const stream in = open_unbuffered(path);
  if (!in) return errno == ENOMEM ? read_out_of_memory : read_failed;
  struct stat info;
  if (identity != nullptr && fstat(fileno(in.get()), &info) != 0) return read_failed;
  text_buffer text;
  const int result = read_whole_file(in.get(), &text);
  if (result != read_ok) return result;
  *out = std::move(text);
  if (identity != nullptr) *identity = file_identity_of(info);
  return read_ok;
}

int read_path_prefix(const char* path, std::size_t limit, text_buffer* out) {
  if (out == nullptr || limit == SIZE_MAX) return read_failed;
  const stream in = open_unbuffered(path);
  if (!in) return errno == ENOMEM ? read_out_of_memory : read_failed;
  text_buffer text;
  if (!text_buffer_allocate(text, limit + 1)) return read_out_of_memory;
  // fread carries on over short reads (a pipe's) until the count or the end.
  text.length = std::fread(text.data, 1, limit, in.get());
  if (std::ferror(in.get())) return read_failed;
  text.data[text.length] = '\0';
  *out = std::move(text);
  return read_ok;
}
