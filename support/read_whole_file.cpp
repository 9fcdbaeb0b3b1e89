#include "support/read_whole_file.h"

#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <utility>

namespace {

// Every read asks for at least this much, so that a read of 0 bytes is an
// end of file and not a full buffer.
constexpr std::size_t read_chunk = 4096;

// A regular file tells its size, so one allocation usually suffices and the
// peak cost stays one copy of the file instead of the two a doubling growth
// may hold.
std::size_t first_capacity(std::FILE* stream) {
  struct stat info;
  const std::size_t minimum = read_chunk + 1;
  if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return minimum;
  if (info.st_size <= 0) return minimum;
  const auto size = static_cast<std::uintmax_t>(info.st_size);
  if (size > SIZE_MAX / 2) return minimum;
  return static_cast<std::size_t>(size) + minimum;
}

// Grows by half again (linear total cost). Copies instead of realloc so the
// old block can be wiped: it may hold a private key.
bool grow(text_buffer& buffer, std::size_t needed) {
  std::size_t capacity = buffer.capacity + buffer.capacity / 2;
  if (capacity < needed) capacity = needed;
  text_buffer bigger;
  if (!text_buffer_allocate(bigger, capacity)) return false;
  if (buffer.length != 0) std::memcpy(bigger.data, buffer.data, buffer.length);
  bigger.length = buffer.length;
  buffer = std::move(bigger);
  return true;
}

}  // namespace

int read_whole_file(std::FILE* stream, text_buffer* out) {
  if (stream == nullptr || out == nullptr || std::ferror(stream)) return 1;

  text_buffer buffer;
  if (!text_buffer_allocate(buffer, first_capacity(stream))) return 1;
  for (;;) {
    if (buffer.capacity - buffer.length < read_chunk + 1) {
      if (buffer.length > SIZE_MAX - 2 * (read_chunk + 1)) return 1;
      if (!grow(buffer, buffer.length + read_chunk + 1)) return 1;
    }
    const std::size_t room = buffer.capacity - buffer.length - 1;
    const std::size_t got = std::fread(buffer.data + buffer.length, 1, room, stream);
    buffer.length += got;
    if (got == room) continue;
    // A short read is either the end of the file or an error.
    if (std::ferror(stream)) return 1;
    break;
  }
  buffer.data[buffer.length] = '\0';
  *out = std::move(buffer);
  return 0;
}
