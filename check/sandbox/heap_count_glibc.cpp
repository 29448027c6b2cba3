// This program's own malloc family and operator new stand in front of the C
// library's and the C++ runtime's: the program exports them, so a dlopened
// plug-in (and the C library's own strdup, fopen and the like) binds to these.
// Every entry point is here, so no allocation goes round the count; plug-in
// threads allocate too, so the counters are atomic.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <new>

#include "sandbox/heap_count.hpp"

extern "C" {
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *pointer, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
void __libc_free(void *pointer);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}

namespace {

std::atomic<bool> counting{false};
std::atomic<long> calls{0};
std::atomic<long> outstanding{0};

// One call to an allocating entry point, which returned `block`.
void *allocated(void *block) {
  if (counting.load(std::memory_order_relaxed)) {
    calls.fetch_add(1, std::memory_order_relaxed);
    outstanding.fetch_add(block != nullptr ? 1 : 0, std::memory_order_relaxed);
  }
  return block;
}

void released(void *block) {
  if (block != nullptr && counting.load(std::memory_order_relaxed)) {
    outstanding.fetch_sub(1, std::memory_order_relaxed);
  }
  __libc_free(block);
}

bool valid_alignment(std::size_t alignment) {
  return alignment != 0 && (alignment & (alignment - 1)) == 0;
}

// What operator new does on failure: ask the new-handler, or throw.
void *new_block(std::size_t size, std::size_t alignment) {
  size = size == 0 ? 1 : size;
  for (;;) {
    void *block = alignment <= alignof(std::max_align_t) ? __libc_malloc(size)
                                                         : __libc_memalign(alignment, size);
    if (block != nullptr) {
      return allocated(block);
    }
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) {
      allocated(nullptr);
      throw std::bad_alloc();
    }
    handler();
  }
}

void *new_block_or_null(std::size_t size, std::size_t alignment) noexcept {
  try {
    return new_block(size, alignment);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

}  // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name)
extern "C" {
void *malloc(std::size_t size) { return allocated(__libc_malloc(size)); }

void *calloc(std::size_t count, std::size_t size) { return allocated(__libc_calloc(count, size)); }

void *realloc(void *pointer, std::size_t size) {
  if (!counting.load(std::memory_order_relaxed)) {
    return __libc_realloc(pointer, size);
  }
  void *block = __libc_realloc(pointer, size);
  calls.fetch_add(1, std::memory_order_relaxed);
  if (pointer == nullptr && block != nullptr) {
    outstanding.fetch_add(1, std::memory_order_relaxed);
  } else if (pointer != nullptr && size == 0) {  // the C library frees it
    outstanding.fetch_sub(1, std::memory_order_relaxed);
  }
  return block;
}

void *reallocarray(void *pointer, std::size_t count, std::size_t size) {
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) {
    allocated(nullptr);
    errno = ENOMEM;
    return nullptr;
  }
  return realloc(pointer, count * size);
}

void *memalign(std::size_t alignment, std::size_t size) {
  return allocated(__libc_memalign(alignment, size));
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
  if (!valid_alignment(alignment)) {
    allocated(nullptr);
    errno = EINVAL;
    return nullptr;
  }
  return allocated(__libc_memalign(alignment, size));
}

int posix_memalign(void **result, std::size_t alignment, std::size_t size) {
  if (!valid_alignment(alignment) || alignment % sizeof(void *) != 0) {
    allocated(nullptr);
    return EINVAL;
  }
  void *block = allocated(__libc_memalign(alignment, size));
  if (block == nullptr) {
    return ENOMEM;
  }
  *result = block;
  return 0;
}

void *valloc(std::size_t size) { return allocated(__libc_valloc(size)); }

void *pvalloc(std::size_t size) { return allocated(__libc_pvalloc(size)); }

void free(void *pointer) { released(pointer); }
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name)

// NOLINTBEGIN(cert-dcl58-cpp)
void *operator new(std::size_t size) { return new_block(size, 0); }
void *operator new[](std::size_t size) { return new_block(size, 0); }
void *operator new(std::size_t size, const std::nothrow_t & /*tag*/) noexcept {
  return new_block_or_null(size, 0);
}
void *operator new[](std::size_t size, const std::nothrow_t & /*tag*/) noexcept {
  return new_block_or_null(size, 0);
}
void *operator new(std::size_t size, std::align_val_t alignment) {
  return new_block(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment) {
  return new_block(size, static_cast<std::size_t>(alignment));
}
void *operator new(std::size_t size, std::align_val_t alignment,
                   const std::nothrow_t & /*tag*/) noexcept {
  return new_block_or_null(size, static_cast<std::size_t>(alignment));
}
void *operator new[](std::size_t size, std::align_val_t alignment,
                     const std::nothrow_t & /*tag*/) noexcept {
  return new_block_or_null(size, static_cast<std::size_t>(alignment));
}

void operator delete(void *block) noexcept { released(block); }
void operator delete[](void *block) noexcept { released(block); }
void operator delete(void *block, std::size_t /*size*/) noexcept { released(block); }
void operator delete[](void *block, std::size_t /*size*/) noexcept { released(block); }
void operator delete(void *block, const std::nothrow_t & /*tag*/) noexcept { released(block); }
void operator delete[](void *block, const std::nothrow_t & /*tag*/) noexcept { released(block); }
void operator delete(void *block, std::align_val_t /*alignment*/) noexcept { released(block); }
void operator delete[](void *block, std::align_val_t /*alignment*/) noexcept { released(block); }
void operator delete(void *block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
  released(block);
}
void operator delete[](void *block, std::size_t /*size*/, std::align_val_t /*alignment*/) noexcept {
  released(block);
}
void operator delete(void *block, std::align_val_t /*alignment*/,
                     const std::nothrow_t & /*tag*/) noexcept {
  released(block);
}
void operator delete[](void *block, std::align_val_t /*alignment*/,
                       const std::nothrow_t & /*tag*/) noexcept {
  released(block);
}
// NOLINTEND(cert-dcl58-cpp)

namespace plugin_check {

bool heap_counting_available(std::string & /*why_not*/) { return true; }

void count_heap(bool on) {
  if (on) {
    calls = 0;
    outstanding = 0;
  }
  counting = on;
}

void resume_heap_count() { counting = true; }

long heap_calls() { return calls; }

long heap_outstanding() { return outstanding; }

}  // namespace plugin_check
