#include <windows.h>

#include "sandbox/fault_listener.hpp"

namespace plugin_check::sandbox {
namespace {

FaultListener fault_listener = nullptr;

LONG CALLBACK heard(EXCEPTION_POINTERS *exception) {
  const EXCEPTION_RECORD &record = *exception->ExceptionRecord;
  if (record.ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record.NumberParameters >= 2 &&
      fault_listener != nullptr) {
    const FaultListener listener = fault_listener;
    fault_listener = nullptr;  // once: the search goes on to end the process
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the system gives the address as an integer
    listener(reinterpret_cast<const void *>(record.ExceptionInformation[1]));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void listen_for_faults(FaultListener listener) {
  fault_listener = listener;
  AddVectoredExceptionHandler(1, &heard);
}

}  // namespace plugin_check::sandbox
