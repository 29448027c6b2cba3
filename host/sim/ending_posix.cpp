// The C library's ways out, interposed: host-sim exports exit, _exit, _Exit
// and quick_exit (see endings.list), so a plug-in binds to these. A call from
// the plug-in's own code while a hook runs is reported; every other call,
// host-sim's own included, goes on to the C library unchanged. _exit cannot
// be seen any other way from inside the process.
#include <dlfcn.h>
#include <link.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "programs/exit_status.hpp"
#include "sim/ending.hpp"
#include "tamrix_host.hpp"

namespace {

std::atomic<std::uintptr_t> plugin_start{0};
std::atomic<std::uintptr_t> plugin_end{0};
const char *ending_program = "";

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

bool from_plugin_in_hook(const void *caller) {
  const auto address = reinterpret_cast<std::uintptr_t>(caller);
  return tamrix_host::running_hook() != nullptr && address >= plugin_start.load() &&
         address < plugin_end.load();
}

void write_text(const char *text) {
  for (std::size_t size = std::strlen(text); size > 0;) {
    const ssize_t written = write(STDERR_FILENO, text, size);
    if (written <= 0) {
      return;
    }
    text += written;
    size -= static_cast<std::size_t>(written);
  }
}

// Only what a signal handler may do: the plug-in may end the process from one.
[[noreturn]] void report_and_end(int status) {
  std::array<char, 16> number{};
  std::to_chars(number.data(), number.data() + number.size() - 1, status);
  write_text(ending_program);
  write_text(": ");
  write_text(tamrix_host::running_hook());
  write_text(" ended the process (status ");
  write_text(number.data());
  write_text(")\n");
  syscall(SYS_exit_group, tamrix_host::exit_status::crashed);
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

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cert-dcl58-cpp)
extern "C" {

// Each keeps the noreturn of the C library's own declaration.
void _exit(int status) {
  if (from_plugin_in_hook(__builtin_return_address(0))) {
    report_and_end(status);
  }
  end_now(status);
}

void _Exit(int status) noexcept {
  if (from_plugin_in_hook(__builtin_return_address(0))) {
    report_and_end(status);
  }
  end_now(status);
}

void exit(int status) noexcept {
  if (from_plugin_in_hook(__builtin_return_address(0))) {
    std::fflush(nullptr);  // what the run printed so far stays printed
    report_and_end(status);
  }
  next<void(int)>("exit")(status);
  end_now(status);
}

void quick_exit(int status) noexcept {
  if (from_plugin_in_hook(__builtin_return_address(0))) {
    std::fflush(nullptr);
    report_and_end(status);
  }
  next<void(int)>("quick_exit")(status);
  end_now(status);
}

}  // extern "C"
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,cert-dcl58-cpp)

namespace tamrix_host {

void report_endings(const char *program, const void *plugin_function) {
  ending_program = program;
  Search search{reinterpret_cast<std::uintptr_t>(plugin_function), 0, 0};
  dl_iterate_phdr(find_object, &search);
  plugin_start = search.start;
  plugin_end = search.end;
}

}  // namespace tamrix_host
