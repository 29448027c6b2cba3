// The process table on Windows: the settings Windows keeps per process and
// per thread that a call can read. Resource limits, prctl, ids, interval and
// POSIX timers, namespaces, the x87 stack and the C library's stream
// internals have no Windows reading here, so they are not rows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <locale.h>
#include <algorithm>
#include <array>
#include <cstdio>

#include "observe/process_state.hpp"

namespace plugin_check {

struct TableSources {};

namespace {

using Value = std::optional<std::string>;

std::string hex(unsigned long long number) {
  std::array<char, 24> text{};
  std::snprintf(text.data(), text.size(), "0x%llx", number);
  return text.data();
}

Value priority_class(TableSources & /*sources*/) {
  const DWORD priority = GetPriorityClass(GetCurrentProcess());
  return priority == 0 ? Value() : Value(hex(priority));
}

Value thread_priority(TableSources & /*sources*/) {
  const int priority = GetThreadPriority(GetCurrentThread());
  return priority == THREAD_PRIORITY_ERROR_RETURN ? Value() : Value(std::to_string(priority));
}

Value affinity(TableSources & /*sources*/) {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  return GetProcessAffinityMask(GetCurrentProcess(), &process, &system) == 0
             ? Value()
             : Value(hex(static_cast<unsigned long long>(process)));
}

Value error_mode(TableSources & /*sources*/) { return hex(GetErrorMode()); }

Value thread_locale(TableSources & /*sources*/) {
  return _configthreadlocale(0) == _ENABLE_PER_THREAD_LOCALE ? "a locale of its own"
                                                             : "the global locale";
}

Value modules(TableSources & /*sources*/) {
  const HANDLE listing = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
  if (listing == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  MODULEENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Module32First(listing, &entry); more; more = Module32Next(listing, &entry)) {
    names.emplace_back(entry.szModule);
  }
  CloseHandle(listing);
  std::sort(names.begin(), names.end());
  std::string text;
  for (const std::string &name : names) {
    text += name + "\n";
  }
  return text;
}

constexpr std::array<Row, 6> rows = {{
    {"priority class", RowLevel::failure, Wording::value,
     "changed the process's priority class from %b to %a", priority_class},
    {"thread priority", RowLevel::failure, Wording::amount,
     "%d the calling thread's priority from %b to %a", thread_priority},
    {"affinity", RowLevel::failure, Wording::value,
     "changed the process's CPU affinity mask from %b to %a", affinity},
    {"error mode", RowLevel::failure, Wording::value,
     "changed the error mode from %b to %a (SetErrorMode)", error_mode},
    {"thread locale", RowLevel::failure, Wording::value,
     "left the calling thread in %a (_configthreadlocale) instead of %b", thread_locale},
    {"libraries", RowLevel::failure, Wording::added, "left %a loaded", modules, true},
}};

}  // namespace

std::span<const Row> process_rows() { return rows; }

void fresh_standard_streams() {}

std::vector<std::optional<std::string>> read_process_table() {
  return read_rows<TableSources>(rows);
}

}  // namespace plugin_check
