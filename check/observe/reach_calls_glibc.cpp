// This program's own definitions of the reach functions of reach_calls.def
// and of the loader's dlopen, dlsym and dlvsym: the program exports them, so a
// dlopened plug-in binds to these before the C library's. Each tells the
// watch what it was asked, then hands the call on to the C library's own
// definition, as a tail call where it can, so that the C library sees the
// plug-in's return address where it reads it (dlopen's search path of the
// caller, dlsym's RTLD_NEXT). No header that reaches the C library's is
// included, <atomic> neither: they declare these very functions.
#include <cstdarg>

#include "observe/reach_record.hpp"

namespace {

using plugin_check::reach_record::How;
using plugin_check::reach_record::note;
using signal_handler = void (*)(int);

// The C library's definition of `name`, found once; a program that cannot find
// it cannot run on, as any call of its own may land here.
// Threads may race to find it; each finds the same.
template <typename Function>
Function *next(Function *&found, const char *name) {
  Function *function = __atomic_load_n(&found, __ATOMIC_RELAXED);
  if (function == nullptr) {
    function = reinterpret_cast<Function *>(plugin_check::reach_record::next_definition(name));
    if (function == nullptr) {
      __builtin_trap();
    }
    __atomic_store_n(&found, function, __ATOMIC_RELAXED);
  }
  return function;
}

}  // namespace

// NOLINTBEGIN(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
#define REACH_CALL(type, name, parameters, arguments)     \
  extern "C" type name parameters {                       \
    using Function = type parameters;                     \
    static Function *found = nullptr;                     \
    Function *const function = next(found, #name);        \
    note(How::calls, #name, __builtin_return_address(0)); \
    return function arguments;                            \
  }
#include "observe/reach_calls.def"

extern "C" void *dlopen(const char *file, int mode) {
  static void *(*found)(const char *, int) = nullptr;
  auto *const function = next(found, "dlopen");
  note(How::calls, "dlopen", __builtin_return_address(0));
  note(How::opens, file, __builtin_return_address(0));
  return function(file, mode);
}

extern "C" void *dlsym(void *handle, const char *name) {
  static void *(*found)(void *, const char *) = nullptr;
  auto *const function = next(found, "dlsym");
  note(How::calls, "dlsym", __builtin_return_address(0));
  note(How::resolves, name, __builtin_return_address(0));
  return function(handle, name);
}

extern "C" void *dlvsym(void *handle, const char *name, const char *version) {
  static void *(*found)(void *, const char *, const char *) = nullptr;
  auto *const function = next(found, "dlvsym");
  note(How::calls, "dlvsym", __builtin_return_address(0));
  note(How::resolves, name, __builtin_return_address(0));
  return function(handle, name, version);
}

// ---- Variable arguments: each handed on with as many words as the callee
// reads at most.

extern "C" int prctl(int option, ...) {
  static int (*found)(int, ...) = nullptr;
  auto *const function = next(found, "prctl");
  note(How::calls, "prctl", __builtin_return_address(0));
  std::va_list list;
  va_start(list, option);
  const unsigned long second = va_arg(list, unsigned long);
  const unsigned long third = va_arg(list, unsigned long);
  const unsigned long fourth = va_arg(list, unsigned long);
  const unsigned long fifth = va_arg(list, unsigned long);
  va_end(list);
  return function(option, second, third, fourth, fifth);
}

extern "C" long syscall(long number, ...) {
  static long (*found)(long, ...) = nullptr;
  auto *const function = next(found, "syscall");
  note(How::calls, "syscall", __builtin_return_address(0));
  std::va_list list;
  va_start(list, number);
  long words[6];  // NOLINT(*-avoid-c-arrays): the kernel's six argument registers
  for (long &word : words) {
    word = va_arg(list, long);
  }
  va_end(list);
  return function(number, words[0], words[1], words[2], words[3], words[4], words[5]);
}

extern "C" int fcntl(int fd, int command, ...) {
  static int (*found)(int, int, ...) = nullptr;
  auto *const function = next(found, "fcntl");
  note(How::calls, "fcntl", __builtin_return_address(0));
  std::va_list list;
  va_start(list, command);
  void *const argument = va_arg(list, void *);
  va_end(list);
  return function(fd, command, argument);
}

extern "C" int ioctl(int fd, unsigned long request, ...) {
  static int (*found)(int, unsigned long, ...) = nullptr;
  auto *const function = next(found, "ioctl");
  note(How::calls, "ioctl", __builtin_return_address(0));
  std::va_list list;
  va_start(list, request);
  void *const argument = va_arg(list, void *);
  va_end(list);
  return function(fd, request, argument);
}
// NOLINTEND(readability-inconsistent-declaration-parameter-name,cert-dcl58-cpp)
