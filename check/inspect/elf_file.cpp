// Reads a plug-in for Linux: an ELF shared object, through elfutils' libelf.
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "inspect/plugin_file.hpp"
#include "programs/join.hpp"

namespace plugin_check {
namespace {

struct FileDescriptor {
  int fd;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  ~FileDescriptor() {
    if (fd >= 0) {
      close(fd);
    }
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  FileDescriptor(FileDescriptor &&) = delete;
  FileDescriptor &operator=(FileDescriptor &&) = delete;
};

struct ElfFile {
  Elf *elf;
  explicit ElfFile(Elf *handle) : elf(handle) {}
  ~ElfFile() { elf_end(elf); }
  ElfFile(const ElfFile &) = delete;
  ElfFile &operator=(const ElfFile &) = delete;
  ElfFile(ElfFile &&) = delete;
  ElfFile &operator=(ElfFile &&) = delete;
};

// offset + length, saturating: a hostile header may ask for the impossible.
std::uint64_t end_of(std::uint64_t offset, std::uint64_t length) {
  return offset > UINT64_MAX - length ? UINT64_MAX : offset + length;
}

std::string elf_error() {
  const char *message = elf_errmsg(-1);
  return message != nullptr ? message : "unknown libelf error";
}

// Everything the checks need, gathered in one pass over the headers.
struct Layout {
  std::uint64_t extent = 0;  // how long the file must be for all its headers and segments
  bool has_interp = false;
  bool has_relro = false;
  std::uint64_t relro_start = 0;
  std::uint64_t relro_end = 0;
  std::optional<std::uint64_t> stack_flags;
  std::vector<GElf_Dyn> dynamic;
  std::size_t section_count = 0;
  Elf_Scn *symtab = nullptr;
  std::vector<GElf_Phdr> loads;               // where each loaded address lies in the file
  std::optional<std::uint64_t> init_section;  // address of ".init", where the C runtime's _init is
  std::optional<std::uint64_t> fini_section;  // and of ".fini", where its _fini is
  // The first thing libelf could not read, with libelf's reason: the file's
  // problem, never a part quietly taken as absent.
  std::string libelf_error;
};

// After a libelf call failed: keeps what it could not read, and why, when it
// is the first such failure. A call that found nothing, with no error set,
// is no damage.
void note_libelf_error(Layout &layout, const std::string &what) {
  const int code = elf_errno();  // also clears it, so the next failure is its own
  if (code == 0 || !layout.libelf_error.empty()) {
    return;
  }
  const char *message = elf_errmsg(code);
  layout.libelf_error = what + ": " + (message != nullptr ? message : "unknown libelf error");
}

// The dynamic entries, from the segment, not the section: it is what the
// loader reads, and it is there even when section headers were stripped.
void read_dynamic(Elf *elf, const GElf_Phdr &header, Layout &layout) {
  Elf_Data *data =
      elf_getdata_rawchunk(elf, static_cast<int64_t>(header.p_offset), header.p_filesz, ELF_T_DYN);
  if (data == nullptr) {
    note_libelf_error(layout, "dynamic segment");
    return;
  }
  const std::size_t entry = gelf_fsize(elf, ELF_T_DYN, 1, EV_CURRENT);
  for (std::size_t n = 0; entry != 0 && n < header.p_filesz / entry; ++n) {
    GElf_Dyn dyn;
    if (gelf_getdyn(data, static_cast<int>(n), &dyn) == nullptr) {
      note_libelf_error(layout, "dynamic entry " + std::to_string(n));
      return;
    }
    if (dyn.d_tag == DT_NULL) {
      return;
    }
    layout.dynamic.push_back(dyn);
  }
}

void read_program_headers(Elf *elf, Layout &layout) {
  std::size_t count = 0;
  if (elf_getphdrnum(elf, &count) != 0) {
    note_libelf_error(layout, "program header count");
    return;
  }
  if (count == 0) {
    // No loader can map a file without them; libelf says why it found none
    // (a count of 0xffff, say, that points at an empty extension).
    GElf_Phdr header;
    if (gelf_getphdr(elf, 0, &header) == nullptr) {
      note_libelf_error(layout, "program headers");
    }
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr header;
    if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) {
      note_libelf_error(layout, "program header " + std::to_string(i));
      continue;
    }
    if (header.p_type == PT_LOAD) {
      layout.loads.push_back(header);
      layout.extent = std::max(layout.extent, end_of(header.p_offset, header.p_filesz));
    }
    switch (header.p_type) {
      case PT_INTERP:
        layout.has_interp = true;
        break;
      case PT_GNU_RELRO:
        layout.has_relro = true;
        layout.relro_start = header.p_vaddr;
        layout.relro_end = header.p_vaddr + header.p_memsz;
        break;
      case PT_GNU_STACK:
        layout.stack_flags = header.p_flags;
        break;
      case PT_DYNAMIC:
        read_dynamic(elf, header, layout);
        break;
      default:
        break;
    }
  }
}

void read_section_headers(Elf *elf, Layout &layout) {
  std::size_t names = 0;
  if (elf_getshdrnum(elf, &layout.section_count) != 0 || elf_getshdrstrndx(elf, &names) != 0) {
    note_libelf_error(layout, "section headers");
    layout.section_count = 0;
    return;
  }
  for (Elf_Scn *section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) {
      note_libelf_error(layout, "section header " + std::to_string(elf_ndxscn(section)));
      continue;
    }
    if (header.sh_type != SHT_NOBITS) {
      layout.extent = std::max(layout.extent, end_of(header.sh_offset, header.sh_size));
    }
    if (header.sh_type == SHT_SYMTAB) {
      layout.symtab = section;
    } else if (header.sh_type == SHT_PROGBITS) {
      const char *name = elf_strptr(elf, names, header.sh_name);
      if (name == nullptr) {
        note_libelf_error(layout, "name of section " + std::to_string(elf_ndxscn(section)));
      } else if (std::string(name) == ".init") {
        layout.init_section = header.sh_addr;
      } else if (std::string(name) == ".fini") {
        layout.fini_section = header.sh_addr;
      }
    }
  }
}

std::optional<std::uint64_t> dynamic_value(const Layout &layout, std::int64_t tag) {
  for (const GElf_Dyn &dyn : layout.dynamic) {
    if (dyn.d_tag == tag) {
      return dyn.d_un.d_val;
    }
  }
  return std::nullopt;
}

// Calls `visit(symbol, name)` for each symbol of the table `section`.
template <typename Visit>
void for_each_symbol(Elf *elf, Layout &layout, Elf_Scn *section, Visit visit) {
  GElf_Shdr header;
  if (section == nullptr || gelf_getshdr(section, &header) == nullptr || header.sh_entsize == 0) {
    return;
  }
  const std::string table = header.sh_type == SHT_DYNSYM ? "dynamic symbol" : "symbol";
  Elf_Data *data = elf_getdata(section, nullptr);
  if (data == nullptr) {
    note_libelf_error(layout, table + " table");
    return;
  }
  const std::size_t count = data->d_size / header.sh_entsize;
  for (std::size_t i = 1; i < count; ++i) {  // entry 0 is the null symbol
    GElf_Sym symbol;
    if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) {
      note_libelf_error(layout, table + " " + std::to_string(i));
      break;
    }
    const char *name = elf_strptr(elf, header.sh_link, symbol.st_name);
    if (name == nullptr) {
      note_libelf_error(layout, "name of " + table + " " + std::to_string(i));
    }
    visit(symbol, name != nullptr ? std::string(name) : std::string());
  }
}

std::string symbol_type(unsigned type) {
  switch (type) {
    case STT_FUNC:
      return "a function";
    case STT_OBJECT:
      return "a data object";
    case STT_TLS:
      return "a thread-local variable";
    case STT_GNU_IFUNC:
      return "an indirect function";
    default:
      return "a symbol of type " + std::to_string(type);
  }
}

// The loaded segment that holds `address`, as the loader maps it (bss
// included); null when none does.
const GElf_Phdr *segment_of(const Layout &layout, std::uint64_t address) {
  for (const GElf_Phdr &load : layout.loads) {
    if (address >= load.p_vaddr && address - load.p_vaddr < load.p_memsz) {
      return &load;
    }
  }
  return nullptr;
}

// Judged by the segment the loader maps the symbol in, not by a section
// header, which the loader never reads and a file may lack or forge.
ExportedSymbol judge_symbol(const Layout &layout, const GElf_Sym &symbol, std::string name,
                            std::size_t pointer_size) {
  ExportedSymbol exported{std::move(name), "", ""};
  const unsigned type = GELF_ST_TYPE(symbol.st_info);
  const GElf_Phdr *segment =
      symbol.st_shndx == SHN_ABS ? nullptr : segment_of(layout, symbol.st_value);
  const std::uint64_t flags = segment != nullptr ? segment->p_flags : 0;

  if (type != STT_OBJECT) {
    exported.defect_as_row = "is " + symbol_type(type) + ", not a data object";
  } else if (symbol.st_size != pointer_size) {
    exported.defect_as_row = "is " + std::to_string(symbol.st_size) + " bytes, not a pointer of " +
                             std::to_string(pointer_size);
  } else if ((flags & PF_W) == 0 || (layout.has_relro && symbol.st_value >= layout.relro_start &&
                                     symbol.st_value < layout.relro_end)) {
    // A const row would crash the host's set-up call.
    exported.defect_as_row = "is read-only after load (declared const?), so set-up cannot store it";
  }

  if (type == STT_GNU_IFUNC) {
    exported.defect_as_function = "is an indirect function, whose resolver runs at load";
  } else if (type != STT_FUNC) {
    exported.defect_as_function = "is " + symbol_type(type) + ", not a function";
  } else if ((flags & PF_X) == 0) {
    exported.defect_as_function = "does not lie in an executable segment";
  }
  return exported;
}

bool is_exported(const GElf_Sym &symbol) {
  const unsigned bind = GELF_ST_BIND(symbol.st_info);
  const unsigned visibility = GELF_ST_VISIBILITY(symbol.st_other);
  if (symbol.st_shndx == SHN_UNDEF ||
      (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) ||
      (visibility != STV_DEFAULT && visibility != STV_PROTECTED)) {
    return false;
  }
  // The linker adds each version node of a version script as an absolute,
  // empty object; it names a version, not something of the plug-in's.
  return !(symbol.st_shndx == SHN_ABS && symbol.st_size == 0 && symbol.st_value == 0);
}

// glibc's own parts: the C library, its maths, threads, dynamic-loading and
// real-time libraries, and the loader. Every glibc system has them; since 2.34
// all but libm are stubs, and a plug-in linked on an older glibc names them.
bool system_library(const std::string &name) {
  return name == "libc.so.6" || name == "libm.so.6" || name == "libpthread.so.0" ||
         name == "libdl.so.2" || name == "librt.so.1" || name.rfind("ld-linux", 0) == 0;
}

// The host's rigid-body engine, whichever version of its library.
bool engine_library(const std::string &name) { return name.rfind("libode.so", 0) == 0; }

// The file offset of a loaded address, as the loader maps it.
std::optional<std::uint64_t> file_offset(const Layout &layout, std::uint64_t address) {
  for (const GElf_Phdr &load : layout.loads) {
    if (address >= load.p_vaddr && address - load.p_vaddr < load.p_filesz) {
      return load.p_offset + (address - load.p_vaddr);
    }
  }
  return std::nullopt;
}

// How many bytes of the file follow the loaded address `address` in its segment.
std::uint64_t loaded_room(const Layout &layout, std::uint64_t address) {
  for (const GElf_Phdr &load : layout.loads) {
    if (address >= load.p_vaddr && address - load.p_vaddr < load.p_filesz) {
      return load.p_filesz - (address - load.p_vaddr);
    }
  }
  return 0;
}

// `size` bytes of the file at the loaded address `address`, as `type`; null
// when the address lies outside the file (noted when libelf refuses them).
Elf_Data *loaded_bytes(Elf *elf, Layout &layout, std::uint64_t address, std::uint64_t size,
                       Elf_Type type, const char *what) {
  const std::optional<std::uint64_t> at = file_offset(layout, address);
  if (!at || size == 0) {
    return nullptr;
  }
  Elf_Data *data = elf_getdata_rawchunk(elf, static_cast<int64_t>(*at), size, type);
  if (data == nullptr) {
    note_libelf_error(layout, what);
  }
  return data;
}

// The dynamic string table, as the loader finds it.
struct Strings {
  const char *bytes = nullptr;
  std::uint64_t size = 0;

  // The string at `at`, or nullopt when it does not lie in the table.
  [[nodiscard]] std::optional<std::string> at(std::uint64_t offset) const {
    const char *end = bytes != nullptr && offset < size
                          ? static_cast<const char *>(std::memchr(bytes + offset, 0, size - offset))
                          : nullptr;
    if (end == nullptr) {
      return std::nullopt;
    }
    return std::string(bytes + offset, end);
  }
};

Strings dynamic_strings(Elf *elf, Layout &layout) {
  Strings strings;
  strings.size = dynamic_value(layout, DT_STRSZ).value_or(0);
  Elf_Data *data = loaded_bytes(elf, layout, dynamic_value(layout, DT_STRTAB).value_or(0),
                                strings.size, ELF_T_BYTE, "dynamic string table");
  strings.bytes = data != nullptr ? static_cast<const char *>(data->d_buf) : nullptr;
  return strings;
}

// Names are read through the dynamic segment, as the loader reads them, so
// a file without section headers is judged too.
void read_needed(const Layout &layout, const Strings &strings, PluginFile &file) {
  for (const GElf_Dyn &dyn : layout.dynamic) {
    if (dyn.d_tag != DT_NEEDED) {
      continue;
    }
    const std::optional<std::string> name = strings.at(dyn.d_un.d_val);
    if (!name) {
      file.foreign_needed.emplace_back("a library whose name cannot be read");
    } else if (engine_library(*name)) {
      file.engine = true;
    } else if (!system_library(*name)) {
      file.foreign_needed.push_back(*name);
    }
  }
}

struct DynamicSymbol {
  GElf_Sym symbol;
  std::string name;
};

// How many symbols the dynamic symbol table holds, from its hash table, as
// the loader knows it: DT_HASH says so; DT_GNU_HASH's last chain ends there.
std::uint64_t dynamic_symbol_count(Elf *elf, Layout &layout) {
  if (const std::optional<std::uint64_t> hash = dynamic_value(layout, DT_HASH)) {
    Elf_Data *data = loaded_bytes(elf, layout, *hash, 8, ELF_T_WORD, "hash table");
    return data != nullptr ? static_cast<const std::uint32_t *>(data->d_buf)[1] : 0;
  }
  const std::optional<std::uint64_t> hash = dynamic_value(layout, DT_GNU_HASH);
  Elf_Data *head =
      hash ? loaded_bytes(elf, layout, *hash, 16, ELF_T_WORD, "GNU hash table") : nullptr;
  if (head == nullptr) {
    return 0;
  }
  const auto *words = static_cast<const std::uint32_t *>(head->d_buf);
  const std::uint32_t buckets = words[0];
  const std::uint32_t first_hashed = words[1];
  const std::uint64_t bloom = std::uint64_t{words[2]} * (gelf_getclass(elf) == ELFCLASS64 ? 8 : 4);
  const std::uint64_t buckets_at = *hash + 16 + bloom;
  Elf_Data *bucket_data = loaded_bytes(elf, layout, buckets_at, std::uint64_t{buckets} * 4,
                                       ELF_T_WORD, "GNU hash buckets");
  if (bucket_data == nullptr) {
    return first_hashed;
  }
  const auto *bucket = static_cast<const std::uint32_t *>(bucket_data->d_buf);
  const std::uint32_t last = *std::max_element(bucket, bucket + buckets);
  if (last < first_hashed) {
    return first_hashed;  // no symbol is hashed: all are imports
  }
  // The chain of the last bucket runs to the table's end; its last word has
  // the low bit set. It lies in the file, which bounds the walk.
  const std::uint64_t chain_at =
      buckets_at + std::uint64_t{buckets} * 4 + std::uint64_t{last - first_hashed} * 4;
  const std::uint64_t room = loaded_room(layout, chain_at) / 4;
  Elf_Data *chain = loaded_bytes(elf, layout, chain_at, room * 4, ELF_T_WORD, "GNU hash chain");
  const auto *links = chain != nullptr ? static_cast<const std::uint32_t *>(chain->d_buf) : nullptr;
  for (std::uint64_t i = 0; links != nullptr && i < room; ++i) {
    if ((links[i] & 1U) != 0) {
      return last + i + 1;
    }
  }
  return last;
}

// Every symbol of the dynamic symbol table that the loader can reach, read
// through the dynamic segment as the loader reads it, so a file without
// section headers is judged too: those its hash table holds and those its
// relocations name (a library that exports nothing hashes nothing, and an
// import that no relocation names is never bound).
std::vector<DynamicSymbol> dynamic_symbols(Elf *elf, Layout &layout, const Strings &strings,
                                           const std::vector<GElf_Rela> &relocations) {
  std::vector<DynamicSymbol> symbols;
  const std::size_t entry = gelf_fsize(elf, ELF_T_SYM, 1, EV_CURRENT);
  const std::optional<std::uint64_t> table = dynamic_value(layout, DT_SYMTAB);
  std::uint64_t count = table ? dynamic_symbol_count(elf, layout) : 0;
  for (const GElf_Rela &relocation : relocations) {
    count = std::max<std::uint64_t>(count, std::uint64_t{GELF_R_SYM(relocation.r_info)} + 1);
  }
  Elf_Data *data =
      table && entry != 0 && count <= UINT64_MAX / entry
          ? loaded_bytes(elf, layout, *table, count * entry, ELF_T_SYM, "dynamic symbol table")
          : nullptr;
  for (std::uint64_t i = 1; data != nullptr && i < count; ++i) {  // entry 0 is the null symbol
    DynamicSymbol symbol;
    if (gelf_getsym(data, static_cast<int>(i), &symbol.symbol) == nullptr) {
      note_libelf_error(layout, "dynamic symbol " + std::to_string(i));
      break;
    }
    symbol.name = strings.at(symbol.symbol.st_name).value_or("");
    symbols.push_back(std::move(symbol));
  }
  return symbols;
}

// What the loader would find by name: the dynamic symbols of the dynamic
// segment, whatever a .dynsym section header says, or when there is none.
void read_exports(const Layout &layout, const std::vector<DynamicSymbol> &symbols,
                  std::size_t pointer_size, PluginFile &file) {
  for (const DynamicSymbol &symbol : symbols) {
    if (is_exported(symbol.symbol)) {
      file.exports.push_back(judge_symbol(layout, symbol.symbol, symbol.name, pointer_size));
    }
  }
}

bool imports(const std::vector<DynamicSymbol> &symbols, const std::string &name) {
  return std::any_of(symbols.begin(), symbols.end(), [&](const DynamicSymbol &symbol) {
    return symbol.symbol.st_shndx == SHN_UNDEF && symbol.name == name;
  });
}

// A plug-in linked without the engine's library, counting on the host's, still
// imports its functions, all named d and a capital (dBodyAddForce).
bool imports_engine(const std::vector<DynamicSymbol> &symbols) {
  return std::any_of(symbols.begin(), symbols.end(), [](const DynamicSymbol &symbol) {
    const std::string &name = symbol.name;
    return symbol.symbol.st_shndx == SHN_UNDEF && name.size() > 1 && name[0] == 'd' &&
           name[1] >= 'A' && name[1] <= 'Z';
  });
}

// The dynamic relocations, both tables: what the loader does to the file.
std::vector<GElf_Rela> dynamic_relocations(Elf *elf, Layout &layout) {
  std::vector<GElf_Rela> relocations;
  const std::size_t entry = gelf_fsize(elf, ELF_T_RELA, 1, EV_CURRENT);
  for (const auto &[table, size] :
       {std::pair{DT_RELA, DT_RELASZ}, std::pair{DT_JMPREL, DT_PLTRELSZ}}) {
    const std::optional<std::uint64_t> at = dynamic_value(layout, table);
    const std::uint64_t bytes = dynamic_value(layout, size).value_or(0);
    Elf_Data *data = at && entry != 0
                         ? loaded_bytes(elf, layout, *at, bytes, ELF_T_RELA, "dynamic relocations")
                         : nullptr;
    for (std::size_t i = 0; data != nullptr && i < bytes / entry; ++i) {
      GElf_Rela relocation;
      if (gelf_getrela(data, static_cast<int>(i), &relocation) == nullptr) {
        note_libelf_error(layout, "dynamic relocation " + std::to_string(i));
        break;
      }
      relocations.push_back(relocation);
    }
  }
  return relocations;
}

// What the loader reads of the file to decide what code runs at load and at
// unload.
struct RunTimeView {
  std::vector<DynamicSymbol> symbols;
  std::vector<GElf_Rela> relocations;
  unsigned relative = 0;   // the machine's RELATIVE relocation type
  unsigned irelative = 0;  // and its IRELATIVE type
  std::size_t pointer_size = 8;
};

// A damaged array size must not make us read, or hold, megabytes.
constexpr std::uint64_t most_array_entries = 4096;

// The functions an INIT_ARRAY or FINI_ARRAY calls, in order: each entry as
// the loader computes it, from its RELATIVE relocation or, where it has none
// (RELR, or a linker that wrote the addend in place), from the file's bytes.
std::vector<std::uint64_t> array_targets(Elf *elf, Layout &layout, const RunTimeView &view,
                                         std::uint64_t address, std::uint64_t entries) {
  std::vector<std::uint64_t> targets;
  entries = std::min(entries, most_array_entries);
  Elf_Data *data = loaded_bytes(elf, layout, address, entries * view.pointer_size, ELF_T_BYTE,
                                "INIT_ARRAY or FINI_ARRAY");
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t slot = address + i * view.pointer_size;
    const auto relocation =
        std::find_if(view.relocations.begin(), view.relocations.end(), [&](const GElf_Rela &rela) {
          return rela.r_offset == slot && GELF_R_TYPE(rela.r_info) == view.relative;
        });
    if (relocation != view.relocations.end()) {
      targets.push_back(static_cast<std::uint64_t>(relocation->r_addend));
    } else if (data != nullptr && view.pointer_size == 8) {
      std::uint64_t value = 0;
      std::memcpy(&value, static_cast<const char *>(data->d_buf) + i * 8, 8);
      targets.push_back(value);
    } else if (data != nullptr) {
      std::uint32_t value = 0;
      std::memcpy(&value, static_cast<const char *>(data->d_buf) + i * 4, 4);
      targets.push_back(value);
    } else {
      targets.push_back(0);
    }
  }
  return targets;
}

// The name the symbol table gives the function at `address`; empty when it
// gives none.
std::string function_at(Elf *elf, Layout &layout, std::uint64_t address) {
  std::string found;
  for_each_symbol(elf, layout, layout.symtab, [&](const GElf_Sym &symbol, const std::string &name) {
    const unsigned type = GELF_ST_TYPE(symbol.st_info);
    if (found.empty() && !name.empty() && symbol.st_value == address &&
        (type == STT_FUNC || type == STT_GNU_IFUNC)) {
      found = name;
    }
  });
  return found;
}

// An INIT_ARRAY or FINI_ARRAY, and what the C runtime puts in it.
struct Array {
  std::int64_t address_tag;
  std::int64_t size_tag;
  const char *name;
  const char *runtime_function;  // crtbeginS.o's one entry
  const char *when;
};

constexpr Array init_array{DT_INIT_ARRAY, DT_INIT_ARRAYSZ, "INIT_ARRAY", "frame_dummy", "load"};
constexpr Array fini_array{DT_FINI_ARRAY, DT_FINI_ARRAYSZ, "FINI_ARRAY", "__do_global_dtors_aux",
                           "unload"};

std::uint64_t entries_of(const Layout &layout, const Array &array, std::size_t pointer_size) {
  return dynamic_value(layout, array.size_tag).value_or(0) / pointer_size;
}

// The weak imports gcc's and clang's start files (crti.o, crtbeginS.o) leave
// in every library they link, with no other use.
constexpr std::array<const char *, 4> runtime_imports = {
    "__cxa_finalize", "_ITM_registerTMCloneTable", "_ITM_deregisterTMCloneTable", "__gmon_start__"};

// What a file without a symbol table lacks of the C runtime's usual shape: an
// entry in both INIT_ARRAY and FINI_ARRAY, and the start files' weak imports.
std::vector<std::string> missing_runtime_shape(const Layout &layout, const RunTimeView &view) {
  std::vector<std::string> missing;
  for (const Array *array : {&init_array, &fini_array}) {
    if (entries_of(layout, *array, view.pointer_size) == 0) {
      missing.push_back(std::string("the C runtime's ") + array->name + " entry");
    }
  }
  std::string imports_missing;
  for (const char *name : runtime_imports) {
    const bool weak = std::any_of(view.symbols.begin(), view.symbols.end(), [&](const auto &s) {
      return s.symbol.st_shndx == SHN_UNDEF && GELF_ST_BIND(s.symbol.st_info) == STB_WEAK &&
             s.name == name;
    });
    if (!weak) {
      imports_missing += (imports_missing.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!imports_missing.empty()) {
    missing.push_back("the weak import(s) " + imports_missing);
  }
  return missing;
}

std::string said_of(const std::string &function, const Array &array) {
  if (function == "set_fast_math") {
    return "runs set_fast_math at load: the start-up code that -ffast-math, -Ofast or "
           "-funsafe-math-optimizations link in, which turns on flush-to-zero for the whole host "
           "process, so every later result of the host's own floating-point code changes (link "
           "without those options)";
  }
  return "runs " + function + " at " + array.when;
}

// The rule: a library built by gcc or clang carries exactly one entry of its
// own C runtime in each array (crtbeginS.o's frame_dummy and
// __do_global_dtors_aux); any other is a function of the plug-in's, named
// from the symbol table where it has the name. An entry nothing names (the
// file is stripped, or its local symbols were discarded with -x) is the
// runtime's only when no named entry is, it is the only unnamed one, and
// the file has the runtime's whole shape.
std::vector<OwnCode> array_problems(Elf *elf, Layout &layout, const RunTimeView &view,
                                    const Array &array) {
  const std::uint64_t entries = entries_of(layout, array, view.pointer_size);
  if (entries == 0) {
    return {};
  }
  std::vector<OwnCode> problems;
  bool runtime_named = false;
  std::uint64_t unnamed = 0;
  const std::uint64_t address = dynamic_value(layout, array.address_tag).value_or(0);
  const std::vector<std::uint64_t> targets =
      layout.symtab != nullptr ? array_targets(elf, layout, view, address, entries)
                               : std::vector<std::uint64_t>(std::min(entries, most_array_entries));
  for (const std::uint64_t target : targets) {
    const std::string function =
        layout.symtab != nullptr ? function_at(elf, layout, target) : std::string();
    if (function == array.runtime_function) {
      runtime_named = true;
    } else if (function.empty()) {
      ++unnamed;
    } else {
      problems.push_back({said_of(function, array)});
    }
  }
  if (unnamed > 1 || (unnamed == 1 && runtime_named)) {
    const std::uint64_t own = runtime_named ? unnamed : unnamed - 1;
    problems.push_back({"runs " + std::to_string(own) + " unnamed function(s) of its own at " +
                        array.when + " (" + std::to_string(entries) + " " + array.name +
                        " entries where the C runtime needs 1)"});
  } else if (unnamed == 1) {
    const std::vector<std::string> missing = missing_runtime_shape(layout, view);
    const std::string text = tamrix_host::join(missing, ", ");
    if (!text.empty()) {
      problems.push_back({std::string("its one ") + array.name +
                              " entry may be a function of its own run at " + array.when +
                              ": no symbol of the file names it, and the file lacks the C "
                              "runtime's usual shape (missing " +
                              text + ")",
                          true});
    }
  }
  return problems;
}

// What DT_INIT (or DT_FINI) runs, when it is not the C runtime's _init (or
// _fini) at the start of the .init (.fini) section. Only a section header
// tells where that is: without one, the entry is a doubt.
std::optional<OwnCode> own_entry(const Layout &layout, std::int64_t tag,
                                 const std::optional<std::uint64_t> &runtime_section) {
  const bool init = tag == DT_INIT;
  const std::string name = init ? "DT_INIT" : "DT_FINI";
  const std::string when = init ? "load" : "unload";
  const std::string runtime = init ? "_init" : "_fini";
  const std::optional<std::uint64_t> entry = dynamic_value(layout, tag);
  if (!entry) {
    return std::nullopt;
  }
  if (layout.section_count == 0) {
    return OwnCode{"its " + name + " may run a function of its own at " + when +
                       ": the file has no section headers to show it is the C runtime's " + runtime,
                   true};
  }
  if (runtime_section != entry) {
    return OwnCode{"its " + name + " runs a function of its own at " + when +
                   ", not the C runtime's " + runtime};
  }
  return std::nullopt;
}

std::vector<OwnCode> code_at_load(Elf *elf, Layout &layout, const RunTimeView &view) {
  std::vector<OwnCode> problems;
  if (dynamic_value(layout, DT_PREINIT_ARRAYSZ).value_or(0) != 0 ||
      dynamic_value(layout, DT_PREINIT_ARRAY)) {
    problems.push_back({"has a PREINIT_ARRAY"});
  }
  const std::vector<OwnCode> array = array_problems(elf, layout, view, init_array);
  problems.insert(problems.end(), array.begin(), array.end());
  // The loader calls an indirect function's resolver, code of the plug-in's,
  // for each IRELATIVE relocation while it loads the file.
  const auto resolvers =
      std::count_if(view.relocations.begin(), view.relocations.end(), [&](const GElf_Rela &rela) {
        return view.irelative != 0 && GELF_R_TYPE(rela.r_info) == view.irelative;
      });
  if (resolvers != 0) {
    problems.push_back({"runs " + std::to_string(resolvers) +
                        " indirect-function resolver(s) at load (IRELATIVE relocations)"});
  }
  if (std::optional<OwnCode> own = own_entry(layout, DT_INIT, layout.init_section)) {
    problems.push_back(*own);
  }
  return problems;
}

// Exit handlers the C library keeps and runs at exit, or at the unload of the
// library that registered them, all pointing into the plug-in.
constexpr std::array<const char *, 7> exit_handler_imports = {"__cxa_atexit",
                                                              "atexit",
                                                              "on_exit",
                                                              "__cxa_thread_atexit",
                                                              "__cxa_thread_atexit_impl",
                                                              "at_quick_exit",
                                                              "__cxa_at_quick_exit"};

std::vector<OwnCode> code_at_unload(Elf *elf, Layout &layout, const RunTimeView &view) {
  std::vector<OwnCode> problems = array_problems(elf, layout, view, fini_array);
  if (std::optional<OwnCode> own = own_entry(layout, DT_FINI, layout.fini_section)) {
    problems.push_back(*own);
  }
  // The C runtime's own weak import of __cxa_finalize runs the handlers at
  // unload; it registers none, so it is not among them.
  for (const char *name : exit_handler_imports) {
    if (imports(view.symbols, name)) {
      problems.push_back({std::string("imports ") + name +
                          ": registers an exit handler, code of its own that runs when the host "
                          "exits or unloads it"});
    }
  }
  return problems;
}

// Why the loader would keep the file mapped after its unload.
std::vector<std::string> stays_loaded(const Layout &layout,
                                      const std::vector<DynamicSymbol> &symbols) {
  std::vector<std::string> reasons;
  if ((dynamic_value(layout, DT_FLAGS_1).value_or(0) & DF_1_NODELETE) != 0) {
    reasons.emplace_back("linked with -z nodelete");
  }
  for (const DynamicSymbol &symbol : symbols) {
    if (symbol.symbol.st_shndx != SHN_UNDEF &&
        GELF_ST_BIND(symbol.symbol.st_info) == STB_GNU_UNIQUE) {
      reasons.push_back("has STB_GNU_UNIQUE symbol " + symbol.name);
    }
  }
  return reasons;
}

// How the file asks to be loaded.
ElfLoading loading(const Layout &layout) {
  const std::uint64_t flags = dynamic_value(layout, DT_FLAGS).value_or(0);
  const std::uint64_t flags_1 = dynamic_value(layout, DT_FLAGS_1).value_or(0);
  ElfLoading loading;
  loading.relro_segment = layout.has_relro;
  loading.bound_at_load =
      dynamic_value(layout, DT_BIND_NOW) || (flags & DF_BIND_NOW) != 0 || (flags_1 & DF_1_NOW) != 0;
  loading.stack = !layout.stack_flags                 ? ElfLoading::Stack::unmarked
                  : (*layout.stack_flags & PF_X) != 0 ? ElfLoading::Stack::executable
                                                      : ElfLoading::Stack::not_executable;
  loading.text_relocations = dynamic_value(layout, DT_TEXTREL) || (flags & DF_TEXTREL) != 0;
  return loading;
}

// Why the file's thread-local storage takes the initial-exec model, which
// the loader can only serve from the static TLS block the C library sized at
// the host's start-up.
std::vector<std::string> static_tls(const Layout &layout, const RunTimeView &view,
                                    unsigned machine) {
  std::vector<std::string> reasons;
  if ((dynamic_value(layout, DT_FLAGS).value_or(0) & DF_STATIC_TLS) != 0) {
    reasons.emplace_back("its DT_FLAGS has DF_STATIC_TLS");
  }
  // A thread pointer offset the loader writes at load: the code reads the
  // variable at a fixed distance from the thread pointer.
  const std::vector<std::pair<unsigned, const char *>> initial_exec =
      machine == EM_X86_64
          ? std::vector<std::pair<unsigned, const char *>>{{R_X86_64_TPOFF64, "R_X86_64_TPOFF64"},
                                                           {R_X86_64_TPOFF32, "R_X86_64_TPOFF32"}}
      : machine == EM_AARCH64
          ? std::vector<std::pair<unsigned, const char *>>{{R_AARCH64_TLS_TPREL,
                                                            "R_AARCH64_TLS_TPREL64"}}
          : std::vector<std::pair<unsigned, const char *>>{};
  for (const auto &[type, name] : initial_exec) {
    const auto count = std::count_if(
        view.relocations.begin(), view.relocations.end(),
        [type = type](const GElf_Rela &rela) { return GELF_R_TYPE(rela.r_info) == type; });
    if (count != 0) {
      reasons.push_back("it has " + std::to_string(count) + " " + name + " relocation(s)");
    }
  }
  return reasons;
}

std::string expected() { return "this plugin-check loads " + tamrix_host::describe_loadable(); }

// Why the file at `path`, open as `fd`, is not even a candidate: it cannot be
// opened, is no regular file, or is a binary of another kind; empty when it
// is an ELF shared object for this machine, `size` bytes long.
std::string kind_problem(const std::string &path, int fd, std::uint64_t &size) {
  if (fd < 0) {
    return "cannot open " + path + ": " + std::error_code(errno, std::generic_category()).message();
  }
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    return path + " is not a regular file; " + expected();
  }
  size = static_cast<std::uint64_t>(status.st_size);
  const std::optional<tamrix_host::BinaryKind> kind = tamrix_host::binary_kind_of_file(path);
  if (!kind) {
    return "cannot read " + path;
  }
  if (*kind != tamrix_host::loadable_kind()) {
    return "the file is " + tamrix_host::describe(*kind) + "; " + expected();
  }
  return {};
}

std::string unreadable(const Layout &layout) {
  return "libelf cannot read the file's " + layout.libelf_error;
}

// Reads the headers into `layout`; why the file is no shared object a loader
// could link, or empty.
std::string layout_problem(Elf *elf, const GElf_Ehdr &header, std::uint64_t size, Layout &layout) {
  elf_errno();  // whatever an earlier file left is not this one's
  read_program_headers(elf, layout);
  read_section_headers(elf, layout);
  // libelf gives no count for section headers it cannot read; the ELF header
  // still says how many there should be (at least one when they exist at all).
  const std::uint64_t sections =
      layout.section_count != 0
          ? layout.section_count
          : std::max<std::uint64_t>(header.e_shnum, header.e_shoff != 0 ? 1 : 0);
  layout.extent = std::max(layout.extent, end_of(header.e_shoff, sections * header.e_shentsize));
  if (layout.extent > size) {
    // What libelf cannot read it reports as absent, not as damage.
    return "the file is cut short: " + std::to_string(size) + " bytes where its headers need " +
           std::to_string(layout.extent);
  }
  if (!layout.libelf_error.empty()) {
    return unreadable(layout);
  }
  if (layout.has_interp || (dynamic_value(layout, DT_FLAGS_1).value_or(0) & DF_1_PIE) != 0) {
    return "the file is a position-independent executable, not a shared object; " + expected();
  }
  if (layout.dynamic.empty()) {
    return "the file has no dynamic section, so no loader can link it; " + expected();
  }
  return {};
}

// What the loader would do with a file whose headers hold together.
void read_facts(Elf *elf, const GElf_Ehdr &header, Layout &layout, PluginFile &file) {
  const std::size_t pointer_size = gelf_getclass(elf) == ELFCLASS64 ? 8 : 4;
  const Strings strings = dynamic_strings(elf, layout);
  read_needed(layout, strings, file);
  RunTimeView view;
  view.relocations = dynamic_relocations(elf, layout);
  view.symbols = dynamic_symbols(elf, layout, strings, view.relocations);
  view.relative = header.e_machine == EM_X86_64    ? R_X86_64_RELATIVE
                  : header.e_machine == EM_AARCH64 ? R_AARCH64_RELATIVE
                                                   : 0;
  view.irelative = header.e_machine == EM_X86_64    ? R_X86_64_IRELATIVE
                   : header.e_machine == EM_AARCH64 ? R_AARCH64_IRELATIVE
                                                    : 0;
  view.pointer_size = pointer_size;
  read_exports(layout, view.symbols, pointer_size, file);
  for (const DynamicSymbol &symbol : view.symbols) {
    if (symbol.symbol.st_shndx == SHN_UNDEF && !symbol.name.empty()) {
      file.imports.push_back(symbol.name);
    }
  }
  file.runs_at_load = code_at_load(elf, layout, view);
  file.runs_at_unload = code_at_unload(elf, layout, view);
  file.stays_loaded = stays_loaded(layout, view.symbols);
  file.engine = file.engine || imports_engine(view.symbols);
  file.elf = loading(layout);
  file.elf->static_tls = static_tls(layout, view, header.e_machine);
}

}  // namespace

PluginFile read_plugin_file(const std::string &path) {
  PluginFile file;
  // Non-blocking, or a FIFO named as the plug-in would wait for a writer forever.
  const FileDescriptor descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  std::uint64_t size = 0;
  file.format_problem = kind_problem(path, descriptor.fd, size);
  if (!file.format_problem.empty()) {
    return file;
  }
  if (elf_version(EV_CURRENT) == EV_NONE) {
    file.format_problem = "libelf cannot read this ELF version: " + elf_error();
    return file;
  }
  const ElfFile elf(elf_begin(descriptor.fd, ELF_C_READ, nullptr));
  GElf_Ehdr header;
  if (elf.elf == nullptr || elf_kind(elf.elf) != ELF_K_ELF ||
      gelf_getehdr(elf.elf, &header) == nullptr) {
    file.format_problem = "the file has a damaged ELF header: " + elf_error();
    return file;
  }
  Layout layout;
  file.format_problem = layout_problem(elf.elf, header, size, layout);
  if (!file.format_problem.empty()) {
    return file;
  }
  read_facts(elf.elf, header, layout, file);
  // Whatever libelf could not read is the file's problem, not an absence
  // for a later check to misread.
  if (!layout.libelf_error.empty()) {
    file.format_problem = unreadable(layout);
  }
  return file;
}

}  // namespace plugin_check
