// The file checks: each a judgement of what the reader learnt from the file,
// registered beside its code.
#include <algorithm>
#include <cstddef>
#include <string>

#include "inspect/plugin_file.hpp"
#include "programs/join.hpp"
#include "registry.hpp"

namespace plugin_check {
namespace {

using tamrix_host::join;

Outcome fails_for(const std::vector<std::string> &problems) {
  if (problems.empty()) {
    return passed();
  }
  return failed(join(problems, "; "));
}

// ---- The file's format: the gate of every other file check

Outcome file_format(const PluginFile &file) {
  return file.format_problem.empty() ? passed() : failed(file.format_problem);
}

const Registration file_format_check{{
    .name = "file-format",
    .proves = "the file is a shared library for this machine and word size",
    .fix = "build it as a shared library for this machine and word size",
    .stage = Stage::file,
    .group = Group::file,
    .gate = true,
    .judge = file_format,
}};

// What a check needs but cannot read: never a pass, and never a skip that
// --strict would let through.
Outcome unreadable(const std::string &why) { return {Verdict::warn, why}; }

// ---- The thirteen names

Outcome exports(const PluginFile &file) {
  if (file.exports_unreadable) {
    return unreadable(*file.exports_unreadable);
  }
  std::vector<std::string> problems;
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < contract_names.size(); ++i) {
    const std::string name = contract_names[i];
    const auto found =
        std::find_if(file.exports.begin(), file.exports.end(),
                     [&](const ExportedSymbol &symbol) { return symbol.name == name; });
    if (found == file.exports.end()) {
      missing.push_back(name);
      continue;
    }
    const std::string &defect =
        i < contract_row_count ? found->defect_as_row : found->defect_as_function;
    if (!defect.empty()) {
      problems.push_back(name);
      problems.back().append(" ").append(defect);
    }
  }
  if (!missing.empty()) {
    problems.insert(problems.begin(), "missing " + join(missing, ", "));
  }
  return fails_for(problems);
}

const Registration exports_check{{
    .name = "exports",
    .proves = "the thirteen names are exported, the rows as writable pointer-sized data and the "
              "functions as code",
    .fix = "define all thirteen names from the kit's header, the rows as variables and the hooks "
           "as functions",
    .stage = Stage::file,
    .group = Group::file,
    .judge = exports,
}};

// ---- Code of the plug-in's own, run by the loader

// A fail when any code is certainly the plug-in's own, else a warning when
// some may be.
Outcome own_code(const std::vector<OwnCode> &code, const std::string &unknown) {
  if (!unknown.empty()) {
    return skipped(unknown);
  }
  Outcome outcome = passed();
  for (const OwnCode &each : code) {
    outcome.reason += (outcome.reason.empty() ? "" : "; ") + each.what;
    const Verdict verdict = each.doubtful ? Verdict::warn : Verdict::fail;
    if (verdict == Verdict::fail || outcome.verdict == Verdict::pass) {
      outcome.verdict = verdict;
    }
  }
  return outcome;
}

Outcome no_code_at_load(const PluginFile &file) {
  return own_code(file.runs_at_load, file.load_code_unknown);
}

const Registration no_code_at_load_check{{
    .name = "no-code-at-load",
    .proves = "loading the file runs no code of the plug-in's own: no constructor, PREINIT_ARRAY, "
              "DT_INIT or indirect-function resolver",
    .fix = "do that work in tamrix_physics_init, not in a constructor or resolver",
    .stage = Stage::file,
    .group = Group::file,
    .judge = no_code_at_load,
}};

Outcome no_code_at_unload(const PluginFile &file) {
  return own_code(file.runs_at_unload, file.unload_code_unknown);
}

const Registration no_code_at_unload_check{{
    .name = "no-code-at-unload",
    .proves = "unloading the file runs no code of the plug-in's own: no destructor, DT_FINI or "
              "exit handler",
    .fix = "do that work in tamrix_physics_cleanup, not in a destructor or exit handler",
    .stage = Stage::file,
    .group = Group::file,
    .judge = no_code_at_unload,
}};

// ---- Nothing more than the contract

Outcome extra_exports(const PluginFile &file) {
  if (file.exports_unreadable) {
    return unreadable(*file.exports_unreadable);
  }
  std::vector<std::string> extra;
  for (const ExportedSymbol &symbol : file.exports) {
    if (std::find(contract_names.begin(), contract_names.end(), symbol.name) ==
        contract_names.end()) {
      extra.push_back(symbol.name);
    }
  }
  if (extra.empty()) {
    return passed();
  }
  // A library that exports a whole runtime would give a line of megabytes.
  constexpr std::size_t shown = 10;
  const std::size_t count = extra.size();
  if (count > shown) {
    extra.resize(shown);
    extra.push_back("and " + std::to_string(count - shown) + " more");
  }
  // Any other exported name can capture a host's or another plug-in's symbol.
  return failed(std::to_string(count) +
                " exported name(s) beyond the contract's 13: " + join(extra, ", "));
}

const Registration extra_exports_check{{
    .name = "extra-exports",
    .proves = "nothing is exported beyond the thirteen names",
    .fix = "export only the thirteen names (a version script or -fvisibility=hidden)",
    .level = Level::warning,
    .stage = Stage::file,
    .group = Group::file,
    .judge = extra_exports,
}};

Outcome needed(const PluginFile &file) {
  if (file.foreign_needed.empty()) {
    return passed();
  }
  return failed("needs libraries beyond the system's C runtime and loader: " +
                join(file.foreign_needed, "; "));
}

const Registration needed_check{{
    .name = "needed",
    .proves = "the file needs no library beyond the system's C runtime and loader, and the "
              "host's own rigid-body engine",
    .fix = "link those libraries in statically, or do without them",
    .level = Level::warning,
    .stage = Stage::file,
    .group = Group::file,
    .judge = needed,
}};

// ---- How the file asks to be loaded

// The reader of the file's format gave no facts for these checks.
Outcome no_facts() { return skipped("the file reader has no finding for it here"); }

Outcome relro(const PluginFile &file) {
  if (!file.elf) {
    return no_facts();
  }
  std::vector<std::string> problems;
  if (!file.elf->relro_segment) {
    problems.emplace_back("no RELRO segment: its relocated data stays writable");
  }
  if (!file.elf->bound_at_load) {
    problems.emplace_back("not bound at load: its GOT stays writable");
  }
  return fails_for(problems);
}

const Registration relro_check{{
    .name = "relro",
    .proves = "the relocated data and the GOT are read-only after load (full RELRO)",
    .fix = "link with -Wl,-z,relro,-z,now",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .stage = Stage::file,
    .group = Group::file,
    .elsewhere = "an ELF property",
    .judge = relro,
}};

Outcome exec_stack(const PluginFile &file) {
  if (!file.elf) {
    return no_facts();
  }
  switch (file.elf->stack) {
    case ElfLoading::Stack::unmarked:
      return failed("no GNU_STACK marking, so the loader may make the host's stacks executable");
    case ElfLoading::Stack::executable:
      return failed(
          "asks for an executable stack, which the loader then gives the whole host process");
    case ElfLoading::Stack::not_executable:
      break;
  }
  return passed();
}

const Registration exec_stack_check{{
    .name = "exec-stack",
    .proves = "the file asks for no executable stack",
    .fix = "link with -Wl,-z,noexecstack",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .stage = Stage::file,
    .group = Group::file,
    .elsewhere = "an ELF property",
    .judge = exec_stack,
}};

Outcome textrel(const PluginFile &file) {
  if (!file.elf) {
    return no_facts();
  }
  if (file.elf->text_relocations) {
    return failed("has text relocations: its code is patched at load");
  }
  return passed();
}

const Registration textrel_check{{
    .name = "textrel",
    .proves = "the file's code is not patched at load (no text relocations)",
    .fix = "compile every object with -fPIC",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .stage = Stage::file,
    .group = Group::file,
    .elsewhere = "an ELF property",
    .judge = textrel,
}};

Outcome dll_characteristics(const PluginFile &file) {
  if (!file.dll) {
    return no_facts();
  }
  std::vector<std::string> missing;
  if (!file.dll->dynamic_base) {
    missing.emplace_back("DYNAMIC_BASE (ASLR)");
  }
  if (!file.dll->high_entropy_va) {
    missing.emplace_back("HIGH_ENTROPY_VA (64-bit ASLR)");
  }
  if (!file.dll->nx_compat) {
    missing.emplace_back("NX_COMPAT (DEP)");
  }
  if (missing.empty()) {
    return passed();
  }
  return failed("lacks " + join(missing, ", "));
}

const Registration dll_characteristics_check{{
    .name = "dll-characteristics",
    .proves = "the DLL asks for ASLR, high-entropy ASLR and DEP",
    .fix = "link with /DYNAMICBASE, /HIGHENTROPYVA and /NXCOMPAT (or their MinGW options)",
    .level = Level::warning,
    .platforms = Platforms::windows_only,
    .stage = Stage::file,
    .group = Group::file,
    .elsewhere = "a property of DLLs",
    .judge = dll_characteristics,
}};

Outcome tls_model(const PluginFile &file) {
  if (!file.elf) {
    return no_facts();
  }
  if (file.elf->static_tls.empty()) {
    return passed();
  }
  return failed("its thread-local variables take the initial-exec model (" +
                join(file.elf->static_tls, "; ") +
                "), which a library loaded after the host started can only have from the C "
                "library's small static TLS reserve: once that is spent, loading fails with "
                "\"cannot allocate memory in static TLS block\"");
}

const Registration tls_model_check{{
    .name = "tls-model",
    .proves = "the file's thread-local variables need no room in the host's static TLS block "
              "(no initial-exec model)",
    .fix = "compile thread-local variables with the default global-dynamic model, without "
           "-ftls-model=initial-exec",
    .level = Level::warning,
    .platforms = Platforms::linux_only,
    .stage = Stage::file,
    .group = Group::file,
    .elsewhere = "an ELF property",
    .judge = tls_model,
}};

}  // namespace
}  // namespace plugin_check
