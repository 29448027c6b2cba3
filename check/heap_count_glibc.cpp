// This program's own malloc family stands in front of the C library's: the
// program exports them, so a dlopened plug-in binds to these.
#include <cstddef>

#include "heap_count.hpp"

extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

namespace {
bool counting = false;
long calls = 0;
}  // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {
void *malloc(std::size_t size) {
  calls += counting ? 1 : 0;
  return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
  calls += counting ? 1 : 0;
  return __libc_calloc(count, size);
}
void *realloc(void *pointer, std::size_t size) {
  calls += counting ? 1 : 0;
  return __libc_realloc(pointer, size);
}
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

namespace plugin_check {

bool heap_counting_available(std::string & /*why_not*/) { return true; }

void count_heap(bool on) {
  if (on) {
    calls = 0;
  }
  counting = on;
}

long heap_calls() { return calls; }

}  // namespace plugin_check
