// Preloaded into the program under test: makes every allocation of exactly
// CREDGRAFT_FAIL_MALLOC_SIZE bytes fail, to reach the out-of-memory paths.
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>

namespace {

std::size_t failing_size() {
  static const std::size_t size = [] {
    const char* text = std::getenv("CREDGRAFT_FAIL_MALLOC_SIZE");
    return text != nullptr ? static_cast<std::size_t>(std::strtoull(text, nullptr, 10)) : 0;
  }();
  return size;
}

}  // namespace

extern "C" void* __libc_malloc(std::size_t size);

extern "C" void* malloc(std::size_t size) {
  if (size != 0 && size == failing_size()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
