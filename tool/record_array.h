// A growing array of plain records, kept in a text_buffer: the program links
// no C++ runtime, running out of memory must be a result and not an abort,
// and records may point at key text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "support/text_buffer.h"

template <typename T>
struct record_array {
  static_assert(std::is_trivially_copyable_v<T>);
  text_buffer storage;
  std::size_t count = 0;

  T* items() { return reinterpret_cast<T*>(storage.data); }
  const T* items() const { return reinterpret_cast<const T*>(storage.data); }
  T& operator[](std::size_t i) { return items()[i]; }
  const T& operator[](std::size_t i) const { return items()[i]; }
};

// Appends `item`. Returns false, with the array as it was, when memory runs out.
template <typename T>
bool record_push(record_array<T>& array, const T& item) {
  const std::size_t used = array.count * sizeof(T);
  if (used + sizeof(T) > array.storage.capacity) {
    if (array.count > SIZE_MAX / sizeof(T) / 2) return false;
    array.storage.length = used;
    if (!text_buffer_grow(array.storage, used < 16 * sizeof(T) ? 16 * sizeof(T) : 2 * used)) {
      return false;
    }
  }
  array.items()[array.count++] = item;
  return true;
}
