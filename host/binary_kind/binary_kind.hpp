// What a file's first bytes say it is, as far as a loader cares: which binary
// format, machine and word size, and whether it is a library at all. Enough to
// tell a plug-in author that a file was built for another machine, without
// loading it.
#pragma once

#include <optional>
#include <span>
#include <string>

namespace tamrix_host {

struct BinaryKind {
  enum class Format { unknown, elf, pe };
  enum class Role { other, library, executable };
  Format format = Format::unknown;
  int bits = 0;         // 32 or 64; 0 when the header does not say
  std::string machine;  // "x86-64", "AArch64", ...; empty when unknown
  bool big_endian = false;
  Role role = Role::other;  // a library is an ELF shared object or a PE DLL

  friend bool operator==(const BinaryKind &, const BinaryKind &) = default;
};

// Classifies a file from its leading bytes (a PE file needs them up to the end
// of its COFF header, which may lie past the first 64 bytes).
BinaryKind binary_kind(std::span<const unsigned char> bytes);

// The file's kind; nullopt when it cannot be opened or read at all.
std::optional<BinaryKind> binary_kind_of_file(const std::string &path);

// What this program itself is built as, and so the only kind it can load.
BinaryKind loadable_kind();

// "an ELF 64-bit shared object for AArch64", "a PE32+ DLL for x86-64",
// "not a shared library", ...
std::string describe(const BinaryKind &kind);

// "x86-64 ELF 64-bit shared objects": what loadable_kind() loads.
std::string describe_loadable();

// For a file this program failed to load: one phrase saying what it is and
// what `loader` loads, when it is a binary of another kind; empty when the
// file cannot be read or looks loadable, so the system's own reason stands.
std::string foreign_binary(const std::string &path, const std::string &loader);

}  // namespace tamrix_host
