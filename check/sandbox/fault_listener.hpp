// A child's last word on an access fault: where it faulted, for a check that
// knows what lies there to say what the plug-in did. One implementation per
// system family (fault_listener_posix.cpp, fault_listener_windows.cpp).
#pragma once

namespace plugin_check::sandbox {

using FaultListener = void (*)(const void *address);

// Inside a child: the next access the system refuses first calls `listener`
// with the address, then ends the child as it would have. The listener runs
// where the fault struck and should do little more than note what it finds.
void listen_for_faults(FaultListener listener);

}  // namespace plugin_check::sandbox
