// Reads a plug-in for Windows: a PE32+ DLL, through the format's structures
// copied out of the file's bytes. Every read is bounds-checked: the file may
// be anything. Built on every system, so a DLL can be read anywhere.
#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "binary_kind/pe_format.hpp"
#include "inspect/pe_file.hpp"
#include "inspect/plugin_file.hpp"

namespace plugin_check {
namespace {

namespace pe = tamrix_host::pe;

// The structures are copied from the file as they lie, and the format is
// little-endian, as is every machine plugin-check is built for.
static_assert(std::endian::native == std::endian::little);

// No plug-in comes near this; a larger file is not read into memory.
constexpr std::uintmax_t largest_file = std::uintmax_t{256} * 1024 * 1024;
constexpr std::size_t longest_name = 4096;
// Far more than any library exports; a count beyond it is a damaged header.
constexpr std::uint32_t most_exports = 100000;

class Image {
 public:
  explicit Image(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

  template <typename T>
  [[nodiscard]] std::optional<T> read(std::uint64_t offset) const {
    if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
      return std::nullopt;
    }
    T value;
    std::memcpy(&value, bytes_.data() + offset, sizeof(T));
    return value;
  }

  [[nodiscard]] std::optional<std::string> string_at(std::uint64_t offset) const {
    if (offset >= bytes_.size()) {
      return std::nullopt;
    }
    const auto begin = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
    const auto limit = bytes_.size() - offset < longest_name
                           ? bytes_.end()
                           : begin + static_cast<std::ptrdiff_t>(longest_name);
    const auto end = std::find(begin, limit, 0);
    if (end == limit) {
      return std::nullopt;
    }
    return std::string(begin, end);
  }

  [[nodiscard]] const std::vector<unsigned char> &bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

struct Layout {
  pe::FileHeader file{};
  pe::OptionalHeader64 optional{};
  std::vector<pe::SectionHeader> sections;

  [[nodiscard]] const pe::SectionHeader *section_of(std::uint32_t rva) const {
    for (const pe::SectionHeader &section : sections) {
      const std::uint32_t size = std::max(section.virtual_size, section.size_of_raw_data);
      if (rva >= section.virtual_address && rva - section.virtual_address < size) {
        return &section;
      }
    }
    return nullptr;
  }

  // Where the byte at `rva` lies in the file; nullopt for memory the loader
  // zero-fills or no section holds.
  [[nodiscard]] std::optional<std::uint64_t> offset_of(std::uint32_t rva) const {
    const pe::SectionHeader *section = section_of(rva);
    if (section == nullptr || rva - section->virtual_address >= section->size_of_raw_data) {
      return std::nullopt;
    }
    return std::uint64_t{section->pointer_to_raw_data} + (rva - section->virtual_address);
  }

  [[nodiscard]] pe::DataDirectory directory(std::size_t index) const {
    if (index >= optional.number_of_rva_and_sizes || index >= pe::directory_count) {
      return {};
    }
    return optional.data_directory.at(index);
  }
};

// Reads the headers; false when they do not hold together.
bool read_layout(const Image &image, Layout &layout) {
  const auto dos = image.read<pe::DosHeader>(0);
  if (!dos || dos->e_magic != pe::dos_signature || dos->e_lfanew < 0) {
    return false;
  }
  const auto nt = static_cast<std::uint64_t>(dos->e_lfanew);
  const auto signature = image.read<std::uint32_t>(nt);
  const auto file = image.read<pe::FileHeader>(nt + pe::file_header_at);
  const std::uint64_t optional_at = nt + pe::optional_header_at;
  const auto optional = image.read<pe::OptionalHeader64>(optional_at);
  if (!signature || *signature != pe::nt_signature || !file || !optional ||
      file->size_of_optional_header < offsetof(pe::OptionalHeader64, data_directory)) {
    return false;
  }
  // The COFF symbol table, where a linker left one, ends the file: its string
  // table's length says where.
  if (file->pointer_to_symbol_table != 0) {
    const std::uint64_t strings =
        static_cast<std::uint64_t>(file->pointer_to_symbol_table) +
        static_cast<std::uint64_t>(file->number_of_symbols) * pe::symbol_size;
    const auto length = image.read<std::uint32_t>(strings);
    if (!length || image.bytes().size() - strings < *length) {
      return false;
    }
  }
  layout.file = *file;
  layout.optional = *optional;
  const std::uint64_t sections_at = optional_at + file->size_of_optional_header;
  for (unsigned i = 0; i < file->number_of_sections; ++i) {
    const auto section = image.read<pe::SectionHeader>(sections_at + i * sizeof(pe::SectionHeader));
    // A section whose bytes lie past the end is a file cut short.
    if (!section || section->pointer_to_raw_data > image.bytes().size() ||
        image.bytes().size() - section->pointer_to_raw_data < section->size_of_raw_data) {
      return false;
    }
    layout.sections.push_back(*section);
  }
  return true;
}

std::string expected() { return "this plugin-check loads " + tamrix_host::describe_loadable(); }

ExportedSymbol judge_export(const Layout &layout, std::string name, std::uint32_t rva) {
  ExportedSymbol exported{std::move(name), "", ""};
  const pe::DataDirectory exports = layout.directory(pe::export_directory);
  if (rva >= exports.virtual_address && rva - exports.virtual_address < exports.size) {
    exported.defect_as_row = exported.defect_as_function = "is forwarded to another DLL";
    return exported;
  }
  const pe::SectionHeader *section = layout.section_of(rva);
  const std::uint32_t flags = section != nullptr ? section->characteristics : 0;
  if ((flags & (pe::section_code | pe::section_execute)) != 0) {
    exported.defect_as_row = "lies in code, not in a data section";
  } else if ((flags & pe::section_write) == 0) {
    // A const row would crash the host's set-up call.
    exported.defect_as_row = "is read-only (declared const?), so set-up cannot store it";
  }
  if ((flags & pe::section_execute) == 0) {
    exported.defect_as_function = "lies in a data section, not in code";
  }
  return exported;
}

void read_exports(const Image &image, const Layout &layout, PluginFile &file) {
  const pe::DataDirectory where = layout.directory(pe::export_directory);
  if (where.virtual_address == 0) {
    return;  // exports nothing
  }
  const std::optional<std::uint64_t> at = layout.offset_of(where.virtual_address);
  const auto directory = at ? image.read<pe::ExportDirectory>(*at) : std::nullopt;
  const auto names = directory ? layout.offset_of(directory->address_of_names) : std::nullopt;
  const auto ordinals =
      directory ? layout.offset_of(directory->address_of_name_ordinals) : std::nullopt;
  const auto functions =
      directory ? layout.offset_of(directory->address_of_functions) : std::nullopt;
  if (!directory || !names || !ordinals || !functions) {
    file.format_problem = "the file's export directory lies outside it; " + expected();
    return;
  }
  if (directory->number_of_names > most_exports) {
    file.exports_unreadable =
        "the export directory claims " + std::to_string(directory->number_of_names) + " names";
    return;
  }
  for (std::uint32_t i = 0; i < directory->number_of_names; ++i) {
    const auto name_rva =
        image.read<std::uint32_t>(*names + std::uint64_t{i} * sizeof(std::uint32_t));
    const auto ordinal =
        image.read<std::uint16_t>(*ordinals + std::uint64_t{i} * sizeof(std::uint16_t));
    const auto name_at = name_rva ? layout.offset_of(*name_rva) : std::nullopt;
    const auto name = name_at ? image.string_at(*name_at) : std::nullopt;
    const auto rva = ordinal ? image.read<std::uint32_t>(*functions + std::uint64_t{*ordinal} *
                                                                          sizeof(std::uint32_t))
                             : std::nullopt;
    if (!name || !rva) {
      file.format_problem = "the file's export directory is damaged; " + expected();
      return;
    }
    file.exports.push_back(judge_export(layout, *name, *rva));
  }
}

// ADVAPI32.dll is part of every Windows installation, and MinGW's stack
// protector seeds its guard through it, so any plug-in with a protected
// function imports it.
bool system_library(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name == "kernel32.dll" || name == "msvcrt.dll" || name.rfind("api-ms-win-crt-", 0) == 0 ||
         name == "ucrtbase.dll" || name == "advapi32.dll";
}

// The host's rigid-body engine, as its DLL is named when built for Windows.
bool engine_library(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name.rfind("libode", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".dll";
}

// What MinGW's C runtime start-up (pseudo-relocations, constructors, its
// error report), its threads library, its stack protector (which seeds its
// guard from the system's random source and writes its report itself before
// it ends the process) and its maths library's error hook import into a DLL,
// whatever the DLL's own code does: the runtime's reach, not the plug-in's.
constexpr std::array<std::string_view, 44> runtime_imports = {
    "CloseHandle",
    "CreateEventA",
    "CreateSemaphoreA",
    "CryptAcquireContextA",
    "CryptGenRandom",
    "CryptReleaseContext",
    "DeleteCriticalSection",
    "DuplicateHandle",
    "EnterCriticalSection",
    "GetCurrentProcess",
    "GetCurrentThread",
    "GetCurrentThreadId",
    "GetLastError",
    "GetSystemTimeAsFileTime",
    "GetTickCount64",
    "InitializeCriticalSection",
    "LeaveCriticalSection",
    "ReleaseSemaphore",
    "ResetEvent",
    "SetEvent",
    "SetLastError",
    "Sleep",
    "TlsAlloc",
    "TlsFree",
    "TlsGetValue",
    "TlsSetValue",
    "VirtualProtect",
    "VirtualQuery",
    "WaitForMultipleObjects",
    "WaitForSingleObject",
    "__iob_func",
    "__dllonexit",
    "__setusermatherr",
    "_amsg_exit",
    "_close",
    "_exit",
    "_initterm",
    "_lock",
    "_open",
    "_unlock",
    "_write",
    "abort",
    "fwrite",
    "vfprintf",
};

// The names one DLL's lookup table imports (64-bit entries: the top bit marks
// an import by ordinal, which has no name; else a hint and the name).
void read_import_names(const Image &image, const Layout &layout, const pe::ImportDescriptor &dll,
                       PluginFile &file) {
  const std::uint32_t table =
      dll.original_first_thunk != 0 ? dll.original_first_thunk : dll.first_thunk;
  const std::optional<std::uint64_t> at = layout.offset_of(table);
  for (std::uint64_t i = 0; at && i < most_exports; ++i) {
    const auto entry = image.read<std::uint64_t>(*at + i * sizeof(std::uint64_t));
    if (!entry || *entry == 0) {
      return;
    }
    if ((*entry >> 63U) != 0) {
      continue;
    }
    const auto hint_at = layout.offset_of(static_cast<std::uint32_t>(*entry));
    const auto name = hint_at ? image.string_at(*hint_at + 2) : std::nullopt;
    if (name &&
        std::find(runtime_imports.begin(), runtime_imports.end(), *name) == runtime_imports.end()) {
      file.imports.push_back(*name);
    }
  }
}

void read_imports(const Image &image, const Layout &layout, PluginFile &file) {
  const pe::DataDirectory where = layout.directory(pe::import_directory);
  if (where.virtual_address == 0) {
    return;
  }
  const std::optional<std::uint64_t> at = layout.offset_of(where.virtual_address);
  if (!at) {
    file.foreign_needed.emplace_back("an import table outside the file");
    return;
  }
  for (std::uint64_t i = 0;; ++i) {
    const auto entry = image.read<pe::ImportDescriptor>(*at + i * sizeof(pe::ImportDescriptor));
    if (!entry) {
      file.foreign_needed.emplace_back("an import table that runs off the file's end");
      return;
    }
    if (entry->name == 0) {
      return;  // the table's terminator
    }
    const auto name_at = layout.offset_of(entry->name);
    const auto name = name_at ? image.string_at(*name_at) : std::nullopt;
    read_import_names(image, layout, *entry, file);
    if (!name) {
      file.foreign_needed.emplace_back("a DLL whose name cannot be read");
    } else if (engine_library(*name)) {
      file.engine = true;
    } else if (!system_library(*name)) {
      file.foreign_needed.push_back(*name);
    }
  }
}

DllCharacteristics characteristics(const Layout &layout) {
  const std::uint16_t flags = layout.optional.dll_characteristics;
  return {(flags & pe::dll_dynamic_base) != 0, (flags & pe::dll_high_entropy_va) != 0,
          (flags & pe::dll_nx_compat) != 0};
}

// Every DLL has an entry point through which the C runtime starts at load,
// running whatever constructors it was linked with; which of them are the
// plug-in's own cannot be told from the file.
PluginFile code_unknown() {
  PluginFile file;
  file.load_code_unknown = "cannot be decided for a DLL: its C runtime entry point runs at load";
  // MinGW's C runtime keeps a DLL's atexit handlers in a table of the DLL's
  // own and runs them from the same entry point at unload: a DLL that
  // registers one imports nothing a clean one does not.
  file.unload_code_unknown =
      "cannot be decided for a DLL: its C runtime entry point runs at unload, with any exit "
      "handlers the DLL keeps itself";
  return file;
}

}  // namespace

PluginFile read_dll(std::vector<unsigned char> bytes, const tamrix_host::BinaryKind &loadable) {
  PluginFile file = code_unknown();
  const tamrix_host::BinaryKind kind = tamrix_host::binary_kind(bytes);
  if (kind != loadable) {
    file.format_problem = "the file is " + tamrix_host::describe(kind) + "; " + expected();
    return file;
  }
  const Image image(std::move(bytes));
  Layout layout;
  if (!read_layout(image, layout)) {
    file.format_problem = "the file's PE headers are damaged or cut short; " + expected();
    return file;
  }
  read_exports(image, layout, file);
  read_imports(image, layout, file);
  file.dll = characteristics(layout);
  return file;
}

PluginFile read_dll_file(const std::string &path, const tamrix_host::BinaryKind &loadable) {
  PluginFile file = code_unknown();
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error) {
    file.format_problem = "cannot open " + path + ": " + error.message();
    return file;
  }
  if (!std::filesystem::is_regular_file(status)) {
    file.format_problem = path + " is not a regular file; " + expected();
    return file;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > largest_file) {
    file.format_problem = "the file is too large to be a plug-in; " + expected();
    return file;
  }
  std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(size))) {
    file.format_problem = "cannot read " + path;
    return file;
  }
  return read_dll(std::move(bytes), loadable);
}

}  // namespace plugin_check
