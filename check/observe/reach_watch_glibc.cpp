// The watch behind the reach wrappers: where the plug-in's code lies, which
// plug-in function each thread runs, and a table of what was seen that never
// allocates (the wrappers run where the heap is counted, and in the C
// library's own start-up). The C library's definitions are found by reading
// its dynamic symbol table in memory, as the loader would: dlsym is one of the
// wrapped names, so it cannot be asked.
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "observe/reach_record.hpp"
#include "observe/reach_seen.hpp"
#include "observe/reach_watch.hpp"

namespace plugin_check {
namespace {

using Address = std::uintptr_t;

struct Range {
  Address begin = 0;
  Address end = 0;
  [[nodiscard]] bool holds(Address at) const { return at >= begin && at < end; }
};

// The loaded segments of the object that holds `at`.
Range object_range(Address at) {
  struct Search {
    Address at;
    Range found;
  } search{at, {}};
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        auto &wanted = *static_cast<Search *>(data);
        Range range{UINTPTR_MAX, 0};
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_LOAD) {
            range.begin = std::min<Address>(range.begin, info->dlpi_addr + segment.p_vaddr);
            range.end =
                std::max<Address>(range.end, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
          }
        }
        if (range.holds(wanted.at)) {
          wanted.found = range;
          return 1;
        }
        return 0;
      },
      &search);
  return search.found;
}

constinit SeenTable seen_table;
std::atomic<bool> watching{false};
std::atomic<Address> plugin_begin{0};
std::atomic<Address> plugin_end{0};
thread_local const char *hook_now = nullptr;
thread_local const void *hook_returns_to = nullptr;

// ---- The C library's own definitions, by its GNU hash table.
struct Lookup {
  const char *name;
  void *found = nullptr;
};

// NOLINTBEGIN(performance-no-int-to-ptr): the loader's tables hold addresses as integers
// d_ptr values are addresses once the loader has relocated the dynamic
// section in place, as it does on the machines plugin-check is built for;
// offsets on those that keep it read-only.
Address dynamic_pointer(const dl_phdr_info *info, Address value) {
  return value < info->dlpi_addr ? value + info->dlpi_addr : value;
}

void *defined_in(const dl_phdr_info *info, const char *name) {
  const ElfW(Dyn) *dynamic = nullptr;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_DYNAMIC) {
      dynamic = reinterpret_cast<const ElfW(Dyn) *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
    }
  }
  const std::uint32_t *hash = nullptr;
  const ElfW(Sym) *symbols = nullptr;
  const char *strings = nullptr;
  const ElfW(Half) *versions = nullptr;
  for (const ElfW(Dyn) *entry = dynamic; entry != nullptr && entry->d_tag != DT_NULL; ++entry) {
    const Address at = dynamic_pointer(info, entry->d_un.d_ptr);
    switch (entry->d_tag) {
      case DT_GNU_HASH:
        hash = reinterpret_cast<const std::uint32_t *>(at);
        break;
      case DT_SYMTAB:
        symbols = reinterpret_cast<const ElfW(Sym) *>(at);
        break;
      case DT_STRTAB:
        strings = reinterpret_cast<const char *>(at);
        break;
      case DT_VERSYM:
        versions = reinterpret_cast<const ElfW(Half) *>(at);
        break;
      default:
        break;
    }
  }
  if (hash == nullptr || symbols == nullptr || strings == nullptr) {
    return nullptr;
  }
  std::uint32_t wanted = 5381;
  for (const char *c = name; *c != '\0'; ++c) {
    wanted = wanted * 33 + static_cast<unsigned char>(*c);
  }
  const std::uint32_t buckets = hash[0];
  const std::uint32_t first = hash[1];
  const std::uint32_t bloom_words = hash[2];
  const auto *bucket = reinterpret_cast<const std::uint32_t *>(
      reinterpret_cast<const ElfW(Addr) *>(hash + 4) + bloom_words);
  const std::uint32_t *chain = bucket + buckets;
  if (buckets == 0) {
    return nullptr;
  }
  for (std::uint32_t i = bucket[wanted % buckets]; i >= first; ++i) {
    const std::uint32_t link = chain[i - first];
    const ElfW(Sym) &symbol = symbols[i];
    // The default version only, never an old one kept for old programs; an
    // indirect function's resolver is not called here.
    if ((link | 1U) == (wanted | 1U) && std::strcmp(strings + symbol.st_name, name) == 0 &&
        symbol.st_shndx != SHN_UNDEF && ELF64_ST_TYPE(symbol.st_info) != STT_GNU_IFUNC &&
        (versions == nullptr || (versions[i] & 0x8000U) == 0)) {
      return reinterpret_cast<void *>(info->dlpi_addr + symbol.st_value);
    }
    if ((link & 1U) != 0) {
      break;
    }
  }
  return nullptr;
}
// NOLINTEND(performance-no-int-to-ptr)

}  // namespace

const char *const reach_unwatched = nullptr;
const char *const reach_partly_unwatched = nullptr;

namespace reach_record {

void *next_definition(const char *name) {
  struct Search {
    const char *name;
    void *found = nullptr;
    bool program = true;
  } search{name};
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        auto &wanted = *static_cast<Search *>(data);
        if (wanted.program) {  // this program's own are the wrappers
          wanted.program = false;
          return 0;
        }
        wanted.found = defined_in(info, wanted.name);
        return wanted.found != nullptr ? 1 : 0;
      },
      &search);
  return search.found;
}

void note(How how, const char *name, const void *caller) {
  if (!watching.load(std::memory_order_acquire)) {
    return;
  }
  const auto at = reinterpret_cast<Address>(caller);
  const bool from_plugin = (at >= plugin_begin.load(std::memory_order_relaxed) &&
                            at < plugin_end.load(std::memory_order_relaxed)) ||
                           (hook_now != nullptr && caller == hook_returns_to);
  if (!from_plugin) {
    return;
  }
  const auto seen_how = how == How::resolves ? Reached::How::resolves
                        : how == How::opens  ? Reached::How::opens
                                             : Reached::How::calls;
  seen_table.note(seen_how, hook_now, name != nullptr ? name : "the program itself");
}

}  // namespace reach_record

bool watch_reach(const void *inside, std::string &why_not) {
  const Range plugin = object_range(reinterpret_cast<Address>(inside));
  if (plugin.end == 0) {
    why_not = "the plug-in's code was not found among the loaded libraries";
    return false;
  }
  seen_table.clear();
  plugin_begin = plugin.begin;
  plugin_end = plugin.end;
  watching.store(true, std::memory_order_release);
  return true;
}

void reach_in_hook(const char *hook, const void *returns_to) {
  hook_now = hook;
  hook_returns_to = returns_to;
}

std::vector<Reached> reach_watched() {
  watching.store(false, std::memory_order_release);
  return seen_table.seen();
}

}  // namespace plugin_check
