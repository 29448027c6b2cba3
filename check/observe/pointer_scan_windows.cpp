// Windows: the scan walks the process's committed writable memory with
// VirtualQuery. Which words count:
// - A word points into the plug-in if its value lies in a page of the image
//   the DLL had mapped that nothing is mapped at now.
// - Freed heap blocks are no place: every heap of the process is walked, and
//   a word in a block that is not in use is not read.
// - No thread's stack is read. Below its stack pointer are dead frames, the
//   plug-in's calls among them; above it, under wine, a waiting thread's
//   live frames still held a return address into the plug-in now and then
//   (a false finding in 1 run of about 20), and a host follows no word of a
//   frame it did not write.
// - The checker's own object that held the plug-in's functions is not read:
//   nothing wipes its block when it is freed, and it may be in use again.
// - A word that holds the image's base is the module's handle, kept by the
//   loader in its list of unloaded modules (Wine's, in ntdll's data).
// - Wine runs each thread's system calls on a stack just after the thread's
//   own; it holds dead frames of the loader's mapping of the image, and is
//   not read.
// - What the scanner holds itself is kept as page numbers, never addresses.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "observe/pointer_scan.hpp"

namespace plugin_check::pointers {
namespace {

using Address = std::uintptr_t;
constexpr Address shift = 12;  // pages of 4 KiB

struct Pages {
  Address first = 0;
  Address end = 0;
  bool code = false;
};
constexpr std::size_t most_sections = 32;
std::array<Pages, most_sections> recorded{};
std::size_t recorded_count = 0;
Address image_page = 0;
// The checker's object that held the plug-in's functions.
Address copy_from = 0;
Address copy_to = 0;

struct Span {
  Address from = 0;
  Address to = 0;
};

// NOLINTBEGIN(performance-no-int-to-ptr): the scan reads addresses it was given
template <typename Type>
const Type *at_address(Address at) {
  return reinterpret_cast<const Type *>(at);
}

Address word_at(Address at) { return *reinterpret_cast<const volatile Address *>(at); }

// The allocation that holds `at`, whole.
Span allocation_of(Address at) {
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<const void *>(at), &region, sizeof region) == 0) {
    return {};
  }
  const auto base = reinterpret_cast<Address>(region.AllocationBase);
  Span whole{base, base};
  while (reinterpret_cast<Address>(region.AllocationBase) == base) {
    whole.to = reinterpret_cast<Address>(region.BaseAddress) + region.RegionSize;
    if (VirtualQuery(reinterpret_cast<const void *>(whole.to), &region, sizeof region) == 0) {
      break;
    }
  }
  return whole;
}

// Wine runs a thread's system calls on a stack of their own, allocated just
// after the thread's stack, where Windows has its kernel: only dead frames of
// the loader's own work (mapping and relocating the image) stay there.
bool on_wine() {
  HMODULE const ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct Stacks {
  std::vector<Span> dead;  // not read
};

void add_stack(Stacks &stacks, Address inside, bool wine) {
  const Span stack = allocation_of(inside);
  stacks.dead.push_back(stack);
  if (wine) {
    if (const Span system = allocation_of(stack.to); system.from == stack.to) {
      stacks.dead.push_back(system);
    }
  }
}

// Every thread's stack, found by its stack pointer; each other thread is
// stopped while that is read.
Stacks thread_stacks() {
  Stacks stacks;
  const bool wine = on_wine();
  const Span own = allocation_of(reinterpret_cast<Address>(&stacks));
  add_stack(stacks, own.from, wine);
  HANDLE const threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (threads == INVALID_HANDLE_VALUE) {
    return stacks;
  }
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(threads, &entry); more != FALSE;
       more = Thread32Next(threads, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId() ||
        entry.th32ThreadID == GetCurrentThreadId()) {
      continue;
    }
    HANDLE const thread =
        OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, entry.th32ThreadID);
    if (thread == nullptr) {
      continue;
    }
    // Nothing is allocated while it is stopped: it may hold the heap's lock.
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL;
    bool read = false;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) {
      read = GetThreadContext(thread, &context) != FALSE;
      ResumeThread(thread);
    }
    CloseHandle(thread);
    if (read) {
      add_stack(stacks, context.Rsp, wine);
    }
  }
  CloseHandle(threads);
  std::sort(stacks.dead.begin(), stacks.dead.end(),
            [](const Span &a, const Span &b) { return a.from < b.from; });
  return stacks;
}

// The free blocks of every heap of the process.
std::vector<Span> free_blocks() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  std::vector<Span> free;
  constexpr std::size_t most_free = 1U << 18U;
  free.reserve(most_free);  // no heap grows while one is walked
  for (HANDLE const heap : heaps) {
    if (HeapLock(heap) == FALSE) {
      continue;
    }
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry) != FALSE && free.size() < most_free) {
      if ((entry.wFlags &
           (PROCESS_HEAP_ENTRY_BUSY | PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE)) == 0) {
        const auto from = reinterpret_cast<Address>(entry.lpData);
        free.push_back({from, from + entry.cbData});
      }
    }
    HeapUnlock(heap);
  }
  std::sort(free.begin(), free.end(), [](const Span &a, const Span &b) { return a.from < b.from; });
  return free;
}

bool within(const std::vector<Span> &sorted, Address at) {
  auto found = std::upper_bound(sorted.begin(), sorted.end(), at,
                                [](Address a, const Span &span) { return a < span.from; });
  if (found == sorted.begin()) {
    return false;
  }
  --found;
  return at < found->to;
}

std::string module_name(const void *base) {
  std::array<char, MAX_PATH> path{};
  const DWORD length =
      GetModuleFileNameA(static_cast<HMODULE>(const_cast<void *>(base)), path.data(), path.size());
  std::string name(path.data(), length);
  const std::size_t slash = name.find_last_of("\\/");
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Where the word at `at`, in `region`, lives, in the report's words.
std::string place_of(const MEMORY_BASIC_INFORMATION &region) {
  if (region.Type == MEM_IMAGE) {
    return module_name(region.AllocationBase) + "'s data";
  }
  return "the heap or memory a library allocated";
}
// NOLINTEND(performance-no-int-to-ptr)

bool mapped_now(Address page) {
  MEMORY_BASIC_INFORMATION region{};
  // NOLINTNEXTLINE(performance-no-int-to-ptr): a page number made an address
  return VirtualQuery(reinterpret_cast<const void *>(page << shift), &region, sizeof region) != 0 &&
         region.State != MEM_FREE;
}

struct Scan {
  std::vector<Pages> targets;
  Stacks stacks;
  std::vector<Span> free;
  std::set<std::string> places;
  std::vector<std::string> first;  // in the order found
};

void read_words(const MEMORY_BASIC_INFORMATION &region, Scan &scan) {
  Address lowest = scan.targets.front().first;
  Address highest = scan.targets.front().end;
  for (const Pages &pages : scan.targets) {
    lowest = std::min(lowest, pages.first);
    highest = std::max(highest, pages.end);
  }
  const auto from = reinterpret_cast<Address>(region.BaseAddress);
  const Address to = from + region.RegionSize;
  for (Address word = from; word + sizeof word <= to; word += sizeof word) {
    const Address value = word_at(word);
    const Address page = value >> shift;
    if (page < lowest || page >= highest || value == image_page << shift) {
      continue;
    }
    const auto target = std::find_if(
        scan.targets.begin(), scan.targets.end(),
        [page](const Pages &pages) { return pages.first <= page && page < pages.end; });
    if (target == scan.targets.end() || within(scan.free, word) || within(scan.stacks.dead, word) ||
        (word >= copy_from && word < copy_to)) {
      continue;
    }
    std::string line = std::string("a pointer into the unloaded plug-in's ") +
                       (target->code ? "code" : "data") + " stays in " + place_of(region);
    if (scan.places.insert(line).second) {
      scan.first.push_back(std::move(line));
    }
  }
}

}  // namespace

bool record_library_of(const void *address) {
  HMODULE module = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCWSTR>(address), &module) == 0) {
    return false;
  }
  const auto base = reinterpret_cast<Address>(module);
  const auto *dos = at_address<IMAGE_DOS_HEADER>(base);
  const auto *headers = at_address<IMAGE_NT_HEADERS64>(base + static_cast<Address>(dos->e_lfanew));
  const Address page = Address{1} << shift;
  recorded_count = 0;
  image_page = base >> shift;
  recorded.at(recorded_count++) = {
      base >> shift, (base + headers->OptionalHeader.SizeOfHeaders + page - 1) >> shift, false};
  const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(headers);
  for (WORD i = 0; i < headers->FileHeader.NumberOfSections && recorded_count < recorded.size();
       ++i, ++section) {
    const Address from = base + section->VirtualAddress;
    const Address size = std::max<Address>(section->Misc.VirtualSize, section->SizeOfRawData);
    recorded.at(recorded_count++) = {from >> shift, (from + size + page - 1) >> shift,
                                     (section->Characteristics & IMAGE_SCN_MEM_EXECUTE) != 0};
  }
  return true;
}

void checkers_copy_at(const void *object, std::size_t size) {
  copy_from = reinterpret_cast<Address>(object);
  copy_to = copy_from + size;
}

std::vector<std::string> left_pointing(std::size_t most, std::size_t &total, bool /*heap_wiped*/) {
  total = 0;
  Scan scan;
  for (std::size_t i = 0; i < recorded_count; ++i) {
    if (!mapped_now(recorded.at(i).first)) {
      scan.targets.push_back(recorded.at(i));
    }
  }
  if (scan.targets.empty()) {
    return {};
  }
  scan.stacks = thread_stacks();
  scan.free = free_blocks();
  MEMORY_BASIC_INFORMATION region{};
  for (Address at = 0;
       // NOLINTNEXTLINE(performance-no-int-to-ptr): the walk's own address
       VirtualQuery(reinterpret_cast<const void *>(at), &region, sizeof region) != 0;
       at = reinterpret_cast<Address>(region.BaseAddress) + region.RegionSize) {
    constexpr DWORD writable =
        PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    if (region.State == MEM_COMMIT && (region.Protect & writable) != 0 &&
        (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) == 0) {
      read_words(region, scan);
    }
  }
  total = scan.places.size();
  if (scan.first.size() > most) {
    scan.first.resize(most);
  }
  return scan.first;
}

}  // namespace plugin_check::pointers
