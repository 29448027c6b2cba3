// The process table on Windows: the settings Windows keeps per process and
// per thread that a call can read. Signals, child processes, the umask, the
// locale, resource limits, prctl, ids, interval and POSIX timers, namespaces,
// the x87 stack and the C library's stream internals have no Windows reading
// here, so they are not rows.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <locale.h>
#include <algorithm>
#include <array>
#include <cfloat>
#include <cstdio>
#include <cstdlib>

#include "observe/fp_control.hpp"
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

constexpr std::array<const char *, 4> rounding_names = {"to-nearest", "downward", "upward",
                                                        "toward-zero"};

struct Trap {
  std::uint32_t mask;
  const char *name;
};
constexpr std::array<Trap, 6> traps = {{{_EM_INVALID, "invalid-operation"},
                                        {_EM_DENORMAL, "denormal-operand"},
                                        {_EM_ZERODIVIDE, "divide-by-zero"},
                                        {_EM_OVERFLOW, "overflow"},
                                        {_EM_UNDERFLOW, "underflow"},
                                        {_EM_INEXACT, "inexact"}}};

std::string narrow(const wchar_t *text, std::size_t length) {
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                      nullptr);
  return result;
}

std::wstring wide(const std::string &text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(std::max(size, 0)), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
  return result;
}

Value fp_control(TableSources & /*sources*/) {
  return fp::hex(static_cast<std::uint32_t>(_controlfp(0, 0)), 8);
}

std::vector<std::string> fp_changed(const std::string &before, const std::string &after) {
  const auto old_word = static_cast<std::uint32_t>(std::strtoul(before.c_str(), nullptr, 16));
  const auto new_word = static_cast<std::uint32_t>(std::strtoul(after.c_str(), nullptr, 16));
  if (old_word == new_word) {
    return {};
  }
  fp::Phrases phrases;
  phrases.rounding(rounding_names.at((old_word & _MCW_RC) >> 8U),
                   rounding_names.at((new_word & _MCW_RC) >> 8U));
  // _DN_FLUSH flushes both; the two other settings one each.
  const auto flushes = [](std::uint32_t word) {
    const std::uint32_t mode = (word & _MCW_DN) >> 24U;
    return std::pair{mode == 1 || mode == 3, mode == 1 || mode == 2};
  };
  const auto [ftz_before, daz_before] = flushes(old_word);
  const auto [ftz_after, daz_after] = flushes(new_word);
  if (ftz_before != ftz_after && daz_before != daz_after && ftz_before == daz_before) {
    phrases.flag(ftz_before, ftz_after, "flush-to-zero and denormals-are-zero");
  } else {
    phrases.flag(ftz_before, ftz_after, "flush-to-zero");
    phrases.flag(daz_before, daz_after, "denormals-are-zero");
  }
  for (const Trap &trap : traps) {
    // A set bit masks the exception: the trap is off.
    phrases.trap((old_word & trap.mask) == 0, (new_word & trap.mask) == 0, trap.name);
  }
  return phrases.with_words("_controlfp " + fp::hex(old_word, 8) + " -> " + fp::hex(new_word, 8));
}

Value thread_count(TableSources & /*sources*/) {
  const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (threads == INVALID_HANDLE_VALUE) {
    return std::nullopt;
  }
  const DWORD self = GetCurrentProcessId();
  long count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
    count += entry.th32OwnerProcessID == self ? 1 : 0;
  }
  CloseHandle(threads);
  return std::to_string(count);
}

Value handle_count(TableSources & /*sources*/) {
  DWORD handles = 0;
  // Some systems answer without counting; a process always holds handles.
  return GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0
             ? Value(std::to_string(handles))
             : Value();
}

Value working_directory(TableSources & /*sources*/) {
  std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
  return narrow(folder.data(), length);
}

// NAME=value entries, each ended by a NUL, in order.
Value environment(TableSources & /*sources*/) {
  std::vector<std::string> entries;
  wchar_t *block = GetEnvironmentStringsW();
  for (const wchar_t *entry = block; entry != nullptr && *entry != L'\0';
       entry += wcslen(entry) + 1) {
    // "=C:=C:\..." entries are the working directory of each drive, reported
    // as the working directory.
    if (*entry != L'=') {
      entries.push_back(narrow(entry, wcslen(entry)));
    }
  }
  FreeEnvironmentStringsW(block);
  std::sort(entries.begin(), entries.end());
  std::string text;
  for (const std::string &entry : entries) {
    text += entry + '\0';
  }
  return text;
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

constexpr std::array<Row, 11> rows = {{
    {.name = "floating-point control",
     .wording = Wording::own,
     .read = fp_control,
     .aspect = Aspect::fp_environment,
     .say = fp_changed},
    {.name = "threads",
     .wording = Wording::own,
     .read = thread_count,
     .aspect = Aspect::threads,
     .say = threads_changed},
    {.name = "descriptors",
     .wording = Wording::own,
     .read = handle_count,
     .aspect = Aspect::descriptors,
     .say = descriptors_changed},
    {.name = "working directory",
     .wording = Wording::value,
     .words = "changed the working directory from %b to %a",
     .read = working_directory,
     .aspect = Aspect::settings},
    {.name = "environment",
     .wording = Wording::entries,
     .words = "the environment variable %k",
     .read = environment,
     .aspect = Aspect::settings},
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

ProcessState snapshot(std::optional<Aspect> only) { return {read_rows<TableSources>(rows, only)}; }

bool library_still_loaded(const std::string &path) {
  const std::wstring named = wide(path);
  const DWORD size = GetFullPathNameW(named.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  const DWORD length = GetFullPathNameW(named.c_str(), size, full.data(), nullptr);
  if (length == 0 || length >= size) {
    return false;
  }
  full.resize(length);
  return GetModuleHandleW(full.c_str()) != nullptr;
}

}  // namespace plugin_check
