// Which lines of the parameter file an entry of the table may replace: the
// key match itself, and the quick scan for lines that may match at all.
#pragma once

#include <cstddef>

#include "tool/replacement.h"

// The key (every byte before the line's first '=') is `name`, ASCII case
// folded: returns its length plus one, else 0. Of a line known only in part
// (`whole` false), returns 1 when its `length` bytes do not rule that out.
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
