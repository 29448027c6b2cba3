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

#include "binary_kind.hpp"
#include "plugin_file.hpp"

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
  Elf_Scn *dynsym = nullptr;
  Elf_Scn *symtab = nullptr;
  std::vector<GElf_Phdr> loads;               // where each loaded address lies in the file
  std::optional<std::uint64_t> init_section;  // address of ".init", where the C runtime's _init is
};

void read_program_headers(Elf *elf, Layout &layout) {
  std::size_t count = 0;
  if (elf_getphdrnum(elf, &count) != 0) {
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    GElf_Phdr header;
    if (gelf_getphdr(elf, static_cast<int>(i), &header) == nullptr) {
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
      case PT_DYNAMIC: {
        // From the segment, not the section: it is what the loader reads, and
        // it is there even when section headers were stripped.
        Elf_Data *data = elf_getdata_rawchunk(elf, static_cast<int64_t>(header.p_offset),
                                              header.p_filesz, ELF_T_DYN);
        const std::size_t entry = gelf_fsize(elf, ELF_T_DYN, 1, EV_CURRENT);
        for (std::size_t n = 0; data != nullptr && entry != 0 && n < header.p_filesz / entry; ++n) {
          GElf_Dyn dyn;
          if (gelf_getdyn(data, static_cast<int>(n), &dyn) == nullptr || dyn.d_tag == DT_NULL) {
            break;
          }
          layout.dynamic.push_back(dyn);
        }
        break;
      }
      default:
        break;
    }
  }
}

void read_section_headers(Elf *elf, Layout &layout) {
  std::size_t names = 0;
  if (elf_getshdrnum(elf, &layout.section_count) != 0 || elf_getshdrstrndx(elf, &names) != 0) {
    layout.section_count = 0;
    return;
  }
  for (Elf_Scn *section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr) {
      continue;
    }
    if (header.sh_type != SHT_NOBITS) {
      layout.extent = std::max(layout.extent, end_of(header.sh_offset, header.sh_size));
    }
    if (header.sh_type == SHT_DYNSYM) {
      layout.dynsym = section;
    } else if (header.sh_type == SHT_SYMTAB) {
      layout.symtab = section;
    } else if (header.sh_type == SHT_PROGBITS) {
      const char *name = elf_strptr(elf, names, header.sh_name);
      if (name != nullptr && std::string(name) == ".init") {
        layout.init_section = header.sh_addr;
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

std::optional<GElf_Shdr> section_header(Elf *elf, std::size_t index) {
  Elf_Scn *section = elf_getscn(elf, index);
  GElf_Shdr header;
  if (section == nullptr || gelf_getshdr(section, &header) == nullptr) {
    return std::nullopt;
  }
  return header;
}

// Calls `visit(symbol, name)` for each symbol of the table `section`.
template <typename Visit>
void for_each_symbol(Elf *elf, Elf_Scn *section, Visit visit) {
  GElf_Shdr header;
  if (section == nullptr || gelf_getshdr(section, &header) == nullptr || header.sh_entsize == 0) {
    return;
  }
  Elf_Data *data = elf_getdata(section, nullptr);
  if (data == nullptr) {
    return;
  }
  const std::size_t count = data->d_size / header.sh_entsize;
  for (std::size_t i = 1; i < count; ++i) {  // entry 0 is the null symbol
    GElf_Sym symbol;
    if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr) {
      break;
    }
    const char *name = elf_strptr(elf, header.sh_link, symbol.st_name);
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

ExportedSymbol judge_symbol(Elf *elf, const Layout &layout, const GElf_Sym &symbol,
                            std::string name, std::size_t pointer_size) {
  ExportedSymbol exported{std::move(name), "", ""};
  const unsigned type = GELF_ST_TYPE(symbol.st_info);
  const std::optional<GElf_Shdr> section = section_header(elf, symbol.st_shndx);
  const std::uint64_t flags = section ? section->sh_flags : 0;

  if (type != STT_OBJECT) {
    exported.defect_as_row = "is " + symbol_type(type) + ", not a data object";
  } else if (symbol.st_size != pointer_size) {
    exported.defect_as_row = "is " + std::to_string(symbol.st_size) + " bytes, not a pointer of " +
                             std::to_string(pointer_size);
  } else if ((flags & SHF_WRITE) == 0 ||
             (layout.has_relro && symbol.st_value >= layout.relro_start &&
              symbol.st_value < layout.relro_end)) {
    // A const row would crash the host's set-up call.
    exported.defect_as_row = "is read-only after load (declared const?), so set-up cannot store it";
  }

  if (type == STT_GNU_IFUNC) {
    exported.defect_as_function = "is an indirect function, whose resolver runs at load";
  } else if (type != STT_FUNC) {
    exported.defect_as_function = "is " + symbol_type(type) + ", not a function";
  } else if ((flags & SHF_EXECINSTR) == 0) {
    exported.defect_as_function = "does not lie in an executable section";
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

void read_exports(Elf *elf, const Layout &layout, std::size_t pointer_size, PluginFile &file) {
  if (layout.section_count == 0) {
    file.exports_unreadable = "the file has no section headers, so its exports cannot be listed";
    return;
  }
  for_each_symbol(elf, layout.dynsym, [&](const GElf_Sym &symbol, std::string name) {
    if (is_exported(symbol)) {
      file.exports.push_back(judge_symbol(elf, layout, symbol, std::move(name), pointer_size));
    }
  });
}

bool system_library(const std::string &name) {
  // libpthread.so.0 is part of glibc (a stub since 2.34); a plug-in linked on
  // an older glibc names it for the mutex calls, and every glibc system has it.
  return name == "libc.so.6" || name == "libpthread.so.0" || name.rfind("ld-linux", 0) == 0;
}

// The file offset of a loaded address, as the loader maps it.
std::optional<std::uint64_t> file_offset(const Layout &layout, std::uint64_t address) {
  for (const GElf_Phdr &load : layout.loads) {
    if (address >= load.p_vaddr && address - load.p_vaddr < load.p_filesz) {
      return load.p_offset + (address - load.p_vaddr);
    }
  }
  return std::nullopt;
}

// Names are read through the dynamic segment, as the loader reads them, so
// a file without section headers is judged too.
void read_needed(Elf *elf, const Layout &layout, PluginFile &file) {
  const std::optional<std::uint64_t> table =
      file_offset(layout, dynamic_value(layout, DT_STRTAB).value_or(0));
  const std::uint64_t size = dynamic_value(layout, DT_STRSZ).value_or(0);
  Elf_Data *strings =
      table ? elf_getdata_rawchunk(elf, static_cast<int64_t>(*table), size, ELF_T_BYTE) : nullptr;
  const auto *bytes = strings != nullptr ? static_cast<const char *>(strings->d_buf) : nullptr;
  for (const GElf_Dyn &dyn : layout.dynamic) {
    if (dyn.d_tag != DT_NEEDED) {
      continue;
    }
    const std::uint64_t at = dyn.d_un.d_val;
    const char *end = bytes != nullptr && at < size
                          ? static_cast<const char *>(std::memchr(bytes + at, 0, size - at))
                          : nullptr;
    if (end == nullptr) {
      file.foreign_needed.emplace_back("a library whose name cannot be read");
    } else if (const std::string name(bytes + at, end); !system_library(name)) {
      file.foreign_needed.push_back(name);
    }
  }
}

// The loader calls an indirect function's resolver, code of the plug-in's,
// for each IRELATIVE relocation while it loads the file.
std::size_t indirect_relocations(Elf *elf, const Layout &layout) {
  GElf_Ehdr header;
  if (gelf_getehdr(elf, &header) == nullptr) {
    return 0;
  }
  const unsigned irelative = header.e_machine == EM_X86_64    ? R_X86_64_IRELATIVE
                             : header.e_machine == EM_AARCH64 ? R_AARCH64_IRELATIVE
                                                              : 0;
  const std::size_t entry = gelf_fsize(elf, ELF_T_RELA, 1, EV_CURRENT);
  std::size_t count = 0;
  for (const auto &[table, size] :
       {std::pair{DT_RELA, DT_RELASZ}, std::pair{DT_JMPREL, DT_PLTRELSZ}}) {
    const std::optional<std::uint64_t> at =
        file_offset(layout, dynamic_value(layout, table).value_or(0));
    const std::uint64_t bytes = dynamic_value(layout, size).value_or(0);
    Elf_Data *data = at && bytes != 0 && entry != 0
                         ? elf_getdata_rawchunk(elf, static_cast<int64_t>(*at), bytes, ELF_T_RELA)
                         : nullptr;
    for (std::size_t i = 0; data != nullptr && i < bytes / entry; ++i) {
      GElf_Rela relocation;
      if (gelf_getrela(data, static_cast<int>(i), &relocation) == nullptr) {
        break;
      }
      count += irelative != 0 && GELF_R_TYPE(relocation.r_info) == irelative ? 1 : 0;
    }
  }
  return count;
}

// The rule: a library built by gcc or clang carries exactly one INIT_ARRAY
// entry of its own C runtime (crtbeginS.o's frame_dummy) and one FINI_ARRAY
// entry (__do_global_dtors_aux); any more is a constructor or destructor of
// the plug-in's. When the symbol table is still there, the one entry must be
// the runtime's; a stripped file cannot tell, and gets the benefit of it.
std::vector<std::string> code_at_load(Elf *elf, const Layout &layout, std::size_t pointer_size) {
  std::vector<std::string> problems;
  if (dynamic_value(layout, DT_PREINIT_ARRAYSZ).value_or(0) != 0 ||
      dynamic_value(layout, DT_PREINIT_ARRAY)) {
    problems.emplace_back("has a PREINIT_ARRAY");
  }
  struct Array {
    std::int64_t address_tag;
    std::int64_t size_tag;
    const char *runtime_entry;
    const char *when;
  };
  for (const Array &array :
       {Array{DT_INIT_ARRAY, DT_INIT_ARRAYSZ, "__frame_dummy_init_array_entry", "load"},
        Array{DT_FINI_ARRAY, DT_FINI_ARRAYSZ, "__do_global_dtors_aux_fini_array_entry",
              "unload"}}) {
    const std::uint64_t entries = dynamic_value(layout, array.size_tag).value_or(0) / pointer_size;
    const std::uint64_t address = dynamic_value(layout, array.address_tag).value_or(0);
    if (entries > 1) {
      problems.push_back("runs " + std::to_string(entries - 1) + " function(s) of its own at " +
                         array.when + " (" + std::to_string(entries) +
                         " entries where the C runtime needs 1)");
      continue;
    }
    if (entries == 1 && layout.symtab != nullptr) {
      bool runtime = false;
      for_each_symbol(elf, layout.symtab, [&](const GElf_Sym &symbol, const std::string &name) {
        runtime = runtime || (symbol.st_value == address && name == array.runtime_entry);
      });
      if (!runtime) {
        problems.push_back(std::string("runs a function of its own at ") + array.when +
                           " in place of the C runtime's");
      }
    }
  }
  if (const std::size_t resolvers = indirect_relocations(elf, layout); resolvers != 0) {
    problems.push_back("runs " + std::to_string(resolvers) +
                       " indirect-function resolver(s) at load (IRELATIVE relocations)");
  }
  const std::optional<std::uint64_t> init = dynamic_value(layout, DT_INIT);
  if (init && layout.section_count != 0 && layout.init_section != init) {
    problems.emplace_back(
        "its DT_INIT runs a function of its own at load, not the C runtime's _init");
  }
  return problems;
}

Finding finding(const char *check, const std::vector<std::string> &problems) {
  std::string reason;
  for (const std::string &problem : problems) {
    reason += (reason.empty() ? "" : "; ") + problem;
  }
  return {check, problems.empty() ? Verdict::pass : Verdict::fail, reason};
}

void read_hardening(const Layout &layout, PluginFile &file) {
  const std::uint64_t flags = dynamic_value(layout, DT_FLAGS).value_or(0);
  const std::uint64_t flags_1 = dynamic_value(layout, DT_FLAGS_1).value_or(0);
  std::vector<std::string> relro;
  if (!layout.has_relro) {
    relro.emplace_back("no RELRO segment: its relocated data stays writable (link with -z relro)");
  }
  if (!dynamic_value(layout, DT_BIND_NOW) && (flags & DF_BIND_NOW) == 0 &&
      (flags_1 & DF_1_NOW) == 0) {
    relro.emplace_back("not bound at load: its GOT stays writable (link with -z now)");
  }
  std::vector<std::string> stack;
  if (!layout.stack_flags) {
    stack.emplace_back(
        "no GNU_STACK marking, so the loader may make the host's stacks executable "
        "(link with -z noexecstack)");
  } else if ((*layout.stack_flags & PF_X) != 0) {
    stack.emplace_back(
        "asks for an executable stack, which the loader then gives the whole host process");
  }
  std::vector<std::string> textrel;
  if (dynamic_value(layout, DT_TEXTREL) || (flags & DF_TEXTREL) != 0) {
    textrel.emplace_back("has text relocations: its code is patched at load (compile with -fPIC)");
  }
  file.hardening = {finding("relro", relro), finding("exec-stack", stack),
                    finding("textrel", textrel)};
}

std::string expected() { return "this plugin-check loads " + tamrix_host::describe_loadable(); }

}  // namespace

PluginFile read_plugin_file(const std::string &path) {
  PluginFile file;
  file.contract = {{"no-code-at-load", Verdict::skip, ""}};
  file.hardening = {{"relro", Verdict::skip, ""},
                    {"exec-stack", Verdict::skip, ""},
                    {"textrel", Verdict::skip, ""}};

  // Non-blocking, or a FIFO named as the plug-in would wait for a writer forever.
  const FileDescriptor descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (descriptor.fd < 0) {
    file.format_problem =
        "cannot open " + path + ": " + std::error_code(errno, std::generic_category()).message();
    return file;
  }
  struct stat status {};
  if (fstat(descriptor.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    file.format_problem = path + " is not a regular file; " + expected();
    return file;
  }
  const std::optional<tamrix_host::BinaryKind> kind = tamrix_host::binary_kind_of_file(path);
  if (!kind) {
    file.format_problem = "cannot read " + path;
    return file;
  }
  if (*kind != tamrix_host::loadable_kind()) {
    file.format_problem = "the file is " + tamrix_host::describe(*kind) + "; " + expected();
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
  const std::size_t pointer_size = gelf_getclass(elf.elf) == ELFCLASS64 ? 8 : 4;

  Layout layout;
  read_program_headers(elf.elf, layout);
  read_section_headers(elf.elf, layout);
  // libelf gives no count for section headers it cannot read; the ELF header
  // still says how many there should be (at least one when they exist at all).
  const std::uint64_t sections =
      layout.section_count != 0
          ? layout.section_count
          : std::max<std::uint64_t>(header.e_shnum, header.e_shoff != 0 ? 1 : 0);
  layout.extent = std::max(layout.extent, end_of(header.e_shoff, sections * header.e_shentsize));
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (layout.extent > size) {
    // What libelf cannot read it reports as absent, not as damage.
    file.format_problem = "the file is cut short: " + std::to_string(size) +
                          " bytes where its headers need " + std::to_string(layout.extent);
    return file;
  }
  if (layout.has_interp || (dynamic_value(layout, DT_FLAGS_1).value_or(0) & DF_1_PIE) != 0) {
    file.format_problem =
        "the file is a position-independent executable, not a shared object; " + expected();
    return file;
  }
  if (layout.dynamic.empty()) {
    file.format_problem =
        "the file has no dynamic section, so no loader can link it; " + expected();
    return file;
  }

  read_exports(elf.elf, layout, pointer_size, file);
  read_needed(elf.elf, layout, file);
  file.contract = {finding("no-code-at-load", code_at_load(elf.elf, layout, pointer_size))};
  read_hardening(layout, file);
  return file;
}

}  // namespace plugin_check
