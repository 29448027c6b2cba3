// The parts of the PE/COFF format that a DLL's kind and its exports, imports
// and loader flags are read from, laid out as the format lays them out:
// fixed-width fields, little-endian in the file. Every system builds it, so
// a DLL can be read on any of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tamrix_host::pe {

// ---- Signatures and flags

constexpr std::uint16_t dos_signature = 0x5a4d;     // "MZ"
constexpr std::uint32_t nt_signature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t pe32_magic = 0x10b;
constexpr std::uint16_t pe32_plus_magic = 0x20b;

// The COFF header's characteristics: the image is a DLL.
constexpr std::uint16_t file_dll = 0x2000;

// The COFF header's machine.
constexpr std::uint16_t machine_i386 = 0x14c;
constexpr std::uint16_t machine_arm_thumb = 0x1c4;
constexpr std::uint16_t machine_amd64 = 0x8664;
constexpr std::uint16_t machine_arm64 = 0xaa64;

// A section's characteristics.
constexpr std::uint32_t section_code = 0x00000020;
constexpr std::uint32_t section_execute = 0x20000000;
constexpr std::uint32_t section_write = 0x80000000;

// The optional header's DLL characteristics.
constexpr std::uint16_t dll_high_entropy_va = 0x0020;
constexpr std::uint16_t dll_dynamic_base = 0x0040;
constexpr std::uint16_t dll_nx_compat = 0x0100;

// The optional header's data directories, by index.
constexpr std::size_t directory_count = 16;
constexpr std::size_t export_directory = 0;
constexpr std::size_t import_directory = 1;

// A COFF symbol table entry's size; the string table follows the entries.
constexpr std::size_t symbol_size = 18;

// ---- Structures

struct DosHeader {
  std::uint16_t e_magic;
  std::array<std::uint16_t, 29> unused;  // what DOS reads, up to e_lfanew
  std::int32_t e_lfanew;                 // where the signature and COFF header are
};

// The COFF header, after the "PE\0\0" signature.
struct FileHeader {
  std::uint16_t machine;
  std::uint16_t number_of_sections;
  std::uint32_t time_date_stamp;
  std::uint32_t pointer_to_symbol_table;
  std::uint32_t number_of_symbols;
  std::uint16_t size_of_optional_header;
  std::uint16_t characteristics;
};

struct DataDirectory {
  std::uint32_t virtual_address;
  std::uint32_t size;
};

// The PE32+ optional header, after the COFF header.
struct OptionalHeader64 {
  std::uint16_t magic;
  std::uint8_t major_linker_version;
  std::uint8_t minor_linker_version;
  std::uint32_t size_of_code;
  std::uint32_t size_of_initialized_data;
  std::uint32_t size_of_uninitialized_data;
  std::uint32_t address_of_entry_point;
  std::uint32_t base_of_code;
  std::uint64_t image_base;
  std::uint32_t section_alignment;
  std::uint32_t file_alignment;
  std::array<std::uint16_t, 6> versions;  // operating system, image, subsystem
  std::uint32_t win32_version_value;
  std::uint32_t size_of_image;
  std::uint32_t size_of_headers;
  std::uint32_t check_sum;
  std::uint16_t subsystem;
  std::uint16_t dll_characteristics;
  std::uint64_t size_of_stack_reserve;
  std::uint64_t size_of_stack_commit;
  std::uint64_t size_of_heap_reserve;
  std::uint64_t size_of_heap_commit;
  std::uint32_t loader_flags;
  std::uint32_t number_of_rva_and_sizes;
  std::array<DataDirectory, directory_count> data_directory;
};

struct SectionHeader {
  std::array<std::uint8_t, 8> name;
  std::uint32_t virtual_size;
  std::uint32_t virtual_address;
  std::uint32_t size_of_raw_data;
  std::uint32_t pointer_to_raw_data;
  std::uint32_t pointer_to_relocations;
  std::uint32_t pointer_to_linenumbers;
  std::uint16_t number_of_relocations;
  std::uint16_t number_of_linenumbers;
  std::uint32_t characteristics;
};

struct ExportDirectory {
  std::uint32_t characteristics;
  std::uint32_t time_date_stamp;
  std::uint16_t major_version;
  std::uint16_t minor_version;
  std::uint32_t name;
  std::uint32_t base;
  std::uint32_t number_of_functions;
  std::uint32_t number_of_names;
  std::uint32_t address_of_functions;
  std::uint32_t address_of_names;
  std::uint32_t address_of_name_ordinals;
};

struct ImportDescriptor {
  std::uint32_t original_first_thunk;
  std::uint32_t time_date_stamp;
  std::uint32_t forwarder_chain;
  std::uint32_t name;
  std::uint32_t first_thunk;
};

// Where the format puts what the kind of a binary is read from.
constexpr std::size_t lfanew_at = 0x3c;
constexpr std::size_t file_header_at = sizeof(std::uint32_t);  // after the signature
constexpr std::size_t optional_header_at = file_header_at + 20;

// The sizes and places the format gives; a reader steps through its tables
// by them, so the compiler must have added no padding.
static_assert(sizeof(DosHeader) == 64 && offsetof(DosHeader, e_lfanew) == lfanew_at);
static_assert(sizeof(FileHeader) == optional_header_at - file_header_at);
static_assert(offsetof(OptionalHeader64, dll_characteristics) == 70);
static_assert(offsetof(OptionalHeader64, data_directory) == 112);
static_assert(sizeof(OptionalHeader64) == 240);
static_assert(sizeof(SectionHeader) == 40);
static_assert(sizeof(ExportDirectory) == 40);
static_assert(sizeof(ImportDescriptor) == 20);

}  // namespace tamrix_host::pe
