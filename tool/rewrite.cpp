#include "tool/rewrite.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "support/base64.h"
#include "support/param_file.h"
#include "support/read_whole_file.h"
#include "support/text_buffer.h"

namespace {

// Output buffer size: large enough that runs of replaced lines, each a few
// KiB, do not cost a system call apiece.
constexpr std::size_t output_buffer_size = 64 * 1024;

// Holds back the usual interrupt signals while the file is open for writing,
// so that an interrupt lands once the file is whole again (new or restored)
// instead of leaving it half written. A pending signal is delivered when the
// old mask comes back.
class interrupts_held {
 public:
  interrupts_held() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, &saved_);
  }
  ~interrupts_held() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
  interrupts_held(const interrupts_held&) = delete;
  interrupts_held& operator=(const interrupts_held&) = delete;

 private:
  sigset_t saved_;
};

// Keys match whatever the locale: only ASCII letters fold.
inline unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Returns the length of the line's key plus one (for its '=') when the key
// equals `name` over the whole of both, ignoring ASCII case, and 0 when it
// does not; so an empty name matches a line that starts with '='. The key is
// everything before the line's first '=' and may hold any byte, NUL included.
// Walking the name instead of first searching the line for '=' keeps a line
// that cannot match (nearly all of them) to a byte or two of work.
std::size_t matching_key_length(const char* line, std::size_t line_length, const char* name) {
  std::size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i >= line_length) return 0;
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == '=' || ascii_lower(c) != ascii_lower(static_cast<unsigned char>(name[i]))) return 0;
  }
  return i < line_length && line[i] == '=' ? i + 1 : 0;
}

// Large runs go to the kernel in pieces of this size: measured on a 60 MB
// file, one write of tens of megabytes ran up to three times slower than the
// same bytes in 1 MiB writes, which keep the page cache's dirty pages moving.
constexpr std::size_t write_piece = std::size_t{1} << 20;

bool write_bytes(std::FILE* out, const char* bytes, std::size_t count) {
  while (count > 0) {
    const std::size_t piece = count < write_piece ? count : write_piece;
    if (std::fwrite(bytes, 1, piece, out) != piece) return false;
    bytes += piece;
    count -= piece;
  }
  return true;
}

// Gives the stream a buffer of ours, which is wiped when released; stdio's
// own would be freed with encoded key text still in it.
void use_wiped_buffer(std::FILE* out, text_buffer& buffer) {
  if (buffer.data != nullptr) std::setvbuf(out, buffer.data, _IOFBF, buffer.capacity);
}

// What became of one line.
enum class line_outcome { copied, replaced, failed };

// Tries the table's entries on one line, in order, and writes the first that
// applies: first the unchanged bytes from `run` up to the line, then the
// new line. Lowers `*status` when the value written differs from the old one.
line_outcome replace_line(std::FILE* out, const char* line, std::size_t line_length,
                          const replacement_entry* table, const char* run, int* status) {
  for (const replacement_entry* entry = table; entry->name != nullptr; ++entry) {
    const std::size_t key_and_equals = matching_key_length(line, line_length, entry->name);
    if (key_and_equals == 0) continue;
    text_buffer credential;
    if (read_whole_path(entry->path, &credential) != 0) {
      std::fprintf(stderr, "Cannot read %s\n", entry->path);
      continue;
    }
    const text_buffer encoded = base64_encode_string(credential.data);
    if (encoded.data == nullptr) return line_outcome::failed;
    if (!write_bytes(out, run, line - run)) return line_outcome::failed;

    std::size_t written = encoded.length;
    if (written > param_value_limit) {
      written = param_value_limit;
      std::fprintf(stderr, "Value of %s cut to 16000 characters\n", entry->name);
    }
    // Base64 holds no space, so the value goes out unquoted: compare what the
    // file will hold, in full, with what it held (a carriage return included).
    const char* old_value = line + key_and_equals;
    const std::size_t old_length = line_length - key_and_equals;
    if (old_length != written || std::memcmp(old_value, encoded.data, written) != 0) {
      *status = status_changed;
    }
    if (param_write_string(out, entry->name, encoded.data) < 0) return line_outcome::failed;
    return line_outcome::replaced;
  }
  return line_outcome::copied;
}

// The bytes a line must start with to have any chance of matching an entry:
// either case of each name's first letter, and '=' for an empty name. Most
// lines of a large file start with none of them and are skipped without a
// closer look.
struct first_bytes {
  bool possible[256] = {};
};

first_bytes possible_first_bytes(const replacement_entry* table) {
  first_bytes set;
  for (const replacement_entry* entry = table; entry->name != nullptr; ++entry) {
    const auto first = static_cast<unsigned char>(entry->name[0]);
    if (first == '\0') {
      set.possible[static_cast<unsigned char>('=')] = true;
    } else {
      set.possible[first] = true;
      set.possible[ascii_lower(first)] = true;
      if (first >= 'a' && first <= 'z') set.possible[first - ('a' - 'A')] = true;
    }
  }
  return set;
}

// Returns the first line start at or after `line` (itself a line start) whose
// first byte is a possible one, or `end`. Looks for line feeds sixteen bytes
// at a time where the processor allows: a call per line to memchr was a tenth
// of the run time on a file of a million short lines.
const char* next_candidate_line(const char* line, const char* end, const first_bytes& set) {
  if (line < end && set.possible[static_cast<unsigned char>(*line)]) return line;
  const char* p = line;
#ifdef __SSE2__
  const __m128i newline = _mm_set1_epi8('\n');
  while (end - p >= 16) {
    auto mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), newline)));
    while (mask != 0) {
      const char* start = p + __builtin_ctz(mask) + 1;
      if (start == end) return end;
      if (set.possible[static_cast<unsigned char>(*start)]) return start;
      mask &= mask - 1;
    }
    p += 16;
  }
#endif
  while (p < end) {
    const auto* newline_at = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (newline_at == nullptr || newline_at + 1 == end) return end;
    p = newline_at + 1;
    if (set.possible[static_cast<unsigned char>(*p)]) return p;
  }
  return end;
}

// Writes every line of `text` to `out`, unmatched lines in runs as they
// stand. Returns false at the first failed write, or when an encoded value
// cannot be allocated.
bool write_lines(std::FILE* out, const char* text, std::size_t length,
                 const replacement_entry* table, int* status) {
  const char* const end = text + length;
  const first_bytes candidates = possible_first_bytes(table);
  const char* run = text;  // unchanged bytes not yet written start here
  for (const char* line = next_candidate_line(text, end, candidates); line < end;
       line = next_candidate_line(line, end, candidates)) {
    const auto* newline = static_cast<const char*>(std::memchr(line, '\n', end - line));
    const char* line_end = newline != nullptr ? newline : end;
    const char* next = newline != nullptr ? newline + 1 : end;
    switch (replace_line(out, line, line_end - line, table, run, status)) {
      case line_outcome::failed:
        return false;
      case line_outcome::replaced:
        run = next;
        break;
      case line_outcome::copied:
        break;
    }
    line = next;
  }
  return write_bytes(out, run, end - run);
}

// Puts `text` back as the whole content of the file. Returns false when that
// fails too.
bool restore(const char* path, const char* text, std::size_t length, text_buffer& buffer) {
  param_handle out = param_file_open(path);
  if (!out) return false;
  use_wiped_buffer(out.get(), buffer);
  const bool written = write_bytes(out.get(), text, length);
  const bool closed = param_file_close(out) == 0;
  return written && closed;
}

}  // namespace

int rewrite_parameter_file(const char* path, const char* text, std::size_t length,
                           const replacement_entry* table) {
  // Declared first so it outlives every stream that uses it. Without it
  // (no memory) stdio falls back to a buffer of its own.
  text_buffer buffer;
  static_cast<void>(text_buffer_allocate(buffer, output_buffer_size));
  const interrupts_held held;

  param_handle out = param_file_open(path);
  if (!out) {
    std::fprintf(stderr, "Cannot write %s\n", path);
    return status_cannot_write;
  }
  use_wiped_buffer(out.get(), buffer);

  int status = status_unchanged;
  bool written = write_lines(out.get(), text, length, table, &status);
  if (written) {
    written = param_file_close(out) == 0;
  } else {
    out.reset();  // already failing: the restore below empties the file anyway
  }
  if (written) return status;

  const bool restored = restore(path, text, length, buffer);
  std::fprintf(stderr, "Cannot write %s\n", path);
  if (!restored) std::fprintf(stderr, "Cannot restore %s\n", path);
  return status_cannot_write;
}
