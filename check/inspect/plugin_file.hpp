// What a reader of one binary format learns from a plug-in file: facts, for
// the file checks to judge. No reader names a check.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "contract.hpp"

namespace plugin_check {

struct ExportedSymbol {
  std::string name;
  // Why it would not serve as a service table row or as a hook, e.g. "is a
  // function, not a data object"; empty when it would.
  std::string defect_as_row;
  std::string defect_as_function;
};

// Code of the plug-in's own that the loader would run, in a sentence such as
// "runs foo at load"; `doubtful` when the file only may hold it.
struct OwnCode {
  std::string what;
  bool doubtful = false;
};

// How an ELF file asks to be loaded, where it matters to the host.
struct ElfLoading {
  bool relro_segment = false;  // a PT_GNU_RELRO segment
  bool bound_at_load = false;  // BIND_NOW, DF_BIND_NOW or DF_1_NOW
  enum class Stack { unmarked, executable, not_executable } stack = Stack::unmarked;
  bool text_relocations = false;  // DT_TEXTREL or DF_TEXTREL
  // Why its thread-local variables take the initial-exec model, one reason
  // each ("its DT_FLAGS has DF_STATIC_TLS"); empty when they do not.
  std::vector<std::string> static_tls;
};

// What a DLL asks of the loader.
struct DllCharacteristics {
  bool dynamic_base = false;     // ASLR
  bool high_entropy_va = false;  // 64-bit ASLR
  bool nx_compat = false;        // DEP
};

struct PluginFile {
  // Empty when the file is a plug-in for this program's platform; otherwise
  // one line saying what it is and what was expected.
  std::string format_problem;
  // Set when the file's exports cannot be read, and why; the export checks
  // then warn (fail under --strict), never pass or skip.
  std::optional<std::string> exports_unreadable;
  std::vector<ExportedSymbol> exports;
  // NEEDED entries or imports beyond the system's C library and loader,
  // each with what it is.
  std::vector<std::string> foreign_needed;
  // Every function and variable the file imports by name, as the loader binds
  // them (the weak ones included), in the file's order.
  std::vector<std::string> imports;
  // Whether the plug-in acts on the host's rigid-body engine: it needs the
  // engine's library, which the host has loaded already, or imports its
  // functions. Such a plug-in is checked in an engine world.
  bool engine = false;
  // Code of the plug-in's own run when the file is loaded, and unloaded.
  std::vector<OwnCode> runs_at_load;
  std::vector<OwnCode> runs_at_unload;
  // Why the file cannot tell what runs at load, and at unload (a DLL's C
  // runtime entry point); empty when it can.
  std::string load_code_unknown;
  std::string unload_code_unknown;
  std::optional<ElfLoading> elf;          // for an ELF file
  std::optional<DllCharacteristics> dll;  // for a DLL
  // Why the loader would keep the file mapped after the host unloads it, one
  // reason each: "linked with -z nodelete", "has STB_GNU_UNIQUE symbol foo".
  // Empty when nothing in the file asks for it (and always for a DLL, whose
  // pinning happens at run time).
  std::vector<std::string> stays_loaded;
};

// Reads the file with the platform's own binary format reader, without
// loading it. Never throws for a bad file: every problem is in the result.
PluginFile read_plugin_file(const std::string &path);

// The thirteen names of the contract: the seven service table rows, then the
// six functions.
inline constexpr std::size_t contract_row_count = tamrix_host::contract::row_count;
inline constexpr const auto &contract_names = tamrix_host::contract::names;

}  // namespace plugin_check
