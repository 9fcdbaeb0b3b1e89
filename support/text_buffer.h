// Owned byte buffers for key material and file contents.
#pragma once

#include <cstddef>

// A heap buffer of `length` bytes followed by one NUL byte. It may hold
// private-key text, so every byte it ever held is wiped before the memory
// goes back to the allocator. Move-only; an empty buffer has data == nullptr.
struct text_buffer {
  char* data = nullptr;
  std::size_t length = 0;    // bytes in use, not counting the NUL
  std::size_t capacity = 0;  // bytes allocated, all of them wiped on release

  text_buffer() = default;
  text_buffer(const text_buffer&) = delete;
  text_buffer& operator=(const text_buffer&) = delete;
  text_buffer(text_buffer&& other) noexcept;
  text_buffer& operator=(text_buffer&& other) noexcept;
  ~text_buffer();
};

// Allocates `capacity` bytes for `out`, first releasing what `out` held.
// Returns true on success; on failure returns false and leaves `out` untouched.
bool text_buffer_allocate(text_buffer& out, std::size_t capacity);

// Grows `buffer` to hold `needed` bytes at least, and by half again at least
// (linear total cost), keeping its bytes: copied, not reallocated, so that the
// old block is wiped. Returns false, with `buffer` as it was, when memory runs out.
bool text_buffer_grow(text_buffer& buffer, std::size_t needed);

// Wipes and frees what `buffer` holds and leaves it empty.
void text_buffer_release(text_buffer& buffer);
