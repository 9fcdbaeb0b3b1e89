#include "support/text_buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
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

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// Large buffers (a big parameter file) are aligned to huge pages and asked to
// be backed by them: filling 60 MB of fresh memory then costs a few dozen
// page faults instead of some fifteen thousand, which is most of a run's time.
char* allocate(std::size_t capacity) {
  if (capacity < 2 * huge_page || capacity > SIZE_MAX - huge_page) {
    return static_cast<char*>(std::malloc(capacity == 0 ? 1 : capacity));
  }
  const std::size_t rounded = (capacity + huge_page - 1) & ~(huge_page - 1);
  void* memory = std::aligned_alloc(huge_page, rounded);
#ifdef MADV_HUGEPAGE
  // Only advice: without huge pages the buffer works the same, more slowly.
  // The last, partly used huge page is left out, so that no more memory is
  // touched than the contents need.
  const std::size_t whole_pages = capacity & ~(huge_page - 1);
  if (memory != nullptr) static_cast<void>(madvise(memory, whole_pages, MADV_HUGEPAGE));
#endif
  return static_cast<char*>(memory);
}

}  // namespace

bool text_buffer_allocate(text_buffer& out, std::size_t capacity) {
  char* fresh = allocate(capacity);
  if (fresh == nullptr) return false;
  text_buffer_release(out);
  out.data = fresh;
  out.length = 0;
  out.capacity = capacity;
  return true;
}

bool text_buffer_grow(text_buffer& buffer, std::size_t needed) {
  if (needed <= buffer.capacity) return true;
  std::size_t capacity = buffer.capacity + buffer.capacity / 2;
  if (capacity < needed || capacity < buffer.capacity) capacity = needed;
  text_buffer bigger;
  if (!text_buffer_allocate(bigger, capacity)) return false;
  if (buffer.length != 0) std::memcpy(bigger.data, buffer.data, buffer.length);
  bigger.length = buffer.length;
  buffer = std::move(bigger);
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
