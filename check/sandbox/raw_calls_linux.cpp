// A filter of the kernel's hands each system call made from the plug-in's
// code to a listener, a thread of this process started before the filter and
// so never filtered itself. The listener notes the call and the hook that
// runs, and lets the call go on as if nothing had looked at it.
#include "sandbox/raw_calls.hpp"

#include <dlfcn.h>
#include <link.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "sandbox/seccomp_linux.hpp"
#include "tamrix_host.hpp"

namespace plugin_check {
namespace {

using seccomp::CodeStretch;

// The executable segments of the loaded object that holds `inside`.
std::vector<CodeStretch> code_holding(const void *inside) {
  struct Search {
    std::uintptr_t inside;
    std::vector<CodeStretch> found;
  } search{reinterpret_cast<std::uintptr_t>(inside), {}};
  dl_iterate_phdr(
      [](dl_phdr_info *object, std::size_t /*size*/, void *data) {
        auto &search = *static_cast<Search *>(data);
        for (const ElfW(Phdr) & segment : std::span(object->dlpi_phdr, object->dlpi_phnum)) {
          const std::uintptr_t first = object->dlpi_addr + segment.p_vaddr;
          if (segment.p_type == PT_LOAD && search.inside >= first &&
              search.inside - first < segment.p_memsz) {
            seccomp::add_code_of(*object, search.found);
            return 1;
          }
        }
        return 0;
      },
      &search);
  return search.found;
}

// Jumps go forward by at most 255: a library of more stretches than this is
// watched in none.
constexpr std::size_t most_stretches = 40;

// Every call from `code` goes to the listener; any other, on.
std::vector<sock_filter> program_for(const std::vector<CodeStretch> &code) {
  constexpr auto load = [](std::uint32_t offset) {
    return sock_filter BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
  };
  constexpr auto jump = [](std::uint16_t test, std::uint32_t value, std::size_t yes,
                           std::size_t no) {
    return sock_filter BPF_JUMP(BPF_JMP | test | BPF_K, value, static_cast<std::uint8_t>(yes),
                                static_cast<std::uint8_t>(no));
  };
  constexpr auto answer = [](std::uint32_t value) {
    return sock_filter BPF_STMT(BPF_RET | BPF_K, value);
  };
  constexpr std::size_t per_stretch = 5;
  constexpr std::size_t first_stretch = 2;
  const std::size_t allow = first_stretch + per_stretch * code.size();
  const std::size_t listen = allow + 1;
  // A 64-bit field's low half comes first on both little-endian machines.
  const auto ip = static_cast<std::uint32_t>(offsetof(seccomp_data, instruction_pointer));
  std::vector<sock_filter> program = {
      load(static_cast<std::uint32_t>(offsetof(seccomp_data, arch))),
      jump(BPF_JEQ, seccomp::native_arch(), 0, allow - 2),
  };
  for (std::size_t n = 0; n < code.size(); ++n) {
    const std::size_t at = first_stretch + per_stretch * n;
    // Each test that fails goes on to the next stretch, 5 lines on.
    program.push_back(load(ip + 4));
    program.push_back(jump(BPF_JEQ, code[n].high, 0, 3));
    program.push_back(load(ip));
    program.push_back(jump(BPF_JGE, code[n].first_low, 0, 1));
    program.push_back(jump(BPF_JGT, code[n].last_low, 0, listen - (at + 5)));
  }
  program.push_back(answer(SECCOMP_RET_ALLOW));
  program.push_back(answer(SECCOMP_RET_USER_NOTIF));
  return program;
}

struct Listener {
  std::atomic<int> fd{-1};
  std::atomic<bool> stop{false};
  std::thread thread;
  std::mutex mutex;  // guards seen
  std::vector<RawCall> seen;

  void note(long number) {
    const char *hook = tamrix_host::running_hook();
    const char *known = seccomp::system_call_name(number);
    const std::string name = known != nullptr ? known : "number " + std::to_string(number);
    const std::lock_guard lock(mutex);
    const auto same = std::find_if(seen.begin(), seen.end(), [&](const RawCall &call) {
      return call.name == name && call.hook == (hook != nullptr ? hook : "");
    });
    if (same != seen.end()) {
      ++same->count;
    } else {
      seen.push_back({hook != nullptr ? hook : "", name, 1});
    }
  }

  // Until stopped: each call handed over is noted and goes on.
  void listen() {
    constexpr int poll_milliseconds = 20;
    while (!stop.load()) {
      const int from = fd.load();
      pollfd ready{from, POLLIN, 0};
      if (from < 0 || poll(&ready, 1, poll_milliseconds) <= 0 || (ready.revents & POLLIN) == 0) {
        continue;
      }
      seccomp_notif call{};
      if (ioctl(from, SECCOMP_IOCTL_NOTIF_RECV, &call) != 0) {
        continue;  // the caller was ended meanwhile
      }
      note(call.data.nr);
      seccomp_notif_resp go_on{};
      go_on.id = call.id;
      go_on.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
      ioctl(from, SECCOMP_IOCTL_NOTIF_SEND, &go_on);
    }
  }
};

Listener &listener() {
  static Listener one;
  return one;
}

void stop_listening(Listener &watch) {
  watch.stop.store(true);
  if (watch.thread.joinable()) {
    watch.thread.join();
  }
  if (const int fd = watch.fd.exchange(-1); fd >= 0) {
    close(fd);
  }
}

}  // namespace

bool watch_raw_calls(const void *inside, std::string &why_not) {
  const std::vector<CodeStretch> code = code_holding(inside);
  if (code.empty() || code.size() > most_stretches) {
    why_not = "the plug-in's code was not found among the loaded libraries";
    return false;
  }
  Listener &watch = listener();
  watch.thread = std::thread([&watch] { watch.listen(); });
  std::vector<sock_filter> program = program_for(code);
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  // NOLINTBEGIN(cppcoreguidelines-pro-type-vararg): prctl and syscall are variadic
  const long fd =
      prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0
          ? syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &filter)
          : -1;
  // NOLINTEND(cppcoreguidelines-pro-type-vararg)
  if (fd < 0) {
    why_not =
        "the system refused a system call filter (" + std::generic_category().message(errno) + ")";
    stop_listening(watch);
    return false;
  }
  watch.fd.store(static_cast<int>(fd));
  return true;
}

std::vector<RawCall> raw_calls_seen() {
  Listener &watch = listener();
  stop_listening(watch);
  const std::lock_guard lock(watch.mutex);
  return watch.seen;
}

}  // namespace plugin_check
