// The snapshot on Windows: the C runtime's floating-point control word, the
// threads and handles of this process, its working directory and environment.
// Signals, child processes, the umask and the locale are not looked at here.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <cfloat>

#include "observe/fp_control.hpp"
#include "observe/process_state.hpp"

namespace plugin_check {
namespace {

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

long thread_count() {
  const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (threads == INVALID_HANDLE_VALUE) {
    return -1;
  }
  const DWORD self = GetCurrentProcessId();
  long count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
    count += entry.th32OwnerProcessID == self ? 1 : 0;
  }
  CloseHandle(threads);
  return count;
}

std::vector<std::string> environment() {
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
  return entries;
}

}  // namespace

ProcessState snapshot() {
  ProcessState state;
  state.fp = {static_cast<std::uint32_t>(_controlfp(0, 0)), 0};
  state.threads = thread_count();
  DWORD handles = 0;
  // Some systems answer without counting; a process always holds handles.
  state.descriptors = GetProcessHandleCount(GetCurrentProcess(), &handles) && handles > 0
                          ? static_cast<long>(handles)
                          : -1L;
  std::wstring folder(GetCurrentDirectoryW(0, nullptr), L'\0');
  const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data());
  state.working_directory = narrow(folder.data(), length);
  state.environment = environment();
  state.table = read_process_table();
  return state;
}

std::vector<std::string> fp_changes(const std::array<std::uint32_t, 2> &before,
                                    const std::array<std::uint32_t, 2> &after) {
  const std::uint32_t old_word = before[0];
  const std::uint32_t new_word = after[0];
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

std::vector<std::string> signal_changes(const std::vector<SignalState> & /*before*/,
                                        const std::vector<SignalState> & /*after*/) {
  return {};
}

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
