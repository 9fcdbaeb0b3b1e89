#include "tool/line_source.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/read_whole_file.h"

namespace {

void reset(line_source& s) {
  if (s.fd >= 0) close(s.fd);
  s.fd = -1;
  text_buffer_release(s.buffer);
  s.text = nullptr;
  s.length = s.base = s.next = s.size = 0;
  s.at_end = s.keeping = s.skipping = false;
}

// Reads after the bytes held up to the buffer's capacity less one byte, or to
// the end of the file (then sets at_end). Returns false when a read fails.
bool fill(line_source& s) {
  text_buffer& buffer = s.buffer;
  while (s.length + 1 < buffer.capacity) {
    const ssize_t got = read(s.fd, buffer.data + s.length, buffer.capacity - 1 - s.length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      s.at_end = true;
      break;
    }
    s.length += static_cast<std::size_t>(got);
  }
  buffer.length = s.length;
  s.text = buffer.data;
  return true;
}

// Reads the rest of the file after the bytes held, growing the buffer to
// `expected` bytes first and then by half at least. Returns a read_result.
int read_rest(line_source& s, std::size_t expected) {
  constexpr std::size_t chunk = 4096;
  s.keeping = true;
  if (expected > SIZE_MAX / 2 - s.length) return read_out_of_memory;
  std::size_t needed = s.length + expected + chunk + 1;
  while (!s.at_end) {
    s.buffer.length = s.length;
    if (!text_buffer_grow(s.buffer, needed)) return read_out_of_memory;
    if (!fill(s)) return read_failed;
    if (s.length > SIZE_MAX / 2 - chunk) return read_out_of_memory;
    needed = s.length + chunk + 1;
  }
  s.text = s.buffer.data;
  return read_ok;
}

// Hands out the line at `start` if all of it is held, or the end when no
// line is left. Returns false when more must be read first.
bool take_line(line_source& s, const char* start, source_line* line) {
  const char* const end = s.text + s.length;
  s.next = s.base + static_cast<std::size_t>(start - s.text);
  const auto* newline = static_cast<const char*>(std::memchr(start, '\n', end - start));
  if (newline == nullptr && !s.at_end) return false;
  *line = source_line{};
  if (start == end) return true;
  const char* line_end = newline != nullptr ? newline : end;
  *line = source_line{start, static_cast<std::size_t>(line_end - start), s.next, newline != nullptr};
  s.next += line->length + (newline != nullptr ? 1 : 0);
  return true;
}

// Drops the bytes before `next`, and reads more. A line longer than a piece
// is kept, with all that follows, if it may still match, and passed over if
// not. Returns a read_result.
int refill(line_source& s, const line_filter& filter) {
  const std::size_t done = s.next - s.base;
  std::memmove(s.buffer.data, s.buffer.data + done, s.length - done);
  s.base = s.next;
  s.length -= done;
  if (s.length + 1 >= s.buffer.capacity) {
    if (line_may_match(filter, s.text, s.length)) return line_source_keep(s, s.base);
    s.skipping = true;
    s.base = s.next = s.base + s.length;
    s.length = 0;
  }
  return fill(s) ? read_ok : read_failed;
}

}  // namespace

line_source::~line_source() {
  if (fd >= 0) close(fd);
}

int line_source_open(line_source& s, const char* path, std::size_t piece) {
  reset(s);
  s.fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (s.fd < 0) return errno == ENOMEM ? read_out_of_memory : read_failed;
  struct stat info;
  if (fstat(s.fd, &info) != 0) return read_failed;
  s.identity = file_identity_of(info);
  if (!S_ISREG(info.st_mode)) {
    // No size to go by, and a restore writes all of it back.
    const int read = read_rest(s, 0);
    close(s.fd);
    s.fd = -1;
    return read;
  }
  s.size = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  // A small file gets a buffer of its own size (and one byte to see its end
  // in), as all of a buffer is wiped.
  std::size_t capacity = piece < 1 || piece == SIZE_MAX ? 2 : piece + 1;
  if (s.size < SIZE_MAX - 2 && capacity > s.size + 2) capacity = s.size + 2;
  if (!text_buffer_allocate(s.buffer, capacity)) return read_out_of_memory;
  s.text = s.buffer.data;
  return read_ok;
}

void line_source_borrow(line_source& s, const char* path, const char* text, std::size_t length,
                        const file_identity& identity) {
  reset(s);
  // Not blocking, should a FIFO have been put in its place.
  s.fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat info;
  if (s.fd >= 0 && (fstat(s.fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                    info.st_dev != identity.device || info.st_ino != identity.inode)) {
    close(s.fd);
    s.fd = -1;
  }
  s.text = text;
  s.length = length;
  s.at_end = s.keeping = true;
  s.identity = identity;
}

int line_source_next(line_source& s, const line_filter& filter, source_line* line) {
  for (;;) {
    const char* const end = s.text + s.length;
    const char* at = s.text + (s.next - s.base);
    if (s.skipping) {
      const auto* newline = static_cast<const char*>(std::memchr(at, '\n', end - at));
      s.skipping = newline == nullptr && !s.at_end;
      at = newline != nullptr ? newline + 1 : end;
    }
    if (!s.skipping) {
      const char* start = next_candidate_line(at, end, filter);
      if (take_line(s, start, line)) return read_ok;
      // A last line that is not whole and cannot match is passed over.
      s.skipping = start == end && s.length != 0 && end[-1] != '\n';
    } else {
      s.next = s.base + s.length;
    }
    const int read = refill(s, filter);
    if (read != read_ok) return read;
  }
}

int line_source_keep(line_source& s, std::size_t from) {
  if (s.keeping) return read_ok;
  const std::size_t done = from - s.base;
  std::memmove(s.buffer.data, s.buffer.data + done, s.length - done);
  s.base = from;
  s.length -= done;
  const std::size_t read_so_far = s.base + s.length;
  return read_rest(s, s.size > read_so_far ? s.size - read_so_far : 0);
}
