#include "support/text_buffer.h"

#include <cstdlib>
#include <string.h>
#include <utility>

text_buffer::text_buffer(text_buffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      length(std::exchange(other.length, 0)),
      capacity(std::exchange(other.capacity, 0)) {}

text_buffer& text_buffer::operator=(text_buffer&& other) noexcept {
  if (this != &other) {
    text_buffer_release(*this);
    data = std::exchange(other.data, nullptr);
    length = std::exchange(other.length, 0);
    capacity = std::exchange(other.capacity, 0);
  }
  return *this;
}

text_buffer::~text_buffer() { text_buffer_release(*this); }

bool text_buffer_allocate(text_buffer& out, std::size_t capacity) {
  char* fresh = static_cast<char*>(std::malloc(capacity == 0 ? 1 : capacity));
  if (fresh == nullptr) return false;
  text_buffer_release(out);
  out.data = fresh;
  out.length = 0;
  out.capacity = capacity;
  return true;
}

void text_buffer_release(text_buffer& buffer) {
  if (buffer.data != nullptr) {
    // explicit_bzero cannot be optimised away, unlike a memset before free.
    explicit_bzero(buffer.data, buffer.capacity);
    std::free(buffer.data);
  }
  buffer.data = nullptr;
  buffer.length = 0;
  buffer.capacity = 0;
}
