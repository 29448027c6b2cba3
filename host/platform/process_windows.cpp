#include <io.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "exit_status.hpp"
#include "platform.hpp"

namespace tamrix_host::platform {
namespace {

HANDLE child_channel = INVALID_HANDLE_VALUE;
std::FILE *console_scratch = nullptr;
BY_HANDLE_FILE_INFORMATION console_file{};
std::atomic<const char *> current_hook{nullptr};
const char *crash_program = "";

struct ExceptionName {
  DWORD code;
  const char *name;
};

constexpr std::array<ExceptionName, 8> crash_exceptions = {{
    {EXCEPTION_ACCESS_VIOLATION, "access violation"},
    {EXCEPTION_STACK_OVERFLOW, "stack overflow"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, "illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, "privileged instruction"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, "integer division by zero"},
    {EXCEPTION_IN_PAGE_ERROR, "page read error"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, "misaligned data"},
    {0xC0000409UL, "stack buffer overrun or fast fail"},
}};

const char *exception_name(DWORD code) {
  for (const ExceptionName &exception : crash_exceptions) {
    if (exception.code == code) {
      return exception.name;
    }
  }
  return nullptr;
}

void write_text(HANDLE to, const char *text) {
  DWORD written = 0;
  WriteFile(to, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
  const char *hook = current_hook.load(std::memory_order_relaxed);
  const char *name = exception_name(info->ExceptionRecord->ExceptionCode);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  write_text(err, crash_program);
  write_text(err, hook != nullptr ? ": crash in " : ": crash outside any plug-in call");
  write_text(err, hook != nullptr ? hook : "");
  write_text(err, ": ");
  write_text(err, name != nullptr ? name : "unhandled exception");
  write_text(err, "\n");
  TerminateProcess(GetCurrentProcess(), exit_status::crashed);
  return EXCEPTION_EXECUTE_HANDLER;
}

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

std::string last_error() { return "system error " + std::to_string(GetLastError()); }

}  // namespace

ChildOutcome run_child(ChildTask /*task*/, const std::vector<std::string> &args,
                       double timeout_seconds) {
  ChildOutcome outcome;
  std::array<char, MAX_PATH * 4> self{};
  if (GetModuleFileNameA(nullptr, self.data(), static_cast<DWORD>(self.size())) == 0) {
    outcome.cause = "cannot find this program: " + last_error();
    return outcome;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    outcome.cause = "cannot make a pipe: " + last_error();
    return outcome;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  // The pipe goes by its handle's number; the child's standard output and
  // error are left unset, so what the plug-in prints never mixes with it.
  std::string command = quoted(self.data()) + " " + std::string(child_flag) + " " +
                        std::to_string(reinterpret_cast<std::uintptr_t>(write_end));
  for (const std::string &arg : args) {
    command += " " + quoted(arg);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = nullptr;
  startup.hStdError = nullptr;
  // Everything the child starts joins its job, and closing the job kills them
  // all, whatever the child's end and even if this program dies first. The
  // child starts suspended so it cannot start anything before it is in the job.
  const HANDLE job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job == nullptr ||
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    outcome.cause = "cannot make a job object: " + last_error();
    if (job != nullptr) {
      CloseHandle(job);
    }
    CloseHandle(read_end);
    CloseHandle(write_end);
    return outcome;
  }
  PROCESS_INFORMATION process{};
  const BOOL started =
      CreateProcessA(self.data(), command.data(), nullptr, nullptr, TRUE,
                     CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
  CloseHandle(write_end);
  if (!started) {
    outcome.cause = "cannot start a process: " + last_error();
    CloseHandle(job);
    CloseHandle(read_end);
    return outcome;
  }
  if (!AssignProcessToJobObject(job, process.hProcess)) {
    outcome.cause = "cannot put the child in its job object: " + last_error();
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(job);
    CloseHandle(read_end);
    return outcome;
  }
  ResumeThread(process.hThread);

  // A reader of its own, so a child that writes much never blocks on a full
  // pipe; past the limit it stops the child, keeping one byte over to say so.
  std::atomic<bool> flooded{false};
  std::thread reader([&] {
    std::array<char, 4096> buffer{};
    DWORD got = 0;
    while (ReadFile(read_end, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
           got > 0) {
      const std::size_t room = child_output_limit + 1 - outcome.output.size();
      outcome.output.append(buffer.data(), std::min<std::size_t>(got, room));
      if (outcome.output.size() > child_output_limit) {
        flooded = true;
        TerminateJobObject(job, 1);
        break;
      }
    }
  });
  const DWORD waited =
      WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeout_seconds * 1000.0));
  if (waited != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
    outcome.end = ChildOutcome::End::timed_out;
  }
  // Whatever the child started dies here, and with it the last writer of the
  // pipe, so the reader comes to its end.
  TerminateJobObject(job, 1);
  reader.join();
  CloseHandle(job);
  CloseHandle(read_end);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  if (flooded) {
    outcome.end = ChildOutcome::End::flooded;
    outcome.output.resize(child_output_limit);
    return outcome;
  }
  if (outcome.end == ChildOutcome::End::timed_out) {
    return outcome;
  }
  if (const char *name = exception_name(code)) {
    outcome.end = ChildOutcome::End::crashed;
    outcome.cause = name;
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.exit_status = static_cast<int>(code);
  }
  return outcome;
}

int run_as_child(ChildTask task, const std::vector<std::string> &args) {
  if (args.size() < 2 || args[0] != child_flag) {
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
  // No error dialog: the parent reports the crash.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Windows hands handles across processes as numbers.
  child_channel = reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
  return task({args.begin() + 2, args.end()});
}

void child_write(std::string_view text) {
  if (child_channel != INVALID_HANDLE_VALUE && child_channel != nullptr) {
    DWORD written = 0;
    WriteFile(child_channel, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

bool child_channel_intact() {
  return child_channel != INVALID_HANDLE_VALUE && child_channel != nullptr &&
         GetFileType(child_channel) == FILE_TYPE_PIPE;
}

namespace {

// Whether `handle` is the scratch file: a handle's number is no proof, since
// Windows hands a closed one's number to the next file opened.
bool is_console_file(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION now{};
  return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
         GetFileInformationByHandle(handle, &now) &&
         now.dwVolumeSerialNumber == console_file.dwVolumeSerialNumber &&
         now.nFileIndexHigh == console_file.nFileIndexHigh &&
         now.nFileIndexLow == console_file.nFileIndexLow;
}

// _get_osfhandle() gives the handle as an integer by design.
HANDLE handle_of(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));  // NOLINT(performance-no-int-to-ptr)
}

constexpr std::array<DWORD, 3> standard_handles = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                                                   STD_ERROR_HANDLE};

}  // namespace

bool capture_console() {
  std::fflush(nullptr);
  console_scratch = std::tmpfile();
  if (console_scratch == nullptr) {
    return false;
  }
  const int scratch = _fileno(console_scratch);
  bool redirected = GetFileInformationByHandle(handle_of(scratch), &console_file) != 0;
  for (int fd = 0; fd < 3; ++fd) {
    redirected = redirected && _dup2(scratch, fd) == 0;
    // Plug-ins that write through the system's own handles are caught as well.
    SetStdHandle(standard_handles.at(static_cast<std::size_t>(fd)), handle_of(fd));
  }
  return redirected;
}

long long console_bytes() {
  std::fflush(nullptr);
  // The file's length, which every descriptor's writes add to.
  return console_scratch != nullptr ? _filelengthi64(_fileno(console_scratch)) : 0;
}

std::string console_moved() {
  constexpr std::array<const char *, 3> names = {"standard input", "standard output",
                                                 "standard error"};
  std::string moved;
  for (int fd = 0; fd < 3; ++fd) {
    const auto index = static_cast<std::size_t>(fd);
    if (!is_console_file(handle_of(fd)) ||
        !is_console_file(GetStdHandle(standard_handles.at(index)))) {
      moved += (moved.empty() ? "" : ", ") + std::string(names.at(index));
    }
  }
  return moved;
}

void note_hook(const char *hook) { current_hook.store(hook, std::memory_order_relaxed); }

void report_crashes(const char *program) {
  crash_program = program;
  SetUnhandledExceptionFilter(on_crash);
}

}  // namespace tamrix_host::platform
