// The C library's ways out, interposed: host-sim exports exit, _exit, _Exit,
// quick_exit and pthread_exit (see endings.list), so a plug-in binds to
// these. A call from the plug-in's own code ends the process at once and
// tells the watching parent which way it took; every other call, host-sim's
// own included, goes on to the C library unchanged.
#include <dlfcn.h>
#include <link.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "programs/exit_status.hpp"
#include "sim/ending.hpp"
#include "tamrix_host.hpp"

namespace {

std::atomic<std::uintptr_t> plugin_start{0};
std::atomic<std::uintptr_t> plugin_end{0};

// The address range of the loaded object that holds `address`.
struct Search {
  std::uintptr_t address;
  std::uintptr_t start;
  std::uintptr_t end;
};

int find_object(dl_phdr_info *info, std::size_t /*size*/, void *data) {
  auto *search = static_cast<Search *>(data);
  std::uintptr_t start = UINTPTR_MAX;
  std::uintptr_t end = 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) &header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD) {
      start = std::min<std::uintptr_t>(start, info->dlpi_addr + header.p_vaddr);
      end = std::max<std::uintptr_t>(end, info->dlpi_addr + header.p_vaddr + header.p_memsz);
    }
  }
  if (search->address >= start && search->address < end) {
    search->start = start;
    search->end = end;
    return 1;
  }
  return 0;
}

// Any time, not only in a hook: a thread of the plug-in may end the process
// between two.
bool from_plugin(const void *caller) {
  const auto address = reinterpret_cast<std::uintptr_t>(caller);
  return address >= plugin_start.load() && address < plugin_end.load();
}

// Before any exit handler runs: the plug-in's code is still on the stack.
[[noreturn]] void note_and_end(tamrix_host::Ending how, int status) {
  tamrix_host::note_ending(how);
  syscall(SYS_exit_group, status);
  __builtin_unreachable();
}

[[noreturn]] void end_now(int status) {
  syscall(SYS_exit_group, status);
  __builtin_unreachable();
}

template <typename Function>
Function *next(const char *name) {
  return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl58-cpp)
extern "C" {

// Each keeps the noreturn of the C library's own declaration.
void _exit(int status) {
  if (from_plugin(__builtin_return_address(0))) {
    note_and_end(tamrix_host::Ending::underscore_exit, status);
  }
  end_now(status);
}

void _Exit(int status) noexcept {
  if (from_plugin(__builtin_return_address(0))) {
    note_and_end(tamrix_host::Ending::big_exit, status);
  }
  end_now(status);
}

void exit(int status) noexcept {
  if (from_plugin(__builtin_return_address(0))) {
    std::fflush(nullptr);  // what the run printed so far stays printed
    note_and_end(tamrix_host::Ending::exit, status);
  }
  next<void(int)>("exit")(status);
  end_now(status);
}

void quick_exit(int status) noexcept {
  if (from_plugin(__builtin_return_address(0))) {
    std::fflush(nullptr);
    note_and_end(tamrix_host::Ending::quick_exit, status);
  }
  next<void(int)>("quick_exit")(status);
  end_now(status);
}

// On the main thread it would unwind host-sim's frames and unload the
// plug-in under its own threads; any other thread may end as it likes.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): glibc names it __retval
void pthread_exit(void *value) {
  if (from_plugin(__builtin_return_address(0)) && syscall(SYS_gettid) == getpid()) {
    std::fflush(nullptr);
    note_and_end(tamrix_host::Ending::main_thread, tamrix_host::exit_status::crashed);
  }
  next<void(void *)>("pthread_exit")(value);
  __builtin_unreachable();
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl58-cpp)

namespace tamrix_host {

void report_endings(const char * /*program*/, const void *plugin_function) {
  Search search{reinterpret_cast<std::uintptr_t>(plugin_function), 0, 0};
  dl_iterate_phdr(find_object, &search);
  plugin_start = search.start;
  plugin_end = search.end;
}

}  // namespace tamrix_host
