// This program's own malloc family, its `__libc_` twins and operator new stand
// in front of the C library's and the C++ runtime's: the program exports them,
// so a dlopened plug-in (and the C library's own strdup, fopen and the like)
// binds to these. The twins are here because a plug-in can name them, and the
// C library's would go round the count. Plug-in threads allocate too, so the
// counters are atomic.
#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>

#include "observe/heap_count.hpp"

namespace {

// The allocator behind ours: the next definitions after this program's, the C
// library's unless something preloaded stands between.
struct Allocator {
  void *(*malloc)(std::size_t);
  void *(*calloc)(std::size_t, std::size_t);
  void *(*realloc)(void *, std::size_t);
  void *(*memalign)(std::size_t, std::size_t);
  void *(*valloc)(std::size_t);
  void *(*pvalloc)(std::size_t);
  void (*free)(void *);
  std::size_t (*usable_size)(void *);
};

Allocator next_allocator;
std::atomic<bool> next_ready{false};
std::atomic<bool> next_looked_up{false};

template <typename Function>
void find_next(Function &function, const char *name) {
  function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  if (function == nullptr) {
    static constexpr char message[] = "plugin-check: the C library's allocator was not found\n";
    static_cast<void>(write(STDERR_FILENO, message, sizeof message - 1));
    std::abort();
  }
}

// Null while the lookup runs: the lookup may allocate itself, or another
// thread may allocate meanwhile, and both take a block of the start-up arena.
const Allocator *next() {
  if (next_ready.load(std::memory_order_acquire)) {
    return &next_allocator;
  }
  if (next_looked_up.exchange(true)) {
    return nullptr;
  }
  find_next(next_allocator.malloc, "malloc");
  find_next(next_allocator.calloc, "calloc");
  find_next(next_allocator.realloc, "realloc");
  find_next(next_allocator.memalign, "memalign");
  find_next(next_allocator.valloc, "valloc");
  find_next(next_allocator.pvalloc, "pvalloc");
  find_next(next_allocator.free, "free");
  find_next(next_allocator.usable_size, "malloc_usable_size");
  next_ready.store(true, std::memory_order_release);
  return &next_allocator;
}

// ---- The start-up arena: blocks handed out before the lookup is done, kept
// for the life of the process. Each has its size just before it.
constexpr std::size_t arena_header = alignof(std::max_align_t);
alignas(4096) char arena[64 * 1024];
std::atomic<std::size_t> arena_used{0};

bool in_arena(const void *block) {
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  const auto begin = reinterpret_cast<std::uintptr_t>(arena);
  return at >= begin && at < begin + sizeof arena;
}

std::size_t arena_size(const void *block) {
  std::size_t size = 0;
  std::memcpy(&size, static_cast<const char *>(block) - arena_header, sizeof size);
  return size;
}

void *from_arena(std::size_t size, std::size_t alignment) {
  alignment = alignment < arena_header ? arena_header : alignment;
  std::size_t used = arena_used.load();
  for (;;) {
    const std::size_t start = (used + arena_header + alignment - 1) / alignment * alignment;
    if (start > sizeof arena || size > sizeof arena - start) {
      errno = ENOMEM;
      return nullptr;
    }
    if (arena_used.compare_exchange_weak(used, start + size)) {
      std::memcpy(arena + start - arena_header, &size, sizeof size);
      return arena + start;
    }
  }
}

// ---- Which call made each block still held, for the blocks allocated while
// counting: open addressing under a spin lock, never allocating. A plug-in
// that holds more blocks than there is room for is still counted, only not
// told apart by call.
struct Tracked {
  void *block;
  long bytes;
  int tag;
};
constexpr int tracked_bits = 14;
constexpr std::size_t tracked_slots = std::size_t{1} << tracked_bits;
Tracked tracked[tracked_slots];
std::size_t tracked_used = 0;
std::atomic_flag tracked_lock = ATOMIC_FLAG_INIT;
std::atomic<int> tag_now{0};

class TableLock {
 public:
  TableLock() noexcept {
    while (tracked_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~TableLock() { tracked_lock.clear(std::memory_order_release); }
  TableLock(const TableLock &) = delete;
  TableLock &operator=(const TableLock &) = delete;
};

std::size_t home(const void *block) {
  const std::uint64_t spread =
      (reinterpret_cast<std::uintptr_t>(block) >> 4U) * 0x9E3779B97F4A7C15U;
  return static_cast<std::size_t>(spread >> (64 - tracked_bits));
}

std::size_t next_slot(std::size_t slot) { return (slot + 1) & (tracked_slots - 1); }

// The slot of `block`, or of the empty one where it would go: one slot is
// always left empty, so the search ends.
std::size_t slot_of(const void *block) {
  std::size_t slot = home(block);
  while (tracked[slot].block != nullptr && tracked[slot].block != block) {
    slot = next_slot(slot);
  }
  return slot;
}

void track(void *block, long bytes) {
  const TableLock lock;
  const std::size_t slot = slot_of(block);
  if (tracked[slot].block == nullptr) {
    if (tracked_used + 1 >= tracked_slots) {
      return;
    }
    ++tracked_used;
  }
  tracked[slot] = {block, bytes, tag_now.load(std::memory_order_relaxed)};
}

// Linear probing's deletion: the blocks after the hole that could sit in it
// move back, so that no search stops early.
void untrack(const void *block) {
  const TableLock lock;
  std::size_t hole = slot_of(block);
  if (tracked[hole].block == nullptr) {
    return;
  }
  for (std::size_t slot = next_slot(hole); tracked[slot].block != nullptr; slot = next_slot(slot)) {
    const std::size_t wanted = home(tracked[slot].block);
    const bool wraps = slot < hole;
    const bool may_move =
        wraps ? (wanted <= hole && wanted > slot) : (wanted <= hole || wanted > slot);
    if (may_move) {
      tracked[hole] = tracked[slot];
      hole = slot;
    }
  }
  tracked[hole] = {};
  --tracked_used;
}

// ---- The dynamic loader's own blocks: a thread's block of a library's
// thread-local variables, made on the thread's first use of them, is the
// loader's doing and freed by it, so neither is counted. Told apart by the
// caller's address, inside the loader's code.
std::atomic<std::uintptr_t> loader_begin{0};
std::atomic<std::uintptr_t> loader_end{0};
std::atomic<bool> loader_found{false};

// Found once, from the checker's own code and before any counting, since
// dl_iterate_phdr takes the loader's lock, which its allocations may hold.
void find_loader() {
  if (loader_found.exchange(true)) {
    return;
  }
  unsigned long base = getauxval(AT_BASE);
  if (base == 0) {  // no loader: linked statically
    return;
  }
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *wanted) {
        if (info->dlpi_addr != *static_cast<const unsigned long *>(wanted)) {
          return 0;
        }
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];  // NOLINT: the loader's array
          if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) != 0) {
            const std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
            loader_begin = begin;
            loader_end = begin + segment.p_memsz;
          }
        }
        return 1;
      },
      &base);
}

bool from_loader(const void *caller) {
  const auto at = reinterpret_cast<std::uintptr_t>(caller);
  return at >= loader_begin.load(std::memory_order_relaxed) &&
         at < loader_end.load(std::memory_order_relaxed);
}

std::atomic<bool> counting{false};
std::atomic<long> calls{0};
std::atomic<long> outstanding{0};
std::atomic<long> outstanding_bytes{0};
std::atomic<bool> wiping{false};

long usable_size(void *block) {
  if (block == nullptr) {
    return 0;
  }
  if (in_arena(block)) {
    return static_cast<long>(arena_size(block));
  }
  const Allocator *allocator = next();
  return allocator != nullptr ? static_cast<long>(allocator->usable_size(block)) : 0;
}

// One call to an allocating entry point, which returned `block`.
void *allocated(void *block) {
  if (counting.load(std::memory_order_relaxed)) {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (block != nullptr) {
      const long bytes = usable_size(block);
      outstanding.fetch_add(1, std::memory_order_relaxed);
      outstanding_bytes.fetch_add(bytes, std::memory_order_relaxed);
      track(block, bytes);
    }
  }
  return block;
}

void released(void *block) {
  if (block == nullptr) {
    return;
  }
  if (counting.load(std::memory_order_relaxed)) {
    outstanding.fetch_sub(1, std::memory_order_relaxed);
    outstanding_bytes.fetch_sub(usable_size(block), std::memory_order_relaxed);
    untrack(block);
  }
  if (!in_arena(block)) {
    if (wiping.load(std::memory_order_relaxed)) {
      std::memset(block, 0, next()->usable_size(block));
    }
    next()->free(block);
  }
}

bool valid_alignment(std::size_t alignment) {
  return alignment != 0 && (alignment & (alignment - 1)) == 0;
}

void *uncounted_memalign(std::size_t alignment, std::size_t size) {
  const Allocator *allocator = next();
  return allocator != nullptr ? allocator->memalign(alignment, size) : from_arena(size, alignment);
}

void *uncounted_malloc(std::size_t size) {
  const Allocator *allocator = next();
  return allocator != nullptr ? allocator->malloc(size) : from_arena(size, 0);
}

void *uncounted_calloc(std::size_t count, std::size_t size) {
  if (const Allocator *allocator = next(); allocator != nullptr) {
    return allocator->calloc(count, size);
  }
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) {
    errno = ENOMEM;
    return nullptr;
  }
  return from_arena(count * size, 0);  // the arena is zero and never reused
}

// A block of the arena moves out to the allocator, which cannot resize it.
void *moved_from_arena(void *block, std::size_t size) {
  void *moved = uncounted_malloc(size == 0 ? 1 : size);
  if (moved != nullptr) {
    const std::size_t kept = arena_size(block);
    std::memcpy(moved, block, kept < size ? kept : size);
  }
  return moved;
}

// The C library's realloc frees a block it moves, or shrinks to nothing,
// beyond the reach of the wiping free: while wiping, the move is made here.
void *resized(const Allocator &allocator, void *pointer, std::size_t size) {
  if (!wiping.load(std::memory_order_relaxed) || pointer == nullptr) {
    return allocator.realloc(pointer, size);
  }
  const std::size_t held = allocator.usable_size(pointer);
  if (size != 0 && size <= held) {
    return pointer;
  }
  void *moved = size == 0 ? nullptr : allocator.malloc(size);
  if (moved == nullptr && size != 0) {
    return nullptr;
  }
  if (moved != nullptr) {
    std::memcpy(moved, pointer, held);
  }
  std::memset(pointer, 0, held);
  allocator.free(pointer);
  return moved;
}

void *reallocated(void *pointer, std::size_t size) {
  const bool counted = counting.load(std::memory_order_relaxed);
  const long before = counted ? usable_size(pointer) : 0;
  const Allocator *allocator = next();
  void *block = allocator == nullptr ? from_arena(size, 0)
                : in_arena(pointer)  ? moved_from_arena(pointer, size)
                                     : resized(*allocator, pointer, size);
  if (allocator == nullptr && block != nullptr && in_arena(pointer)) {
    const std::size_t kept = arena_size(pointer);
    std::memcpy(block, pointer, kept < size ? kept : size);
  }
  if (!counted) {
    return block;
  }
  calls.fetch_add(1, std::memory_order_relaxed);
  const long after = usable_size(block);
  if (pointer == nullptr) {
    if (block != nullptr) {
      outstanding.fetch_add(1, std::memory_order_relaxed);
      outstanding_bytes.fetch_add(after, std::memory_order_relaxed);
      track(block, after);
    }
  } else if (block == nullptr) {
    if (size == 0) {  // the C library frees it
      outstanding.fetch_sub(1, std::memory_order_relaxed);
      outstanding_bytes.fetch_sub(before, std::memory_order_relaxed);
      untrack(pointer);
    }
  } else {
    // The call that resized a block holds it from now on.
    outstanding_bytes.fetch_add(after - before, std::memory_order_relaxed);
    untrack(pointer);
    track(block, after);
  }
  return block;
}

void *reallocated_array(void *pointer, std::size_t count, std::size_t size) {
  if (size != 0 && count > static_cast<std::size_t>(-1) / size) {
    allocated(nullptr);
    errno = ENOMEM;
    return nullptr;
  }
  return reallocated(pointer, count * size);
}

void *page_aligned(std::size_t size, bool whole_pages) {
  if (const Allocator *allocator = next(); allocator != nullptr) {
    return allocated(whole_pages ? allocator->pvalloc(size) : allocator->valloc(size));
  }
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return allocated(from_arena(whole_pages ? (size + page - 1) / page * page : size, page));
}

// What operator new does on failure: ask the new-handler, or throw.
void *new_block(std::size_t size, std::size_t alignment) {
  size = size == 0 ? 1 : size;
  for (;;) {
    void *block = alignment <= alignof(std::max_align_t) ? uncounted_malloc(size)
                                                         : uncounted_memalign(alignment, size);
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
// NOLINTBEGIN(bugprone-reserved-identifier)
extern "C" {
// The loader calls these four, and only these.
void *malloc(std::size_t size) {
  void *block = uncounted_malloc(size);
  return from_loader(__builtin_return_address(0)) ? block : allocated(block);
}
void *__libc_malloc(std::size_t size) { return allocated(uncounted_malloc(size)); }

void *calloc(std::size_t count, std::size_t size) {
  void *block = uncounted_calloc(count, size);
  return from_loader(__builtin_return_address(0)) ? block : allocated(block);
}
void *__libc_calloc(std::size_t count, std::size_t size) {
  return allocated(uncounted_calloc(count, size));
}

void *realloc(void *pointer, std::size_t size) {
  if (from_loader(__builtin_return_address(0))) {
    const Allocator *allocator = next();
    if (allocator != nullptr && !in_arena(pointer)) {
      return allocator->realloc(pointer, size);
    }
  }
  return reallocated(pointer, size);
}
void *__libc_realloc(void *pointer, std::size_t size) { return reallocated(pointer, size); }

void *reallocarray(void *pointer, std::size_t count, std::size_t size) {
  return reallocated_array(pointer, count, size);
}
void *__libc_reallocarray(void *pointer, std::size_t count, std::size_t size) {
  return reallocated_array(pointer, count, size);
}

void *memalign(std::size_t alignment, std::size_t size) {
  return allocated(uncounted_memalign(alignment, size));
}
void *__libc_memalign(std::size_t alignment, std::size_t size) {
  return allocated(uncounted_memalign(alignment, size));
}

void *aligned_alloc(std::size_t alignment, std::size_t size) {
  if (!valid_alignment(alignment)) {
    allocated(nullptr);
    errno = EINVAL;
    return nullptr;
  }
  return allocated(uncounted_memalign(alignment, size));
}

int posix_memalign(void **result, std::size_t alignment, std::size_t size) {
  if (!valid_alignment(alignment) || alignment % sizeof(void *) != 0) {
    allocated(nullptr);
    return EINVAL;
  }
  void *block = allocated(uncounted_memalign(alignment, size));
  if (block == nullptr) {
    return ENOMEM;
  }
  *result = block;
  return 0;
}

void *valloc(std::size_t size) { return page_aligned(size, false); }
void *__libc_valloc(std::size_t size) { return page_aligned(size, false); }

void *pvalloc(std::size_t size) { return page_aligned(size, true); }
void *__libc_pvalloc(std::size_t size) { return page_aligned(size, true); }

void free(void *pointer) {
  if (pointer != nullptr && !in_arena(pointer) && from_loader(__builtin_return_address(0))) {
    if (const Allocator *allocator = next(); allocator != nullptr) {
      allocator->free(pointer);
      return;
    }
  }
  released(pointer);
}
void __libc_free(void *pointer) { released(pointer); }
// Kept by the C library for old programs, and still reachable by version.
void cfree(void *pointer) { released(pointer); }
}
// NOLINTEND(bugprone-reserved-identifier)
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
  find_loader();
  if (on) {
    calls = 0;
    outstanding = 0;
    outstanding_bytes = 0;
    const TableLock lock;
    if (tracked_used > 0) {  // counting restarts often, and mostly finds the table empty
      std::fill(std::begin(tracked), std::end(tracked), Tracked{});
      tracked_used = 0;
    }
  }
  counting = on;
}

void tag_heap(int tag) { tag_now = tag; }

bool wipe_freed_blocks(bool on) {
  wiping = on;
  return true;
}

long heap_held_from(int tag, long &bytes) {
  const TableLock lock;
  long blocks = 0;
  bytes = 0;
  for (const Tracked &entry : tracked) {
    if (entry.block != nullptr && entry.tag == tag) {
      ++blocks;
      bytes += entry.bytes;
    }
  }
  return blocks;
}

void resume_heap_count() {
  find_loader();
  counting = true;
}

long heap_calls() { return calls; }

long heap_outstanding() { return outstanding; }

long heap_outstanding_bytes() { return outstanding_bytes; }

}  // namespace plugin_check
