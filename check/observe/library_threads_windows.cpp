// The threads are those the system's thread list gives this process. The C
// runtime keeps no helper thread of its own for what a plug-in may ask of it,
// so there is nothing to start first.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>

#include "observe/library_threads.hpp"

namespace plugin_check {

std::vector<long> thread_ids() {
  std::vector<long> ids;
  const HANDLE threads = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (threads == INVALID_HANDLE_VALUE) {
    return ids;
  }
  const DWORD self = GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(threads, &entry); more; more = Thread32Next(threads, &entry)) {
    if (entry.th32OwnerProcessID == self) {
      ids.push_back(static_cast<long>(entry.th32ThreadID));
    }
  }
  CloseHandle(threads);
  std::sort(ids.begin(), ids.end());
  return ids;
}

void start_library_helpers() {}

}  // namespace plugin_check
