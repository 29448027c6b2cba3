#include <windows.h>

#include <array>
#include <cstring>

#include "platform/platform.hpp"
#include "programs/exit_status.hpp"
#include "tamrix_host.hpp"

namespace tamrix_host::platform {
namespace {

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

void write_text(HANDLE to, const char *text) {
  DWORD written = 0;
  WriteFile(to, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
  const char *hook = running_hook();
  const char *name = crash_name(info->ExceptionRecord->ExceptionCode);
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

}  // namespace

const char *crash_name(unsigned long code) {
  for (const ExceptionName &exception : crash_exceptions) {
    if (exception.code == code) {
      return exception.name;
    }
  }
  return nullptr;
}

void report_crashes(const char *program) {
  crash_program = program;
  SetUnhandledExceptionFilter(on_crash);
}

}  // namespace tamrix_host::platform
