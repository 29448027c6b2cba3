#include "binary_kind/binary_kind.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <vector>

#include "binary_kind/pe_format.hpp"

namespace tamrix_host {
namespace {

// ELF's header constants, spelled out here because Windows has no <elf.h>;
// PE's are in pe_format.hpp, which the PE reader shares.
constexpr std::size_t elf_class_at = 4;
constexpr std::size_t elf_data_at = 5;
constexpr std::size_t elf_type_at = 16;
constexpr std::size_t elf_machine_at = 18;
constexpr std::size_t elf_header_prefix = 20;
constexpr unsigned elf_class_32 = 1;
constexpr unsigned elf_class_64 = 2;
constexpr unsigned elf_data_big_endian = 2;
constexpr unsigned elf_type_executable = 2;
constexpr unsigned elf_type_shared = 3;

constexpr std::size_t coff_machine_at = pe::file_header_at + offsetof(pe::FileHeader, machine);
constexpr std::size_t coff_characteristics_at =
    pe::file_header_at + offsetof(pe::FileHeader, characteristics);
constexpr std::size_t optional_magic_at =
    pe::optional_header_at + offsetof(pe::OptionalHeader64, magic);
constexpr std::size_t pe_header_prefix = optional_magic_at + sizeof(std::uint16_t);

// Far enough for any PE header a linker writes; a file whose header lies
// further is no library a loader would take either.
constexpr std::size_t header_read_limit = 4096;

unsigned read16(std::span<const unsigned char> bytes, std::size_t at, bool big_endian) {
  const unsigned first = bytes[at];
  const unsigned second = bytes[at + 1];
  return big_endian ? (first << 8U) | second : (second << 8U) | first;
}

std::uint32_t read32le(std::span<const unsigned char> bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;) {
    value = (value << 8U) | bytes[at + i];
  }
  return value;
}

std::string hex(unsigned value) {
  std::ostringstream out;
  out << "machine 0x" << std::hex << value;
  return out.str();
}

std::string elf_machine(unsigned machine) {
  switch (machine) {
    case 3:
      return "x86";
    case 8:
      return "MIPS";
    case 20:
      return "PowerPC";
    case 21:
      return "PowerPC 64";
    case 22:
      return "IBM Z";
    case 40:
      return "ARM";
    case 62:
      return "x86-64";
    case 183:
      return "AArch64";
    case 243:
      return "RISC-V";
    case 258:
      return "LoongArch";
    default:
      return hex(machine);
  }
}

std::string pe_machine(unsigned machine) {
  switch (machine) {
    case pe::machine_i386:
      return "x86";
    case pe::machine_arm_thumb:
      return "ARM";
    case pe::machine_amd64:
      return "x86-64";
    case pe::machine_arm64:
      return "AArch64";
    default:
      return hex(machine);
  }
}

BinaryKind elf_kind(std::span<const unsigned char> bytes) {
  BinaryKind kind;
  if (bytes.size() < elf_header_prefix) {
    return kind;  // a cut-off header is no binary of any kind
  }
  kind.format = BinaryKind::Format::elf;
  const unsigned word = bytes[elf_class_at];
  kind.bits = word == elf_class_64 ? 64 : word == elf_class_32 ? 32 : 0;
  kind.big_endian = bytes[elf_data_at] == elf_data_big_endian;
  const unsigned type = read16(bytes, elf_type_at, kind.big_endian);
  kind.role = type == elf_type_shared       ? BinaryKind::Role::library
              : type == elf_type_executable ? BinaryKind::Role::executable
                                            : BinaryKind::Role::other;
  kind.machine = elf_machine(read16(bytes, elf_machine_at, kind.big_endian));
  return kind;
}

// A DOS stub without a PE header behind it is no Windows binary; unknown.
BinaryKind pe_kind(std::span<const unsigned char> bytes) {
  BinaryKind kind;
  if (bytes.size() < pe::lfanew_at + 4) {
    return kind;
  }
  const std::size_t nt = read32le(bytes, pe::lfanew_at);
  if (nt > bytes.size() || bytes.size() - nt < pe_header_prefix ||
      read32le(bytes, nt) != pe::nt_signature) {
    return kind;
  }
  kind.format = BinaryKind::Format::pe;
  kind.machine = pe_machine(read16(bytes, nt + coff_machine_at, false));
  kind.role = (read16(bytes, nt + coff_characteristics_at, false) & pe::file_dll) != 0
                  ? BinaryKind::Role::library
                  : BinaryKind::Role::executable;
  const unsigned magic = read16(bytes, nt + optional_magic_at, false);
  kind.bits = magic == pe::pe32_plus_magic ? 64 : magic == pe::pe32_magic ? 32 : 0;
  return kind;
}

std::string format_name(const BinaryKind &kind) {
  if (kind.format == BinaryKind::Format::pe) {
    return kind.bits == 64 ? "PE32+" : kind.bits == 32 ? "PE32" : "PE";
  }
  std::string name = kind.bits != 0 ? "ELF " + std::to_string(kind.bits) + "-bit" : "ELF";
  return kind.big_endian ? name + " big-endian" : name;
}

}  // namespace

BinaryKind binary_kind(std::span<const unsigned char> bytes) {
  if (bytes.size() >= 4 && bytes[0] == 0x7f && bytes[1] == 'E' && bytes[2] == 'L' &&
      bytes[3] == 'F') {
    return elf_kind(bytes);
  }
  if (bytes.size() >= 2 && read16(bytes, 0, false) == pe::dos_signature) {
    return pe_kind(bytes);
  }
  return {};
}

std::optional<BinaryKind> binary_kind_of_file(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::vector<unsigned char> bytes(header_read_limit);
  file.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (file.bad() || (file.gcount() == 0 && !file.eof())) {
    return std::nullopt;  // a folder, or a read error
  }
  bytes.resize(static_cast<std::size_t>(file.gcount()));
  return binary_kind(bytes);
}

BinaryKind loadable_kind() {
  BinaryKind kind;
  kind.bits = static_cast<int>(sizeof(void *) * 8);
  kind.role = BinaryKind::Role::library;
  // The compiler knows which machine and system it builds for; nothing else
  // in the program needs to.
#if defined(_WIN32)
  kind.format = BinaryKind::Format::pe;
#else
  kind.format = BinaryKind::Format::elf;
#endif
#if defined(__x86_64__) || defined(_M_X64)
  kind.machine = "x86-64";
#elif defined(__aarch64__) || defined(_M_ARM64)
  kind.machine = "AArch64";
#elif defined(__i386__) || defined(_M_IX86)
  kind.machine = "x86";
#else
  kind.machine = "this machine";
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  kind.big_endian = true;
#endif
  return kind;
}

std::string describe(const BinaryKind &kind) {
  if (kind.format == BinaryKind::Format::unknown) {
    return "not a shared library";
  }
  const bool pe = kind.format == BinaryKind::Format::pe;
  const char *what = kind.role == BinaryKind::Role::library      ? (pe ? " DLL" : " shared object")
                     : kind.role == BinaryKind::Role::executable ? " executable"
                                                                 : " object file";
  // Appended piece by piece: gcc 12 at -O3 mistakes a chain of + for an
  // overlapping copy (-Wrestrict).
  std::string text = pe ? "a " : "an ";
  text.append(format_name(kind)).append(what);
  if (!kind.machine.empty()) {
    text.append(" for ").append(kind.machine);
  }
  return text;
}

std::string describe_loadable() {
  const BinaryKind kind = loadable_kind();
  return kind.machine + " " + format_name(kind) +
         (kind.format == BinaryKind::Format::pe ? " DLLs" : " shared objects");
}

std::string foreign_binary(const std::string &path, const std::string &loader) {
  const std::optional<BinaryKind> kind = binary_kind_of_file(path);
  if (!kind || *kind == loadable_kind()) {
    return {};
  }
  return describe(*kind) + "; " + loader + " loads " + describe_loadable();
}

}  // namespace tamrix_host
