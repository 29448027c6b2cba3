// What a reader of one binary format learns from a plug-in file, for the
// checks that are the same on every platform to judge.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "contract.hpp"
#include "file_checks.hpp"

namespace plugin_check {

struct ExportedSymbol {
  std::string name;
  // Why it would not serve as a service table row or as a hook, e.g. "is a
  // function, not a data object"; empty when it would.
  std::string defect_as_row;
  std::string defect_as_function;
};

struct PluginFile {
  // Empty when the file is a plug-in for this program's platform; otherwise
  // one line saying what it is and what was expected.
  std::string format_problem;
  // Set when the file's exports cannot be read; the reason for skipping.
  std::optional<std::string> exports_unreadable;
  std::vector<ExportedSymbol> exports;
  // NEEDED entries or imports beyond the system's C library and loader,
  // each with what it is.
  std::vector<std::string> foreign_needed;
  // Format-specific findings of the contract (code at load, code at unload).
  // When the format is wrong they are there as skips, so every check is named.
  std::vector<Finding> contract;
  // Format-specific hardening findings; a fail here is a warning unless strict.
  std::vector<Finding> hardening;
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
