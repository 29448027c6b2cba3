// What the stand-in host needs from the operating system, and nothing else.
// One implementation per system family (platform_posix.cpp,
// platform_windows.cpp); the rest of host/ is the same everywhere.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace tamrix_host::platform {

// A loaded library; null means none.
using Library = void *;

// Loads the library at `path` itself, never one found through a search path.
// On failure returns null and sets `reason` to the system's one-line reason.
Library open_library(const std::string &path, std::string &reason);

// The address of the exported `name`, or null.
void *find_symbol(Library library, const char *name);

void close_library(Library library);

// The folder of the running program, ending in its separator; empty when the
// system cannot tell.
std::string program_folder();

// ---- Output files

// What stands at `path` that an output must not replace, in a few words ("a
// FIFO", "a directory", "a symbolic link to a character device"); empty when
// it is a regular file, a link to one, or nothing at all (or cannot be
// examined, which opening it will then say).
std::string not_replaceable(const std::string &path);

// ---- The standard output

// Points the process's standard output (its descriptor, where a plug-in's
// printf and write end up) at `file`; returns a descriptor for where it led
// before, or -1 when it cannot.
int divert_standard_output(std::FILE *file);

// Points the standard output back at `saved`, from divert_standard_output(),
// and closes `saved`.
void restore_standard_output(int saved);

// Writes all of `text` to the descriptor `fd`; false when it cannot.
bool write_all(int fd, std::string_view text);

// ---- Crash reports (crash_posix.cpp, crash_windows.cpp)

// The name of a crash by its signal number or exception code, in the words an
// author looks up; null for any other.
const char *crash_name(unsigned long code);

// From now on a crash writes "<program>: crash in <hook>: <cause>" on the
// standard error, <hook> being the one entering() last named, and ends the
// process with status 3. `program` must outlive it.
void report_crashes(const char *program);

}  // namespace tamrix_host::platform
