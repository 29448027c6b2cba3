// The scan reads /proc/self/maps for the writable mappings and each
// thread's stack pointer from /proc/self/task/N/syscall. Which words count:
// - A word points into the plug-in if its value lies in a page the library
//   had mapped that nothing is mapped at now: memory mapped there since is
//   alive, and a library the loader kept (a C++ library with unique symbols)
//   is still there, so pointers to it are sound.
// - Freed heap blocks are no place: nothing reads them before it writes them.
//   The checker's malloc wipes each block as it is freed (wipe_freed_blocks),
//   which also takes the loader's own records of the library (freed at
//   unload) and the fixture's copy of its functions out of the scan. Where
//   the build cannot wipe (a sanitizer's allocator), only the libraries'
//   writable segments are read, and not a sanitizer runtime's.
// - A thread's stack below its stack pointer is no place either: it holds
//   the dead frames of calls made, the plug-in's among them. A thread's stack
//   is read from its stack pointer up, through its thread block; the stack
//   of a thread that has ended (kept by the C library for reuse) and the
//   scanner's own, which holds only the checker's frames, are not read.
// - The loader keeps one record of an unloaded library until the next
//   dlopen, for its unwinder's lookup: the library's start twice (its end set
//   to its start marks it unused), no link map and its unwind table. Those
//   four words, in that shape, are the loader's and not counted.
// - A word that holds the first byte of a run of those pages, where
//   something is mapped just below, is as well the end of that something
//   (the loader's record of the library below ends there), and is not
//   counted: such a run starts at the library's header, or where a mapping
//   made since ends, and a pointer the plug-in hands out hardly ever falls
//   on a page's first byte.
// - The C library's copies of the exit handlers it ran at unload (in their
//   freed slots) and of the fork handlers it dropped then (past its table's
//   end): a handler of the checker's own, registered after the scan, is
//   written over them. A copy of an exit handler is not counted; one of a
//   fork handler is named as such, since no plug-in can remove one.
// - What the scanner holds itself (the recorded pages, the mappings read)
//   is kept as page numbers, not addresses, so it never reads as a pointer.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "observe/pointer_scan.hpp"

// What the C library records as this program's with each exit or fork
// handler the program registers.
extern "C" void *__dso_handle;  // NOLINT(bugprone-reserved-identifier)

namespace plugin_check::pointers {
namespace {

// A run of pages, [first, end), and whether the library executed there.
struct Pages {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;
  bool code = false;
  bool after_mapped = false;  // whether the page just below is mapped now
};
constexpr std::size_t most_segments = 16;
constexpr std::uintptr_t guard_pages_at_most = 16;
std::array<Pages, most_segments> recorded{};
std::size_t recorded_count = 0;
// The first page of the library, and where its unwind table is from there.
std::uintptr_t start_page = 0;
std::uintptr_t unwind_table_offset = 0;

std::uintptr_t page_size() { return static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)); }

// A line of /proc/self/maps, its bounds as page numbers: as addresses, the
// end of a mapping just below the plug-in's pages would read as a pointer
// into them.
struct Mapping {
  std::uintptr_t first = 0;
  std::uintptr_t end = 0;
  std::string permissions;
  unsigned long inode = 0;
  std::string path;

  [[nodiscard]] bool anonymous() const { return inode == 0 && path.empty(); }
  [[nodiscard]] bool writable() const {
    return permissions.size() >= 2 && permissions[0] == 'r' && permissions[1] == 'w';
  }
};

std::string text_of(const char *path) {
  std::string text;
  const int file = open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return text;
  }
  std::array<char, 8192> buffer{};
  for (ssize_t got = 0; (got = read(file, buffer.data(), buffer.size())) > 0;) {
    text.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(file);
  return text;
}

std::vector<Mapping> mappings(std::uintptr_t page) {
  std::vector<Mapping> all;
  const std::string text = text_of("/proc/self/maps");
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    Mapping mapping;
    std::array<char, 8> permissions{};
    int path_at = 0;
    // NOLINTNEXTLINE(cert-err34-c): a line that does not parse is left out
    if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " %7s %*s %*s %lu %n", &mapping.first,
                    &mapping.end, permissions.data(), &mapping.inode, &path_at) < 4) {
      continue;
    }
    mapping.first /= page;
    mapping.end /= page;
    mapping.permissions = permissions.data();
    if (path_at > 0 && static_cast<std::size_t>(path_at) < line.size()) {
      mapping.path = line.substr(static_cast<std::size_t>(path_at));
    }
    all.push_back(mapping);
  }
  return all;
}

// Each thread's stack pointer, where the system tells it: a thread blocked
// in a system call has it in its syscall file, after the call and its six
// arguments. A running thread's is not known.
std::vector<std::uintptr_t> stack_pointers() {
  std::vector<std::uintptr_t> pointers;
  std::error_code error;
  for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
       !error && task != end; task.increment(error)) {
    const std::string path = task->path().string() + "/syscall";
    std::istringstream fields(text_of(path.c_str()));
    std::string skipped;
    for (int field = 0; field < 7 && fields >> skipped; ++field) {
    }
    // "running", or a thread stopped outside a call, has fewer fields.
    if (std::uintptr_t pointer = 0; fields >> std::hex >> pointer) {
      pointers.push_back(pointer);
    }
  }
  return pointers;
}

// The pages the library had that nothing is mapped at now.
std::vector<Pages> dangling(const std::vector<Mapping> &now) {
  std::vector<Pages> left;
  for (std::size_t i = 0; i < recorded_count; ++i) {
    for (std::uintptr_t at = recorded.at(i).first; at < recorded.at(i).end; ++at) {
      const bool mapped = std::any_of(now.begin(), now.end(), [at](const Mapping &mapping) {
        return mapping.first <= at && at < mapping.end;
      });
      if (mapped) {
        continue;
      }
      if (!left.empty() && left.back().end == at && left.back().code == recorded.at(i).code) {
        ++left.back().end;
      } else {
        const bool after_mapped = std::any_of(
            now.begin(), now.end(), [at](const Mapping &mapping) { return mapping.end == at; });
        left.push_back({at, at + 1, recorded.at(i).code, after_mapped});
      }
    }
  }
  return left;
}

std::string base_name(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where the word at `at`, in `mapping`, lives, in the report's words.
std::string place_of(std::uintptr_t at, const Mapping &mapping, bool thread_stack) {
  Dl_info info{};
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the address is the word's own
  if (dladdr(reinterpret_cast<const void *>(at), &info) != 0 && info.dli_fname != nullptr) {
    // The program itself holds copies of the C library's variables it names.
    Dl_info program{};
    const bool host = dladdr(reinterpret_cast<const void *>(&record_library_of), &program) != 0 &&
                      program.dli_fbase == info.dli_fbase;
    std::string place =
        (host ? std::string("the host program") : base_name(info.dli_fname)) + "'s data";
    if (info.dli_sname != nullptr) {
      place += std::string(", near ") + info.dli_sname;
    }
    return place;
  }
  if (mapping.path == "[heap]") {
    return "the heap";
  }
  if (mapping.path == "[stack]") {
    return "the stack of the host's first thread";
  }
  if (thread_stack) {
    return "a host thread's stack or thread block";
  }
  if (!mapping.path.empty()) {
    return base_name(mapping.path);
  }
  return "anonymous memory (a heap of another thread's, or a library's or the engine's own)";
}

// Memory is read as it is, whatever a sanitizer makes of the place: a
// library's data holds its redzones, and a word may change under the read.
__attribute__((no_sanitize("address"), no_sanitize("thread"))) std::uintptr_t word_at(
    std::uintptr_t at) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the scan reads addresses it was given
  return *reinterpret_cast<const volatile std::uintptr_t *>(at);
}

// The first aligned word in [at, to) whose value's page lies in [lowest,
// highest), or `to`: the one loop that reads every word.
__attribute__((no_sanitize("address"), no_sanitize("thread"))) std::uintptr_t next_candidate(
    std::uintptr_t at, std::uintptr_t to, std::uintptr_t lowest, std::uintptr_t highest,
    std::uintptr_t shift) {
  for (; at + sizeof(std::uintptr_t) <= to; at += sizeof(std::uintptr_t)) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the scan reads addresses it was given
    const std::uintptr_t page = *reinterpret_cast<const volatile std::uintptr_t *>(at) >> shift;
    if (page >= lowest && page < highest) {
      return at;
    }
  }
  return to;
}

// A word found, and the line that names its place.
struct Found {
  std::uintptr_t at = 0;
  std::string line;
};
// Past these, only a place's first word is kept, so a plug-in that leaves
// pointers everywhere cannot make the scan keep them all.
constexpr std::size_t most_kept = 4096;

struct Scan {
  std::set<std::string> places;
  std::vector<Found> first;  // in the order found: each place's first word, and more
};

void read_words(std::uintptr_t from, std::uintptr_t to, const Mapping &mapping, bool thread_stack,
                const std::vector<Pages> &targets, std::uintptr_t shift, Scan &scan) {
  std::uintptr_t lowest = targets.front().first;
  std::uintptr_t highest = targets.front().end;
  for (const Pages &pages : targets) {
    lowest = std::min(lowest, pages.first);
    highest = std::max(highest, pages.end);
  }
  from = (from + sizeof(std::uintptr_t) - 1) & ~(sizeof(std::uintptr_t) - 1);
  constexpr std::uintptr_t record_words = 4;
  constexpr std::uintptr_t record_bytes = record_words * sizeof(std::uintptr_t);
  for (std::uintptr_t at = next_candidate(from, to, lowest, highest, shift); at < to;
       at = next_candidate(at + sizeof(std::uintptr_t), to, lowest, highest, shift)) {
    const std::uintptr_t value = word_at(at);
    const std::uintptr_t page = value >> shift;
    if (at + record_bytes <= to && value == start_page << shift &&
        word_at(at + sizeof value) == value && word_at(at + 2 * sizeof value) == 0 &&
        (word_at(at + 3 * sizeof value) == value + unwind_table_offset ||
         word_at(at + 3 * sizeof value) == 0)) {
      at += record_bytes - sizeof value;
      continue;
    }
    const auto target = std::find_if(targets.begin(), targets.end(), [page](const Pages &pages) {
      return pages.first <= page && page < pages.end;
    });
    if (target == targets.end() || (target->after_mapped && value == target->first << shift)) {
      continue;
    }
    const std::string line = std::string("a pointer into the unloaded plug-in's ") +
                             (target->code ? "code" : "data") + " stays in " +
                             place_of(at, mapping, thread_stack);
    if (scan.places.insert(line).second || scan.first.size() < most_kept) {
      scan.first.push_back({at, line});
    }
  }
}

// The writable segments of every loaded library, as runs of pages. A
// mapping that starts in a library's data need not end there: the kernel
// joins anonymous memory mapped just after a library's zeroed data into one
// mapping, and a sanitizer's records of its own are mapped so.
std::vector<Pages> library_data(std::uintptr_t page) {
  struct Found {
    std::uintptr_t page;
    std::vector<Pages> runs;
  } found{page, {}};
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        auto &wanted = *static_cast<Found *>(data);
        // A sanitizer's runtime keeps its own records of the addresses it
        // saw (the handlers set, the locks taken): they are not the host's.
        const std::string name = base_name(info->dlpi_name != nullptr ? info->dlpi_name : "");
        for (const char *runtime :
             {"libasan.", "libtsan.", "libubsan.", "liblsan.", "libhwasan."}) {
          if (name.rfind(runtime, 0) == 0) {
            return 0;
          }
        }
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W) == 0) {
            continue;
          }
          const std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
          const std::uintptr_t to = from + segment.p_memsz;
          wanted.runs.push_back({from / wanted.page, (to + wanted.page - 1) / wanted.page});
        }
        return 0;
      },
      &found);
  return found.runs;
}

bool between(std::uintptr_t address, std::uintptr_t page, const Mapping &mapping) {
  return mapping.first <= address / page && address / page < mapping.end;
}

Scan scan_now(bool heap_wiped) {
  // This thread's stack holds the scanner's and its caller's frames: the
  // checker's own, left out.
  const int here = 0;
  const auto own = reinterpret_cast<std::uintptr_t>(&here);
  const std::uintptr_t page = page_size();
  const auto shift = static_cast<std::uintptr_t>(__builtin_ctzl(page));
  const std::vector<Mapping> all = mappings(page);
  const std::vector<std::uintptr_t> stacks = stack_pointers();
  Scan scan;
  const std::vector<Pages> targets = dangling(all);
  if (targets.empty()) {
    return scan;
  }
  const std::vector<Pages> libraries = heap_wiped ? std::vector<Pages>{} : library_data(page);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Mapping &mapping = all[i];
    if (!mapping.writable() || mapping.path.rfind("/dev/", 0) == 0 || between(own, page, mapping)) {
      continue;
    }
    // A thread's stack: the main one, or one with a guard of a few pages
    // just below (a heap of the C library's has its reserve above it).
    const bool thread_stack =
        mapping.path == "[stack]" ||
        (i > 0 && mapping.anonymous() && all[i - 1].anonymous() &&
         all[i - 1].end == mapping.first && all[i - 1].permissions[0] == '-' &&
         all[i - 1].end - all[i - 1].first <= guard_pages_at_most);
    if (thread_stack) {
      const auto pointer = std::find_if(stacks.begin(), stacks.end(), [&mapping, page](auto sp) {
        return between(sp, page, mapping);
      });
      // An ended thread's, or one whose stack pointer is not known, is left.
      if (pointer != stacks.end()) {
        read_words(*pointer, mapping.end * page, mapping, true, targets, shift, scan);
      }
    } else if (heap_wiped) {
      read_words(mapping.first * page, mapping.end * page, mapping, false, targets, shift, scan);
    } else {
      for (const Pages &data : libraries) {
        const std::uintptr_t from = std::max(data.first, mapping.first);
        const std::uintptr_t to = std::min(data.end, mapping.end);
        if (from < to) {
          read_words(from * page, to * page, mapping, false, targets, shift, scan);
        }
      }
    }
  }
  return scan;
}

// Handlers of the checker's own, which do nothing.
void own_fork_handler() {}
void own_exit_handler() {}

// The C library keeps exit handlers and fork handlers in tables it fills at
// the end, and leaves a copy of what it drops at a library's unload: an exit
// handler it ran then stays in its slot, marked free, which the next
// registration takes when no later slot is in use; fork handlers it drops by
// moving the later ones down and shortening the table, past whose end their
// copies stay. Either table runs no copy, and a handler the checker
// registers now is written over the first: the words of the scan's that
// `register_own` overwrites with one of `own` were such copies. Registered
// again until one overwrites none, at most `most_rounds` times; each such
// word is given to `take`.
template <typename Take>
void overwritten_by(Scan &scan, bool (*register_own)(), std::initializer_list<std::uintptr_t> own,
                    int most_rounds, Take take) {
  std::vector<std::uintptr_t> held(scan.first.size());
  std::transform(scan.first.begin(), scan.first.end(), held.begin(),
                 [](const Found &found) { return word_at(found.at); });
  for (int round = 0; round < most_rounds && !scan.first.empty(); ++round) {
    if (!register_own()) {
      return;
    }
    bool overwritten = false;
    for (std::size_t i = 0; i < scan.first.size(); ++i) {
      const std::uintptr_t now = word_at(scan.first[i].at);
      if (now != held[i] && std::find(own.begin(), own.end(), now) != own.end()) {
        held[i] = now;
        take(scan.first[i]);
        overwritten = true;
      }
    }
    if (!overwritten) {
      return;
    }
  }
}

// An exit handler the C library ran at unload is gone, whatever its slot
// still holds; a fork handler is named, as one no plug-in can remove.
void sort_out_handler_tables(Scan &scan) {
  const auto own_library = reinterpret_cast<std::uintptr_t>(__dso_handle);
  // A C++ plug-in registers one exit handler for each static object.
  constexpr int most_exit_rounds = 64;
  constexpr int most_fork_rounds = 16;
  const std::string gone = "gone";
  // Over a freed slot the checker's exit handler writes its argument, none,
  // and its library: a C++ plug-in's slot held its object and its library.
  overwritten_by(
      scan, [] { return std::atexit(own_exit_handler) == 0; }, {0, own_library}, most_exit_rounds,
      [&gone](Found &found) { found.line = gone; });
  std::erase_if(scan.first, [&gone](const Found &found) { return found.line == gone; });
  overwritten_by(
      scan,
      [] { return pthread_atfork(own_fork_handler, own_fork_handler, own_fork_handler) == 0; },
      {reinterpret_cast<std::uintptr_t>(&own_fork_handler), own_library}, most_fork_rounds,
      [](Found &found) {
        found.line =
            "a fork handler of the unloaded plug-in's stays in " + std::string(fork_handler_table);
      });
}

}  // namespace

bool record_library_of(const void *address) {
  struct Search {
    std::uintptr_t address;
    std::uintptr_t page;
    bool found;
  } search{reinterpret_cast<std::uintptr_t>(address), page_size(), false};
  start_page = 0;
  unwind_table_offset = 0;
  dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t /*size*/, void *data) {
        auto &wanted = *static_cast<Search *>(data);
        std::array<Pages, most_segments> pages{};
        std::size_t count = 0;
        bool holds = false;
        std::uintptr_t unwind_table = 0;
        for (int i = 0; i < info->dlpi_phnum && count < pages.size(); ++i) {
          const ElfW(Phdr) &segment = info->dlpi_phdr[i];
          if (segment.p_type == PT_GNU_EH_FRAME) {
            unwind_table = info->dlpi_addr + segment.p_vaddr;
          }
          if (segment.p_type != PT_LOAD) {
            continue;
          }
          const std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
          const std::uintptr_t to = from + segment.p_memsz;
          holds = holds || (wanted.address >= from && wanted.address < to);
          pages.at(count++) = {from / wanted.page, (to + wanted.page - 1) / wanted.page,
                               (segment.p_flags & PF_X) != 0};
        }
        if (holds && count > 0) {
          recorded = pages;
          recorded_count = count;
          start_page = pages.front().first;
          unwind_table_offset = unwind_table != 0 ? unwind_table - start_page * wanted.page : 0;
          wanted.found = true;
        }
        return holds ? 1 : 0;
      },
      &search);
  return search.found;
}

// A freed block is wiped, or not read at all.
void checkers_copy_at(const void * /*object*/, std::size_t /*size*/) {}

std::vector<std::string> left_pointing(std::size_t most, std::size_t &total, bool heap_wiped) {
  // On the caller's thread: a thread started for it would map its stack
  // where the plug-in was, and hide what points there.
  Scan scan = scan_now(heap_wiped);
  sort_out_handler_tables(scan);
  std::set<std::string> named;
  std::vector<std::string> places;
  for (const Found &found : scan.first) {
    if (named.insert(found.line).second && places.size() < most) {
      places.push_back(found.line);
    }
  }
  total = named.size();
  return places;
}

}  // namespace plugin_check::pointers
