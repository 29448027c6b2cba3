#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/platform.hpp"
#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/coverage.hpp"

namespace plugin_check::sandbox {
namespace {

HANDLE channel = INVALID_HANDLE_VALUE;
std::string token;

// One argument as the C runtime splits command lines: quoted, with the
// backslashes before a quote doubled.
std::string quoted(const std::string &arg) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

LONG WINAPI end_at_crash(EXCEPTION_POINTERS *info) {
  TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
  return EXCEPTION_EXECUTE_HANDLER;
}

std::string last_error() { return "system error " + std::to_string(GetLastError()); }

// ---- The parent's side, in the order run_child() takes it

// Everything the parent holds for one child; closed however far it got.
struct Child {
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  HANDLE job = nullptr;
  PROCESS_INFORMATION process{};

  Child() = default;
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  Child(Child &&) = delete;
  Child &operator=(Child &&) = delete;
  ~Child() {
    for (const HANDLE handle : {read_end, write_end, job, process.hThread, process.hProcess}) {
      if (handle != nullptr) {
        CloseHandle(handle);
      }
    }
  }
};

// The pipe goes by its handle's number; the child's standard output and error
// are left unset, so what the plug-in prints never mixes with it.
std::string command_line(const std::string &self, HANDLE write_end, const std::string &child_token,
                         const std::vector<std::string> &args) {
  std::string command = quoted(self) + " " + std::string(child_flag) + " " +
                        std::to_string(reinterpret_cast<std::uintptr_t>(write_end)) + " " +
                        child_token;
  for (const std::string &arg : args) {
    command += " " + quoted(arg);
  }
  return command;
}

// Everything the child starts joins its job, and closing the job kills them
// all, whatever the child's end and even if this program dies first.
bool make_job(Child &child, std::string &cause) {
  child.job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (child.job == nullptr || !SetInformationJobObject(child.job, JobObjectExtendedLimitInformation,
                                                       &limits, sizeof(limits))) {
    cause = "cannot make a job object: " + last_error();
    return false;
  }
  return true;
}

// Starts this program again as the child, in its job; false, with `cause`
// set, when it could not.
bool start(Child &child, const std::vector<std::string> &args, const std::string &child_token,
           std::string &cause) {
  std::array<char, MAX_PATH * 4> self{};
  if (GetModuleFileNameA(nullptr, self.data(), static_cast<DWORD>(self.size())) == 0) {
    cause = "cannot find this program: " + last_error();
    return false;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(&child.read_end, &child.write_end, &inherit, 0)) {
    cause = "cannot make a pipe: " + last_error();
    return false;
  }
  SetHandleInformation(child.read_end, HANDLE_FLAG_INHERIT, 0);
  if (!make_job(child, cause)) {
    return false;
  }
  std::string command = command_line(self.data(), child.write_end, child_token, args);
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  // Starting a process can fail for a moment on a loaded machine (wine says
  // ERROR_INTERNAL_ERROR), and that is never the plug-in's doing, so a check
  // is not failed for it until a few tries spread over a second have failed.
  BOOL started = FALSE;
  for (const DWORD pause_ms : std::array<DWORD, 4>{50, 200, 800, 0}) {
    // Suspended, so it cannot start anything before it is in the job.
    started = CreateProcessA(self.data(), command.data(), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                             &child.process);
    if (started || pause_ms == 0) {
      break;
    }
    Sleep(pause_ms);
  }
  CloseHandle(child.write_end);
  child.write_end = nullptr;
  if (!started) {
    cause = "cannot start a process: " + last_error();
    return false;
  }
  if (!AssignProcessToJobObject(child.job, child.process.hProcess)) {
    cause = "cannot put the child in its job object: " + last_error();
    TerminateProcess(child.process.hProcess, 1);
    WaitForSingleObject(child.process.hProcess, INFINITE);
    return false;
  }
  ResumeThread(child.process.hThread);
  return true;
}

// Collects what the child sends until it ends, floods or runs out of time,
// then ends everything it started. A reader of its own, so a child that
// writes much never blocks on a full pipe; past the limit it stops the child,
// keeping one byte over to say so.
void collect_output(Child &child, double timeout_seconds, ChildOutcome &outcome) {
  std::atomic<bool> flooded{false};
  std::thread reader([&] {
    std::array<char, 4096> buffer{};
    DWORD got = 0;
    while (
        ReadFile(child.read_end, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
        got > 0) {
      const std::size_t room = child_output_limit + 1 - outcome.output.size();
      outcome.output.append(buffer.data(), std::min<std::size_t>(got, room));
      if (outcome.output.size() > child_output_limit) {
        flooded = true;
        TerminateJobObject(child.job, 1);
        break;
      }
    }
  });
  const DWORD waited =
      WaitForSingleObject(child.process.hProcess, static_cast<DWORD>(timeout_seconds * 1000.0));
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(child.process.hProcess, 1);
    WaitForSingleObject(child.process.hProcess, INFINITE);
    outcome.end = ChildOutcome::End::timed_out;
  }
  // Whatever the child started dies here, and with it the last writer of the
  // pipe, so the reader comes to its end.
  TerminateJobObject(child.job, 1);
  reader.join();
  if (flooded) {
    outcome.end = ChildOutcome::End::flooded;
    outcome.output.resize(child_output_limit);
  }
}

void name_the_end(const Child &child, ChildOutcome &outcome) {
  if (outcome.end == ChildOutcome::End::flooded || outcome.end == ChildOutcome::End::timed_out) {
    return;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.process.hProcess, &code);
  if (const char *name = tamrix_host::platform::crash_name(code)) {
    outcome.end = ChildOutcome::End::crashed;
    outcome.cause = name;
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.exit_status = static_cast<int>(code);
  }
}

}  // namespace

ChildOutcome run_child(ChildTask /*task*/, const std::vector<std::string> &args,
                       double timeout_seconds) {
  ChildOutcome outcome;
  outcome.token = channel::new_token();
  Child child;
  if (!start(child, args, outcome.token, outcome.cause)) {
    return outcome;
  }
  collect_output(child, timeout_seconds, outcome);
  name_the_end(child, outcome);
  return outcome;
}

int run_as_child(ChildTask task, const std::vector<std::string> &args) {
  if (args.size() < 3 || args[0] != child_flag) {
    return -1;
  }
  // The parent passes its pipe's handle as a number; anything else is not a
  // child's command line, and is left to the program's own parsing.
  std::uintptr_t handle = 0;
  const std::string &number = args[1];
  const char *end = number.data() + number.size();
  if (const auto [stop, error] = std::from_chars(number.data(), end, handle);
      error != std::errc() || stop != end) {
    return -1;
  }
  // No error dialog, and no debugger or error report either, which the system
  // may start first and which can outlast the check's time limit: the child
  // ends at once with the exception's code, and the parent names the crash.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(end_at_crash);
  // Windows hands handles across processes as numbers.
  channel = reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
  token = args[2];
  return task({args.begin() + 3, args.end()});
}

void child_write(std::string_view text) {
  if (channel != INVALID_HANDLE_VALUE && channel != nullptr) {
    DWORD written = 0;
    WriteFile(channel, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

std::string_view child_token() { return token; }

int child_channel_fd() { return -1; }

bool child_channel_intact() {
  return channel != INVALID_HANDLE_VALUE && channel != nullptr &&
         GetFileType(channel) == FILE_TYPE_PIPE;
}

void end_child(int status) {
  coverage_flush();
  std::_Exit(status);
}

}  // namespace plugin_check::sandbox
