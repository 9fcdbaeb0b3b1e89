#include "tool/rewrite.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <utility>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "support/base64.h"
#include "support/param_file.h"
#include "support/read_whole_file.h"
#include "support/text_buffer.h"

namespace {

// A plain growing array of plain records, on malloc: the program links no
// C++ runtime, and running out of memory must be a result, not an abort.
template <typename T>
struct record_array {
  static_assert(std::is_trivially_copyable_v<T>);
  T* items = nullptr;
  std::size_t count = 0;
  std::size_t capacity = 0;

  record_array() = default;
  record_array(const record_array&) = delete;
  record_array& operator=(const record_array&) = delete;
  ~record_array() { std::free(items); }

  // Returns false, with the array as it was, when memory runs out.
  bool push(const T& item) {
    if (count == capacity) {
      const std::size_t grown = capacity == 0 ? 16 : capacity * 2;
      if (grown > SIZE_MAX / sizeof(T)) return false;
      void* bigger = std::realloc(items, grown * sizeof(T));
      if (bigger == nullptr) return false;
      items = static_cast<T*>(bigger);
      capacity = grown;
    }
    items[count++] = item;
    return true;
  }
};

// A credential as the run uses it: read once, on the first line that needs
// it, and encoded once, so that every line gets the same value and no
// credential is read while the file is being written.
struct credential {
  const char* path = nullptr;
  bool loaded = false;
  bool readable = false;
  bool cut = false;    // its Base64 text is longer than a value may be
  text_buffer value;   // the Base64 text as written, at most param_value_limit long
};

// Base64 turns every 3 bytes into 4 characters, so the first 12000 bytes give
// exactly the 16000 characters a value keeps: encoding more is wasted.
constexpr std::size_t value_source_limit = param_value_limit / 4 * 3;
static_assert(param_value_limit % 4 == 0);

// Reads and encodes `c` if that has not been tried yet. Returns false only
// when memory runs out.
bool load(credential& c) {
  if (c.loaded) return true;
  // A key that is a device or a huge file is never read further than a
  // value can use, and one byte more to know that it is cut.
  text_buffer text;
  const int read = read_path_prefix(c.path, value_source_limit + 1, &text);
  if (read == read_out_of_memory) return false;
  c.loaded = true;
  if (read != read_ok) return true;
  // Taken up to the first NUL byte, which for PEM text is all of it.
  std::size_t count = strnlen(text.data, text.length);
  c.cut = count > value_source_limit;
  if (c.cut) count = value_source_limit;
  c.value = base64_encode_bytes(text.data, count);
  if (c.value.data == nullptr) return false;
  c.readable = true;
  return true;
}

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

// The bytes a line must start with to have any chance of matching an entry:
// either case of each name's first letter, and '=' for an empty name. Most
// lines of a large file start with none of them and are skipped without a
// closer look.
struct first_bytes {
  bool possible[256] = {};
  unsigned char listed[4] = {};  // the possible bytes, repeated to fill, when there are so few
  int count = 0;                 // of possible bytes
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
  for (int byte = 0; byte < 256; ++byte) {
    if (!set.possible[byte]) continue;
    if (set.count < 4) set.listed[set.count] = static_cast<unsigned char>(byte);
    ++set.count;
  }
  for (int i = set.count; i > 0 && i < 4; ++i) set.listed[i] = set.listed[i % set.count];
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
  if (set.count == 0) return end;
  if (set.count <= 4) {
    // Line feeds and the bytes after them tested together: only a line that
    // may match costs a branch, where a branch per line was most of the scan.
    __m128i wanted[4];
    for (int i = 0; i < 4; ++i) wanted[i] = _mm_set1_epi8(static_cast<char>(set.listed[i]));
    while (end - p >= 17) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(next, wanted[0]), _mm_cmpeq_epi8(next, wanted[1])),
          _mm_or_si128(_mm_cmpeq_epi8(next, wanted[2]), _mm_cmpeq_epi8(next, wanted[3])));
      const auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, newline), hit)));
      if (mask != 0) return p + __builtin_ctz(mask) + 1;
      p += 16;
    }
  }
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

// One replaced line and the unchanged bytes before it.
struct replaced_line {
  const char* run;
  std::size_t run_length;
  const char* name;
  const char* value;
};

enum class message_kind { cannot_read, value_cut };
struct message {
  message_kind kind;
  const char* subject;  // the credential's path, or the parameter's name
};

// The old content as far as the plan needs it: the bytes before `base` are
// those of lines that stay as they are, and are not held.
struct old_text {
  const char* data = nullptr;  // the bytes from `base` on
  std::size_t length = 0;
  std::size_t base = 0;
  std::size_t size() const { return base + length; }
};

// Everything the rewrite will do, decided before the file is touched. The
// unchanged bytes are not copied: they are referred to in the text read.
struct plan {
  record_array<replaced_line> lines;
  const char* tail = nullptr;  // the unchanged bytes after the last replaced line
  std::size_t tail_length = 0;
  record_array<message> messages;
  std::size_t new_size = 0;
  int status = status_unchanged;
  bool writes_private_key = false;
};

// The credential of each entry: entries naming the same file share one.
struct credential_set {
  credential* of_entry = nullptr;  // one slot per entry, most of them unused
  credential** used = nullptr;     // the slot each entry reads
  std::size_t entries = 0;
  credential_set() = default;
  credential_set(const credential_set&) = delete;
  credential_set& operator=(const credential_set&) = delete;
  ~credential_set() {
    for (std::size_t i = 0; i < entries; ++i) of_entry[i].~credential();
    std::free(of_entry);
    std::free(used);
  }
};

bool make_credential_set(const replacement_entry* table, credential_set* set) {
  std::size_t entries = 0;
  while (table[entries].name != nullptr) ++entries;
  const std::size_t slots = entries == 0 ? 1 : entries;
  set->of_entry = static_cast<credential*>(std::malloc(slots * sizeof(credential)));
  set->used = static_cast<credential**>(std::malloc(slots * sizeof(credential*)));
  if (set->of_entry == nullptr || set->used == nullptr) return false;
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    const char* path = table[i].path;
    std::size_t slot = 0;
    while (slot < distinct && set->of_entry[slot].path != path &&
           std::strcmp(set->of_entry[slot].path, path) != 0) {
      ++slot;
    }
    if (slot == distinct) {
      new (&set->of_entry[distinct]) credential{};  // placement only: nothing is allocated
      set->of_entry[distinct].path = path;
      set->entries = ++distinct;
    }
    set->used[i] = &set->of_entry[slot];
  }
  return true;
}

// The entry that replaces a line: the first that matches and whose
// credential can be read, or null when none does. Pushes the messages of the
// entries passed over and of the one chosen. Returns false when memory runs
// out.
bool choose_entry(const char* line, std::size_t line_length, const replacement_entry* table,
                  credential_set& credentials, plan& p, const replacement_entry** chosen,
                  std::size_t* key_and_equals) {
  *chosen = nullptr;
  for (const replacement_entry* entry = table; entry->name != nullptr; ++entry) {
    *key_and_equals = matching_key_length(line, line_length, entry->name);
    if (*key_and_equals == 0) continue;
    credential& c = *credentials.used[entry - table];
    if (!load(c)) return false;
    if (!c.readable) {
      if (!p.messages.push({message_kind::cannot_read, entry->path})) return false;
      continue;
    }
    if (c.cut && !p.messages.push({message_kind::value_cut, entry->name})) return false;
    *chosen = entry;
    return true;
  }
  return true;
}

// Decides what one line becomes. Returns false when memory runs out.
bool plan_line(const char* line, std::size_t line_length, const replacement_entry* table,
               credential_set& credentials, const char* run, plan& p, bool* replaced) {
  *replaced = false;
  const replacement_entry* entry = nullptr;
  std::size_t key_and_equals = 0;
  if (!choose_entry(line, line_length, table, credentials, p, &entry, &key_and_equals)) {
    return false;
  }
  if (entry == nullptr) return true;
  const credential& c = *credentials.used[entry - table];
  // Base64 holds no space, so the value goes out unquoted: compare what the
  // file will hold, in full, with what it held (a carriage return included).
  const char* old_value = line + key_and_equals;
  const std::size_t old_length = line_length - key_and_equals;
  if (old_length != c.value.length || std::memcmp(old_value, c.value.data, old_length) != 0) {
    p.status = status_changed;
  }
  if (!p.lines.push({run, static_cast<std::size_t>(line - run), entry->name, c.value.data})) {
    return false;
  }
  p.new_size += static_cast<std::size_t>(line - run) + param_line_length(entry->name, c.value.data);
  p.writes_private_key = p.writes_private_key || entry->private_key;
  *replaced = true;
  return true;
}

// Walks every line of `text`, after those before its base. Returns false
// when memory runs out.
bool make_plan(const old_text& text, const replacement_entry* table, credential_set& credentials,
               plan& p) {
  const char* const end = text.data + text.length;
  const first_bytes candidates = possible_first_bytes(table);
  const char* run = text.data;  // unchanged bytes not yet planned start here
  p.new_size += text.base;
  for (const char* line = next_candidate_line(text.data, end, candidates); line < end;
       line = next_candidate_line(line, end, candidates)) {
    const auto* newline = static_cast<const char*>(std::memchr(line, '\n', end - line));
    const char* line_end = newline != nullptr ? newline : end;
    const char* next = newline != nullptr ? newline + 1 : end;
    bool replaced = false;
    if (!plan_line(line, line_end - line, table, credentials, run, p, &replaced)) return false;
    if (replaced) run = next;
    line = next;
  }
  p.tail = run;
  p.tail_length = static_cast<std::size_t>(end - run);
  p.new_size += p.tail_length;
  return true;
}

// The first and last bytes in which the new content differs from the old,
// found piece by piece. A piece copied from the text read to the same offset
// is equal without a look; others are compared, the old text's end counting
// as a difference.
struct difference_finder {
  const char* text;        // the old content from `base` on
  std::size_t base;        // the new content is the old one before it
  std::size_t length;      // of the whole old content
  bool want_last;          // only when the sizes are equal
  std::size_t at = base;   // offset of the next piece in the new content
  std::size_t first = SIZE_MAX;
  std::size_t last = 0;    // one past the last difference, once `first` is set

  bool done() const { return first != SIZE_MAX && !want_last; }

  void piece(const char* bytes, std::size_t count) {
    const std::size_t offset = at;
    at += count;
    if (done() || count == 0 || bytes == text + (offset - base)) return;
    const std::size_t room = offset >= length ? 0 : length - offset;
    const std::size_t overlap = count < room ? count : room;
    const char* old = text + (offset - base);
    // memcmp over blocks, then bytes within the block that differs.
    constexpr std::size_t block = 4096;
    for (std::size_t i = 0; i < overlap; i += block) {
      const std::size_t n = overlap - i < block ? overlap - i : block;
      if (std::memcmp(bytes + i, old + i, n) == 0) continue;
      std::size_t j = 0;
      while (bytes[i + j] == old[i + j]) ++j;
      if (first == SIZE_MAX) first = offset + i + j;
      if (!want_last) return;
      std::size_t k = n;
      while (bytes[i + k - 1] == old[i + k - 1]) --k;
      last = offset + i + k;
    }
    if (overlap < count) {
      if (first == SIZE_MAX) first = offset + overlap;
      last = offset + count;
    }
  }
};

// What the window must write for `p` over `text`: from the first byte that
// differs to the new end, or to the last byte that differs when the size
// stays; nothing at all when no byte differs.
param_change find_change(const plan& p, const old_text& text) {
  const std::size_t length = text.size();
  difference_finder finder{text.data, text.base, length, p.new_size == length};
  for (std::size_t i = 0; i < p.lines.count && !finder.done(); ++i) {
    const replaced_line& line = p.lines.items[i];
    finder.piece(line.run, line.run_length);
    param_span parts[4];
    param_line_parts(line.name, line.value, parts);
    for (const param_span& part : parts) finder.piece(part.bytes, part.count);
  }
  finder.piece(p.tail, p.tail_length);
  param_change change;
  change.old_size = length;
  change.new_size = p.new_size;
  if (p.new_size != length) {
    // A shorter content that matches the old one up to its end only cuts.
    change.from = finder.first < p.new_size ? finder.first : p.new_size;
    change.new_end = p.new_size;
    change.old_end = length;
  } else if (finder.first == SIZE_MAX) {
    change.from = change.new_end = change.old_end = length;
  } else {
    change.from = finder.first;
    change.new_end = change.old_end = finder.last;
  }
  return change;
}

// The window: nothing but writes, the truncation, the sync and the close.
bool commit(param_file& out, const plan& p, std::size_t base) {
  // The bytes before the base stay as they are.
  out.offset = base;
  for (std::size_t i = 0; i < p.lines.count; ++i) {
    const replaced_line& line = p.lines.items[i];
    if (param_write_bytes(&out, line.run, line.run_length) != param_ok ||
        param_write_string(&out, line.name, line.value) < 0) {
      return false;
    }
  }
  return param_write_bytes(&out, p.tail, p.tail_length) == param_ok &&
         param_file_close(&out) == param_ok;
}

// Whether the new text of a line, by the first entry that replaces it,
// differs from its old bytes (`has_newline`: its line feed follows them).
// Returns 1 when it does, 0 when not (or no entry replaces it) and -1 when
// memory runs out. A line that stays leaves its messages and flags in `p`;
// one that changes leaves `p` as it was, for the plan that starts there.
int line_changes(const char* line, std::size_t line_length, bool has_newline,
                 const replacement_entry* table, credential_set& credentials, plan& p) {
  const std::size_t messages = p.messages.count;
  const replacement_entry* entry = nullptr;
  std::size_t key_and_equals = 0;
  if (!choose_entry(line, line_length, table, credentials, p, &entry, &key_and_equals)) return -1;
  if (entry == nullptr) return 0;
  param_span parts[4];
  param_line_parts(entry->name, credentials.used[entry - table]->value.data, parts);
  const std::size_t old_length = line_length + (has_newline ? 1 : 0);
  std::size_t at = 0;
  bool differs = false;
  for (const param_span& part : parts) {
    if (part.count > old_length - at || std::memcmp(line + at, part.bytes, part.count) != 0) {
      differs = true;
      break;
    }
    at += part.count;
  }
  if (differs || at != old_length) {
    p.messages.count = messages;
    return 1;
  }
  p.writes_private_key = p.writes_private_key || entry->private_key;
  return 0;
}

// Whether a line of which only the first `count` bytes are known may still
// match an entry: none of its known bytes rules every entry out.
bool may_match(const char* line, std::size_t count, const replacement_entry* table) {
  for (const replacement_entry* entry = table; entry->name != nullptr; ++entry) {
    std::size_t i = 0;
    for (; entry->name[i] != '\0' && i < count; ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      if (c == '=' || ascii_lower(c) != ascii_lower(static_cast<unsigned char>(entry->name[i]))) {
        break;
      }
    }
    if (i == count || (entry->name[i] == '\0' && line[i] == '=')) return true;
  }
  return false;
}

struct descriptor {
  int fd;
  ~descriptor() {
    if (fd >= 0) close(fd);
  }
};

// Fills `buffer` from `fd` up to its capacity less one byte, or to the end
// of the file (then sets `*at_end`). Returns false when a read fails.
bool fill(int fd, text_buffer& buffer, bool* at_end) {
  while (buffer.length + 1 < buffer.capacity) {
    const ssize_t got = read(fd, buffer.data + buffer.length, buffer.capacity - 1 - buffer.length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      *at_end = true;
      break;
    }
    buffer.length += static_cast<std::size_t>(got);
  }
  return true;
}

// Reads the rest of `fd` after the bytes `buffer` holds, growing it by half
// at least (copying, so that the old block is wiped). Returns a read_result.
int read_rest(int fd, text_buffer& buffer) {
  constexpr std::size_t chunk = 4096;
  for (bool at_end = false; !at_end;) {
    if (buffer.capacity - buffer.length < chunk + 1) {
      if (buffer.length > SIZE_MAX / 2 - chunk) return read_out_of_memory;
      std::size_t capacity = buffer.capacity + buffer.capacity / 2;
      if (capacity < buffer.length + chunk + 1) capacity = buffer.length + chunk + 1;
      text_buffer bigger;
      if (!text_buffer_allocate(bigger, capacity)) return read_out_of_memory;
      if (buffer.length != 0) std::memcpy(bigger.data, buffer.data, buffer.length);
      bigger.length = buffer.length;
      buffer = std::move(bigger);
    }
    if (!fill(fd, buffer, &at_end)) return read_failed;
  }
  buffer.data[buffer.length] = '\0';
  return read_ok;
}

// The parameter file as read for one plan: a piece buffer reused along the
// file, and the bytes kept from the first line that changes on, which either
// buffer may hold. Both are wiped, as unchanged lines may hold key text too.
struct parameter_read {
  text_buffer piece;
  text_buffer kept;
  old_text text;
  file_identity identity;
};

// Reads `path` in pieces of at most `piece_size` bytes and walks its lines up
// to the first whose new text differs from its old, leaving in `p` the
// messages and flags of the lines before it; keeps the bytes from that line
// to the end, or the whole content of a file that is not a regular one.
// Returns a read_result; on success fills `*r`, with the identity the file
// had before the read.
int read_from_first_change(const char* path, std::size_t piece_size,
                           const replacement_entry* table, credential_set& credentials, plan& p,
                           parameter_read* r) {
  const descriptor in{open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY)};
  if (in.fd < 0) return errno == ENOMEM ? read_out_of_memory : read_failed;
  struct stat info;
  if (fstat(in.fd, &info) != 0) return read_failed;
  r->identity = file_identity_of(info);
  text_buffer_release(r->piece);
  text_buffer_release(r->kept);
  r->text = old_text{};
  if (!S_ISREG(info.st_mode)) {
    // No size to go by, and a restore writes all of it back.
    const int read = read_rest(in.fd, r->kept);
    if (read == read_ok) r->text = old_text{r->kept.data, r->kept.length, 0};
    return read;
  }
  const std::size_t size = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  // A small file gets a buffer of its own size (and one byte to see its end
  // in), as all of a buffer is wiped.
  std::size_t capacity = piece_size < 1 || piece_size == SIZE_MAX ? 2 : piece_size + 1;
  if (size < SIZE_MAX - 2 && capacity > size + 2) capacity = size + 2;
  text_buffer& buffer = r->piece;
  if (!text_buffer_allocate(buffer, capacity)) return read_out_of_memory;
  const first_bytes candidates = possible_first_bytes(table);
  std::size_t offset = 0;   // in the file, of the buffer's first byte (a line start, unless skipping)
  bool skipping = false;    // the buffer starts inside a line that cannot match
  bool at_end = false;
  for (;;) {
    if (!fill(in.fd, buffer, &at_end)) return read_failed;
    const char* const end = buffer.data + buffer.length;
    const char* line = buffer.data;
    if (skipping) {
      const auto* newline = static_cast<const char*>(std::memchr(line, '\n', end - line));
      skipping = newline == nullptr;
      line = skipping ? end : newline + 1;
    }
    const char* keep = nullptr;
    const char* partial = nullptr;  // a line that may match, not yet whole
    for (line = next_candidate_line(line, end, candidates); line < end;
         line = next_candidate_line(line, end, candidates)) {
      const auto* newline = static_cast<const char*>(std::memchr(line, '\n', end - line));
      if (newline == nullptr && !at_end) {
        partial = line;
        break;
      }
      const char* line_end = newline != nullptr ? newline : end;
      const int changes = line_changes(line, static_cast<std::size_t>(line_end - line),
                                       newline != nullptr, table, credentials, p);
      if (changes < 0) return read_out_of_memory;
      if (changes > 0) {
        keep = line;
        break;
      }
      line = newline != nullptr ? newline + 1 : end;
    }
    if (partial != nullptr && partial == buffer.data) {
      // Longer than a piece: kept if it may still match, passed over if not.
      if (may_match(partial, buffer.length, table)) {
        keep = partial;
      } else {
        skipping = true;
        partial = nullptr;
      }
    }
    if (keep != nullptr) {
      const auto from = static_cast<std::size_t>(keep - buffer.data);
      if (at_end) {
        r->text = old_text{keep, buffer.length - from, offset + from};
        return read_ok;
      }
      const std::size_t held = buffer.length - from;
      const std::size_t read_so_far = offset + buffer.length;
      const std::size_t expected = size > read_so_far ? size - read_so_far : 0;
      if (expected > SIZE_MAX / 2 - held) return read_out_of_memory;
      if (!text_buffer_allocate(r->kept, held + expected + 4097)) return read_out_of_memory;
      std::memcpy(r->kept.data, keep, held);
      r->kept.length = held;
      text_buffer_release(buffer);
      const int read = read_rest(in.fd, r->kept);
      if (read == read_ok) r->text = old_text{r->kept.data, r->kept.length, offset + from};
      return read;
    }
    if (at_end) {
      r->text = old_text{end, 0, offset + buffer.length};
      return read_ok;
    }
    if (partial == nullptr) {
      // A last line that is not whole and cannot match is passed over.
      if (buffer.length != 0 && end[-1] != '\n') skipping = true;
      offset += buffer.length;
      buffer.length = 0;
    } else {
      const auto from = static_cast<std::size_t>(partial - buffer.data);
      std::memmove(buffer.data, partial, buffer.length - from);
      offset += from;
      buffer.length -= from;
    }
  }
}

int out_of_memory() {
  std::fprintf(stderr, "Out of memory\n");
  return status_cannot_read;
}

int cannot_write(const char* path) {
  std::fprintf(stderr, "Cannot write %s\n", path);
  return status_cannot_write;
}

// How many times the file is read and planned again when it was written to
// between the read and the open; an editor still at work after that wins.
constexpr int rereads = 3;

// The rewrite from a plan's first read on: plans, opens, and reads and plans
// again when the file was written to since the read.
int rewrite_from(const char* path, parameter_read& r, const replacement_entry* table,
                 credential_set& credentials, plan& first, std::size_t piece_size) {
  for (int attempt = 0;; ++attempt) {
    plan fresh;
    plan& p = attempt == 0 ? first : fresh;
    if (attempt != 0) {
      const int again = read_from_first_change(path, piece_size, table, credentials, p, &r);
      if (again == read_out_of_memory) return out_of_memory();
      if (again != read_ok) return cannot_write(path);
    }
    const old_text& text = r.text;
    if (!make_plan(text, table, credentials, p)) return out_of_memory();
    param_file out;
    const int opened = param_file_open(path, r.identity, find_change(p, text), &out);
    if (opened == param_out_of_memory) return out_of_memory();
    if (opened == param_changed && attempt < rereads) continue;
    if (opened != param_ok || param_file_reserve(&out) != param_ok) return cannot_write(path);

    // The file can take its new content: say now what the walk found, while a
    // stop request or a stalled standard error still costs nothing.
    for (std::size_t i = 0; i < p.messages.count; ++i) {
      const message& m = p.messages.items[i];
      if (m.kind == message_kind::cannot_read) {
        std::fprintf(stderr, "Cannot read %s\n", m.subject);
      } else {
        std::fprintf(stderr, "Value of %s cut to 16000 characters\n", m.subject);
      }
    }
    if (p.writes_private_key && (out.mode & S_IROTH) != 0) {
      std::fprintf(stderr, "Warning: every user can read %s, which holds a private key\n", path);
    }

    param_window_begin();
    if (commit(out, p, text.base)) return p.status;
    // A file already closed (not a regular one) cannot be restored, and no
    // restore is tried.
    const bool attempted = out.fd >= 0;
    const bool restored =
        attempted && param_file_restore(&out, text.data, text.base) == param_ok;
    cannot_write(path);
    if (attempted && !restored) std::fprintf(stderr, "Cannot restore %s\n", path);
    return status_cannot_write;
  }
}

}  // namespace

int rewrite_parameter_path(const char* path, const replacement_entry* table,
                           std::size_t piece_size) {
  credential_set credentials;
  if (!make_credential_set(table, &credentials)) return out_of_memory();
  // Each credential is read once, for the first plan; a plan made again
  // uses the same values.
  parameter_read r;
  plan p;
  const int read = read_from_first_change(path, piece_size, table, credentials, p, &r);
  if (read == read_out_of_memory) return out_of_memory();
  if (read != read_ok) {
    std::fprintf(stderr, "Cannot read %s\n", path);
    return status_cannot_read;
  }
  return rewrite_from(path, r, table, credentials, p, piece_size);
}

int rewrite_parameter_file(const char* path, const char* text, std::size_t length,
                           const file_identity& identity, const replacement_entry* table) {
  credential_set credentials;
  if (!make_credential_set(table, &credentials)) return out_of_memory();
  parameter_read r;
  r.text = old_text{text, length, 0};
  r.identity = identity;
  plan p;
  return rewrite_from(path, r, table, credentials, p, rewrite_piece);
}
