#include "tool/walk.h"

#include <cstddef>
#include <cstring>

#include "support/read_whole_file.h"

namespace {

// What one line becomes: the entry that replaces it (none: it stays as it
// is), the parts of its new text, and what differs.
struct line_decision {
  const replacement_entry* entry = nullptr;
  std::size_t credential = 0;
  param_span parts[4];
  bool differs = false;        // its new bytes, line feed included, from its old ones
  bool value_differs = false;  // its new value from its old one: the run's status
};

std::size_t length_of(const param_span parts[4]) {
  return parts[0].count + parts[1].count + parts[2].count + parts[3].count;
}

// The number of the new bytes in `parts` that equal the `available` old
// bytes at `old`, from the start.
std::size_t same_prefix(const param_span parts[4], const char* old, std::size_t available) {
  std::size_t same = 0;
  for (int p = 0; p < 4; ++p) {
    const param_span& part = parts[p];
    const std::size_t count = part.count < available - same ? part.count : available - same;
    // A value that stays is thousands of bytes: compared whole first.
    std::size_t i = std::memcmp(part.bytes, old + same, count) == 0 ? count : 0;
    while (i < count && part.bytes[i] == old[same + i]) ++i;
    same += i;
    if (i < part.count) return same;
  }
  return same;
}

// The number of the new bytes in `parts` that equal the old bytes just
// before `old_after`, from the end.
std::size_t same_suffix(const param_span parts[4], const char* old_after) {
  std::size_t same = 0;
  for (int p = 3; p >= 0; --p) {
    const param_span& part = parts[p];
    std::size_t i = part.count;
    while (i > 0 && part.bytes[i - 1] == *(old_after - 1 - same)) {
      --i;
      ++same;
    }
    if (i > 0) return same;
  }
  return same;
}

bool say(record_array<walk_message>* messages, const walk_message& message) {
  return messages == nullptr || record_push(*messages, message);
}

// Fills `d` for an entry that matched with its readable credential `c`.
void apply(const source_line& line, std::size_t key_and_equals, const credential_cache& cache,
           const credential& c, line_decision* d) {
  // Base64 holds no space, so the value goes out unquoted: compare what the
  // file will hold, in full, with what it held (a carriage return included).
  const char* value = credential_value(cache, c);
  param_line_parts(d->entry->name, value, d->parts);
  const std::size_t with_newline = line.length + (line.has_newline ? 1 : 0);
  d->differs = length_of(d->parts) != with_newline ||
               same_prefix(d->parts, line.bytes, with_newline) != with_newline;
  // A line whose bytes stay keeps its value too.
  const std::size_t old_length = line.length - key_and_equals;
  d->value_differs = d->differs && (old_length != c.length ||
                                    std::memcmp(line.bytes + key_and_equals, value, old_length) != 0);
}

// Decides what `line` becomes: the first entry that matches and whose
// credential can be read applies. Says so in `messages`, unless null, for
// the entries passed over and for a value that is cut. Returns false when
// memory runs out.
bool decide(const source_line& line, const replacement_entry* table, credential_cache& cache,
            record_array<walk_message>* messages, line_decision* d) {
  for (const replacement_entry* entry = table; entry->name != nullptr; ++entry) {
    const std::size_t key_and_equals = key_match(line.bytes, line.length, entry->name);
    if (key_and_equals == 0) continue;
    const credential* c = credential_for(cache, entry->path);
    if (c == nullptr) return false;
    if (!c->readable) {
      if (!say(messages, {walk_message_kind::cannot_read, entry->path})) return false;
      continue;
    }
    if (c->cut && !say(messages, {walk_message_kind::value_cut, entry->name})) return false;
    d->entry = entry;
    d->credential = static_cast<std::size_t>(c - cache.read.items());
    apply(line, key_and_equals, cache, *c, d);
    return true;
  }
  return true;
}

void line_parts(const changed_line& line, const credential_cache& cache, param_span parts[4]) {
  param_line_parts(line.entry->name, credential_value(cache, cache.read[line.credential]), parts);
}

// Walks the lines of `source` from where it stands, and calls
// `on_line(line, decision)` for each line that an entry replaces; stops at
// the first result of it other than read_ok. Returns a read_result.
template <typename Visit>
int walk(line_source& source, const replacement_entry* table, credential_cache& credentials,
         record_array<walk_message>* messages, Visit on_line) {
  const line_filter filter = line_filter_of(table);
  for (;;) {
    source_line line;
    int result = line_source_next(source, filter, &line);
    if (result != read_ok || line.bytes == nullptr) return result;
    line_decision d;
    if (!decide(line, table, credentials, messages, &d)) return read_out_of_memory;
    if (d.entry != nullptr && (result = on_line(line, d)) != read_ok) return result;
  }
}

// What the window's walk returns once it has written the last changed line.
constexpr int past_last_change = -1;

std::size_t old_length_of(const source_line& line) {
  return line.length + (line.has_newline ? 1 : 0);
}

}  // namespace

int walk_lines(line_source& source, const replacement_entry* table, credential_cache& credentials,
               walk_plan* plan) {
  plan->changes = false;
  plan->messages.count = 0;
  plan->status = status_unchanged;
  plan->writes_private_key = false;
  std::size_t added = 0, removed = 0;  // bytes of the changed lines so far, new and old
  const int walked = walk(source, table, credentials, &plan->messages,
                          [&](const source_line& line, const line_decision& d) {
    if (d.value_differs) plan->status = status_changed;
    plan->writes_private_key = plan->writes_private_key || d.entry->private_key;
    if (!d.differs) return int{read_ok};
    plan->last = changed_line{line.offset, old_length_of(line), line.offset + added - removed,
                              d.entry, d.credential};
    added += length_of(d.parts);
    removed += plan->last.old_length;
    if (plan->changes) return int{read_ok};
    // The first line that changes: the bytes before it are never needed again.
    plan->changes = true;
    plan->first = plan->last;
    return line_source_keep(source, line.offset);
  });
  if (walked != read_ok) return walked;
  plan->old_size = line_source_end(source);
  plan->new_size = plan->old_size + added - removed;
  return read_ok;
}

param_change walk_change(const walk_plan& plan, const line_source& source,
                         const credential_cache& credentials) {
  param_change change;
  change.old_size = plan.old_size;
  change.new_size = plan.new_size;
  change.from = change.new_end = change.old_end = plan.old_size;
  if (!plan.changes) return change;
  // Every byte before the first changed line stays, and so does the start
  // of that line as far as its new bytes agree with the old ones.
  param_span parts[4];
  line_parts(plan.first, credentials, parts);
  change.from = plan.first.offset + same_prefix(parts, line_source_bytes(source, plan.first.offset),
                                                plan.old_size - plan.first.offset);
  if (plan.new_size != plan.old_size) {
    // A shorter content that matches the old one up to its end only cuts.
    if (change.from > plan.new_size) change.from = plan.new_size;
    change.new_end = plan.new_size;
    return change;
  }
  // The same size: the bytes after the last changed line stay where they
  // are, and so does the end of that line as far as it agrees.
  line_parts(plan.last, credentials, parts);
  std::size_t end = plan.last.new_offset + length_of(parts);
  end -= same_suffix(parts, line_source_bytes(source, end));
  change.new_end = change.old_end = end > change.from ? end : change.from;
  return change;
}

int walk_write(param_file& out, const walk_plan& plan, line_source& source,
               const replacement_entry* table, credential_cache& credentials) {
  // The new content equals the old one up to its first changed line; any
  // but a regular file is written whole.
  std::size_t at = plan.changes ? plan.first.offset : plan.old_size;
  if (out.change.from < at) at = out.change.from;
  out.offset = at;
  if (plan.changes) {
    // The same lines as planned, so every credential is one read already.
    line_source_rewind(source, plan.first.offset);
    const int walked = walk(source, table, credentials, nullptr,
                            [&](const source_line& line, const line_decision& d) {
      if (!d.differs) return int{read_ok};
      if (param_write_bytes(&out, line_source_bytes(source, at), line.offset - at) != param_ok) {
        return int{read_failed};
      }
      for (const param_span& part : d.parts) {
        if (param_write_bytes(&out, part.bytes, part.count) != param_ok) return int{read_failed};
      }
      at = line.offset + old_length_of(line);
      // Past the last changed line the rest is the old tail: no need to look.
      return line.offset == plan.last.offset ? past_last_change : int{read_ok};
    });
    if (walked != past_last_change) return param_failed;
  }
  return param_write_bytes(&out, line_source_bytes(source, at), plan.old_size - at);
}
