// Which lines of the parameter file an entry of the table may replace: the
// key match itself, and the quick scan for lines that may match at all.
#pragma once

#include <cstddef>

#include "tool/replacement.h"

// Returns the length of the line's key plus one (for its '=') when the key
// equals `name` over the whole of both, ignoring ASCII case, and 0 when it
// does not; so an empty name matches a line that starts with '='. The key is
// everything before the line's first '=' and may hold any byte, NUL included.
// When only the first `length` bytes of a longer line are known (`whole`
// false), returns 1 when they do not yet rule the match out.
std::size_t key_match(const char* line, std::size_t length, const char* name, bool whole = true);

// The bytes a line must start with to have any chance of matching an entry
// of `table`: either case of each name's first letter, and '=' for an empty
// name. Most lines of a large file start with none of them.
struct line_filter {
  const replacement_entry* table = nullptr;
  bool possible[256] = {};
  unsigned char listed[4] = {};  // the possible bytes, repeated to fill, when there are so few
  int count = 0;                 // of possible bytes
};
line_filter line_filter_of(const replacement_entry* table);

// Whether a line of which only the first `count` bytes are known may still
// match an entry of the filter's table.
bool line_may_match(const line_filter& filter, const char* line, std::size_t count);

// Returns the first line start at or after `line` (itself a line start)
// whose first byte is a possible one, or `end`.
const char* next_candidate_line(const char* line, const char* end, const line_filter& filter);
