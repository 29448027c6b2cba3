// The PE reader, which every system builds, on DLLs built for the purpose:
// off Windows by the MinGW cross compiler, on Windows as the file checks'
// own inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "binary_kind/binary_kind.hpp"
#include "inspect/pe_file.hpp"
#include "inspect/plugin_file.hpp"
#include "observe/reach.hpp"

namespace {

#if defined(WINDOWS_DLL_PATH)
constexpr const char *clean_dll = WINDOWS_DLL_PATH;
constexpr const char *const_row_dll = WINDOWS_CONST_ROW_DLL_PATH;
constexpr const char *no_aslr_dll = WINDOWS_NO_ASLR_DLL_PATH;
#elif defined(INSPECT_NO_ASLR_PATH)  // Windows, where the inspect libraries are DLLs
constexpr const char *clean_dll = INSPECT_CLEAN_PATH;
constexpr const char *const_row_dll = INSPECT_CONST_ROW_PATH;
constexpr const char *no_aslr_dll = INSPECT_NO_ASLR_PATH;
#else
constexpr const char *clean_dll = nullptr;
constexpr const char *const_row_dll = nullptr;
constexpr const char *no_aslr_dll = nullptr;
#endif

#define SKIP_WITHOUT_DLLS()                                                                 \
  if (clean_dll == nullptr) {                                                               \
    GTEST_SKIP() << "no DLL to read: x86_64-w64-mingw32-gcc was not found when this build " \
                    "was configured";                                                       \
  }

tamrix_host::BinaryKind dll_for(const char *machine) {
  tamrix_host::BinaryKind kind;
  kind.format = tamrix_host::BinaryKind::Format::pe;
  kind.bits = 64;
  kind.machine = machine;
  kind.role = tamrix_host::BinaryKind::Role::library;
  return kind;
}

plugin_check::PluginFile read(const char *path) {
  return plugin_check::read_dll_file(path, dll_for("x86-64"));
}

std::vector<unsigned char> bytes_of(const char *path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const plugin_check::ExportedSymbol *exported(const plugin_check::PluginFile &file,
                                             const std::string &name) {
  const auto found =
      std::find_if(file.exports.begin(), file.exports.end(),
                   [&](const plugin_check::ExportedSymbol &symbol) { return symbol.name == name; });
  return found == file.exports.end() ? nullptr : &*found;
}

// The contract's rows are writable data and its hooks are code, as the
// section each export lies in says; the DLL needs nothing beyond the system.
TEST(PeReader, ReadsTheContractsExportsFromADll) {
  SKIP_WITHOUT_DLLS();
  const plugin_check::PluginFile file = read(clean_dll);
  ASSERT_EQ(file.format_problem, "");
  EXPECT_FALSE(file.exports_unreadable);
  for (std::size_t i = 0; i < plugin_check::contract_names.size(); ++i) {
    const plugin_check::ExportedSymbol *symbol =
        exported(file, std::string(plugin_check::contract_names.at(i)));
    ASSERT_NE(symbol, nullptr) << plugin_check::contract_names.at(i);
    const bool row = i < plugin_check::contract_row_count;
    EXPECT_EQ(row ? symbol->defect_as_row : symbol->defect_as_function, "") << symbol->name;
    EXPECT_NE(row ? symbol->defect_as_function : symbol->defect_as_row, "") << symbol->name;
  }
  EXPECT_TRUE(file.foreign_needed.empty()) << file.foreign_needed.front();
  EXPECT_FALSE(file.engine);
  EXPECT_NE(file.load_code_unknown, "");
}

// The reach check judges the DLL's own imports: what MinGW's runtime brings
// into every DLL is left out, what its code calls is read by name.
TEST(PeReader, ReadsTheDllsOwnImportsNotItsRuntimes) {
  SKIP_WITHOUT_DLLS();
  const std::vector<std::string> imports = read(clean_dll).imports;
  for (const char *own : {"strlen", "calloc"}) {
    EXPECT_NE(std::find(imports.begin(), imports.end(), own), imports.end()) << own;
  }
  for (const char *runtime : {"VirtualProtect", "_initterm", "fwrite", "EnterCriticalSection"}) {
    EXPECT_EQ(std::find(imports.begin(), imports.end(), runtime), imports.end()) << runtime;
  }
  EXPECT_TRUE(plugin_check::imported_reach(imports, false).empty());
}

TEST(PeReader, AConstRowIsReadOnly) {
  SKIP_WITHOUT_DLLS();
  const plugin_check::PluginFile file = read(const_row_dll);
  ASSERT_EQ(file.format_problem, "");
  const plugin_check::ExportedSymbol *row = exported(file, "dTamrixSendProc");
  ASSERT_NE(row, nullptr);
  EXPECT_NE(row->defect_as_row.find("read-only"), std::string::npos) << row->defect_as_row;
}

TEST(PeReader, ReadsWhatTheDllAsksOfTheLoader) {
  SKIP_WITHOUT_DLLS();
  const plugin_check::PluginFile hardened = read(clean_dll);
  ASSERT_TRUE(hardened.dll);
  EXPECT_TRUE(hardened.dll->dynamic_base);
  EXPECT_TRUE(hardened.dll->high_entropy_va);
  EXPECT_TRUE(hardened.dll->nx_compat);
  const plugin_check::PluginFile bare = read(no_aslr_dll);
  ASSERT_EQ(bare.format_problem, "");
  ASSERT_TRUE(bare.dll);
  EXPECT_FALSE(bare.dll->dynamic_base);
  EXPECT_FALSE(bare.dll->high_entropy_va);
  EXPECT_FALSE(bare.dll->nx_compat);
}

// A DLL for another machine, or a file of another format, is named as what
// it is, and nothing more is read from it.
TEST(PeReader, AFileOfAnotherKindIsNamed) {
  SKIP_WITHOUT_DLLS();
  const plugin_check::PluginFile other_machine =
      plugin_check::read_dll(bytes_of(clean_dll), dll_for("AArch64"));
  EXPECT_NE(other_machine.format_problem.find("the file is a PE32+ DLL for x86-64"),
            std::string::npos)
      << other_machine.format_problem;
  EXPECT_TRUE(other_machine.exports.empty());
  const plugin_check::PluginFile text =
      plugin_check::read_dll({'M', 'Z', 'h', 'i'}, dll_for("x86-64"));
  EXPECT_NE(text.format_problem.find("not a shared library"), std::string::npos)
      << text.format_problem;
}

TEST(PeReader, ACutShortCopyIsRejectedWhereverItEnds) {
  SKIP_WITHOUT_DLLS();
  const std::vector<unsigned char> whole = bytes_of(clean_dll);
  ASSERT_GT(whole.size(), std::size_t{1024});
  for (const std::size_t size : {std::size_t{2}, std::size_t{64}, std::size_t{0x80},
                                 std::size_t{400}, whole.size() / 2, whole.size() - 1}) {
    const std::vector<unsigned char> cut(whole.begin(),
                                         whole.begin() + static_cast<std::ptrdiff_t>(size));
    const plugin_check::PluginFile file = plugin_check::read_dll(cut, dll_for("x86-64"));
    EXPECT_NE(file.format_problem, "") << size;
    EXPECT_EQ(file.format_problem.find('\n'), std::string::npos) << file.format_problem;
  }
}

}  // namespace
