#include "tool/key_match.h"

#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Keys match whatever the locale: only ASCII letters fold.
inline unsigned char ascii_lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

#ifdef __SSE2__
// Looks for line feeds sixteen bytes at a time: a call per line to memchr
// was a tenth of the run time on a file of a million short lines. With at
// most four possible first bytes, line feeds and the bytes after them are
// tested together, so that only a line that may match costs a branch.
// Returns the candidate found, `end`, or null with `*at` moved on as far as
// the blocks went.
const char* scan_blocks(const char** at, const char* end, const line_filter& filter) {
  const char* p = *at;
  const __m128i newline = _mm_set1_epi8('\n');
  if (filter.count == 0) return end;
  if (filter.count <= 4) {
    __m128i wanted[4];
    for (int i = 0; i < 4; ++i) wanted[i] = _mm_set1_epi8(static_cast<char>(filter.listed[i]));
    for (; end - p >= 17; p += 16) {
      const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      const __m128i hit = _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(next, wanted[0]), _mm_cmpeq_epi8(next, wanted[1])),
          _mm_or_si128(_mm_cmpeq_epi8(next, wanted[2]), _mm_cmpeq_epi8(next, wanted[3])));
      const auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(here, newline), hit)));
      if (mask != 0) return p + __builtin_ctz(mask) + 1;
    }
  }
  for (; end - p >= 16; p += 16) {
    auto mask = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), newline)));
    for (; mask != 0; mask &= mask - 1) {
      const char* start = p + __builtin_ctz(mask) + 1;
      if (start == end || filter.possible[static_cast<unsigned char>(*start)]) return start;
    }
  }
  *at = p;
  return nullptr;
}
#endif

}  // namespace

std::size_t key_match(const char* line, std::size_t length, const char* name, bool whole) {
  // Walking the name instead of first searching the line for '=' keeps a
  // line that cannot match to a byte or two of work.
  std::size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i >= length) return whole ? 0 : 1;
    const auto c = static_cast<unsigned char>(line[i]);
    if (c == '=' || ascii_lower(c) != ascii_lower(static_cast<unsigned char>(name[i]))) return 0;
  }
  if (i >= length) return whole ? 0 : 1;
  return line[i] == '=' ? i + 1 : 0;
}

line_filter line_filter_of(const replacement_entry* table) {
  line_filter set;
  set.table = table;
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

bool line_may_match(const line_filter& filter, const char* line, std::size_t count) {
  for (const replacement_entry* entry = filter.table; entry->name != nullptr; ++entry) {
    if (key_match(line, count, entry->name, false) != 0) return true;
  }
  return false;
}

const char* next_candidate_line(const char* line, const char* end, const line_filter& filter) {
  if (line < end && filter.possible[static_cast<unsigned char>(*line)]) return line;
  const char* p = line;
#ifdef __SSE2__
  if (const char* found = scan_blocks(&p, end, filter)) return found;
#endif
  while (p < end) {
    const auto* newline_at = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (newline_at == nullptr || newline_at + 1 == end) return end;
    p = newline_at + 1;
    if (filter.possible[static_cast<unsigned char>(*p)]) return p;
  }
  return end;
}
