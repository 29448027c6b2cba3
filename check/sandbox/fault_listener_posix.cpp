#include <csignal>
#include <initializer_list>

#include "sandbox/fault_listener.hpp"

namespace plugin_check::sandbox {
namespace {

FaultListener fault_listener = nullptr;

void heard(int /*number*/, siginfo_t *info, void * /*context*/) {
  if (fault_listener != nullptr) {
    fault_listener(info->si_addr);
  }
  // The action is back to the default: returning repeats the access, which
  // now ends the process as it would have.
}

}  // namespace

void listen_for_faults(FaultListener listener) {
  fault_listener = listener;
  struct sigaction action {};
  action.sa_sigaction = &heard;
  action.sa_flags = static_cast<int>(SA_SIGINFO | SA_RESETHAND);
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGSEGV, SIGBUS}) {
    sigaction(number, &action, nullptr);
  }
}

}  // namespace plugin_check::sandbox
