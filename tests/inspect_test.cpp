// plugin-check's reading of plug-in files, against files built for each fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "inspect/plugin_file.hpp"
#include "registry.hpp"
#include "run/battery.hpp"

#ifdef INSPECT_NEEDS_LIBM_PATH  // built on ELF platforms, which are POSIX
#include <sys/stat.h>
#endif

namespace {

using plugin_check::check_file;
using plugin_check::Finding;
using plugin_check::Verdict;
using plugin_check::verdict_word;

std::string show(const std::vector<Finding> &findings) {
  std::string text;
  for (const Finding &finding : findings) {
    text += std::string(verdict_word(finding.verdict)) + " " + finding.check + " " +
            finding.reason + "\n";
  }
  return text;
}

const Finding *find(const std::vector<Finding> &findings, const std::string &check) {
  const auto found = std::find_if(findings.begin(), findings.end(),
                                  [&](const Finding &finding) { return finding.check == check; });
  return found == findings.end() ? nullptr : &*found;
}

// Every check but those named in `except` passes, or is skipped with a
// reason where the file's format cannot tell (code at load in a DLL).
void expect_passes_except(const std::vector<Finding> &findings,
                          const std::vector<std::string> &except = {}) {
  for (const Finding &finding : findings) {
    if (std::find(except.begin(), except.end(), finding.check) != except.end()) {
      continue;
    }
    if (finding.verdict == Verdict::skip &&
        (finding.check == "no-code-at-load" || finding.check == "no-code-at-unload")) {
      EXPECT_NE(finding.reason, "") << show(findings);
    } else {
      EXPECT_EQ(finding.verdict, Verdict::pass) << show(findings);
    }
  }
}

// The file cannot be a plug-in here: one failure with a reason on one line,
// everything else skipped.
void expect_rejected_as_format(const std::string &path, const std::string &reason_part) {
  const plugin_check::FileReport report = check_file(path, true);
  EXPECT_FALSE(report.loadable);
  const std::vector<Finding> &findings = report.findings;
  ASSERT_FALSE(findings.empty());
  EXPECT_EQ(findings[0].check, "file-format");
  EXPECT_EQ(findings[0].verdict, Verdict::fail) << show(findings);
  EXPECT_NE(findings[0].reason.find(reason_part), std::string::npos) << findings[0].reason;
  EXPECT_EQ(findings[0].reason.find('\n'), std::string::npos);
  for (std::size_t i = 1; i < findings.size(); ++i) {
    EXPECT_EQ(findings[i].verdict, Verdict::skip) << show(findings);
  }
  // The same set of checks is named whatever the file, so reports line up.
  EXPECT_EQ(findings.size(), check_file(MY_PHYSICS1_PATH, true).findings.size());
}

class ScratchFiles : public ::testing::Test {
 protected:
  std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) /
      ("inspect_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));

  // Whatever an interrupted run left there goes first.
  void SetUp() override {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  std::string write(const std::string &file, const std::vector<char> &bytes) {
    const std::filesystem::path path = folder / file;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  static std::vector<char> read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

// Sound files: built the ordinary way, stripped or not, needing the C
// runtime's own libraries.
TEST(FileChecks, SoundPluginsPassEveryCheckStrictOrNot) {
  for (const char *path : {
           INSPECT_CLEAN_PATH,
#ifdef INSPECT_NEEDS_LIBM_PATH
           INSPECT_NEEDS_LIBM_PATH,
           INSPECT_STRIPPED_PATH,
           INSPECT_LOCALS_DISCARDED_PATH,
           INSPECT_DYNAMIC_TLS_PATH,
#endif
       }) {
    for (const bool strict : {false, true}) {
      const std::vector<Finding> findings = check_file(path, strict).findings;
      ASSERT_FALSE(findings.empty());
      EXPECT_EQ(findings[0].check, "file-format");
      expect_passes_except(findings);
      for (const char *check :
           {"exports", "no-code-at-load", "no-code-at-unload", "extra-exports", "needed"}) {
        EXPECT_NE(find(findings, check), nullptr) << path << " " << check;
      }
    }
  }
}

// The report and --list are made from the registrations: a finding of a check
// none registered would be printed under a name nothing documents.
TEST(FileChecks, EveryFindingIsAFileCheckOfTheTable) {
  for (const char *path : {MY_PHYSICS1_PATH, EMPTY_LIBRARY_PATH, PROGRAM_PATH}) {
    for (const Finding &finding : check_file(path, true).findings) {
      const plugin_check::Check *check = plugin_check::find_check(finding.check);
      ASSERT_NE(check, nullptr) << finding.check;
      EXPECT_EQ(check->stage, plugin_check::Stage::file) << finding.check;
    }
  }
}

TEST(FileChecks, MyPhysics1PassesEveryCheckStrictStrippedOrNot) {
  for (const char *path : {
           MY_PHYSICS1_PATH,
#ifdef STRIPPED_MY_PHYSICS1_PATH
           STRIPPED_MY_PHYSICS1_PATH,
#endif
       }) {
    SCOPED_TRACE(path);
#ifdef MY_PHYSICS1_INSTRUMENTED
    expect_passes_except(check_file(path, true).findings,
                         {"no-code-at-load", "no-code-at-unload", "needed"});
#else
    expect_passes_except(check_file(path, true).findings);
#endif
  }
}

struct Fault {
  const char *path;
  const char *check;
  const char *reason_part;  // names the culprit, so an author can find it
};

// Built like the plug-in, so in sanitizer and coverage builds it has their
// constructors and runtimes too: only its exports are asserted.
TEST(FileChecks, ALibraryWithoutTheNamesFailsExportsNamingAll) {
  const std::vector<Finding> findings = check_file(EMPTY_LIBRARY_PATH, false).findings;
  const Finding *exports = find(findings, "exports");
  ASSERT_NE(exports, nullptr);
  EXPECT_EQ(exports->verdict, Verdict::fail);
  EXPECT_NE(exports->reason.find("missing dTamrixGetGeomFromDEFProc, dTamrixGetBodyFromDEFProc"),
            std::string::npos)
      << exports->reason;
  EXPECT_NE(exports->reason.find("tamrix_physics_cleanup"), std::string::npos) << exports->reason;
}

// Some faults exist in one binary format only; their files are built, and
// their paths defined, only where they exist.
TEST(FileChecks, ContractFaultsFailTheirOwnCheckInEveryMode) {
  const std::vector<Fault> faults = {
      {INSPECT_MISSING_ROW_PATH, "exports", "missing dTamrixGetTimeProc"},
      {INSPECT_CONST_ROW_PATH, "exports", "dTamrixSendProc is read-only"},
      {INSPECT_ROW_AS_FUNCTION_PATH, "exports", "dTamrixSendProc"},
#ifdef INSPECT_OWN_INIT_PATH
      {INSPECT_CONSTRUCTOR_PATH, "no-code-at-load", "runs inspect_at_load at load"},
      {INSPECT_OWN_INIT_PATH, "no-code-at-load", "DT_INIT"},
      {INSPECT_IFUNC_PATH, "no-code-at-load", "resolver"},
      {INSPECT_FAST_MATH_PATH, "no-code-at-load", "runs set_fast_math at load"},
      {INSPECT_FAST_MATH_PATH, "no-code-at-load", "flush-to-zero for the whole host"},
      {INSPECT_DESTRUCTOR_PATH, "no-code-at-unload", "runs inspect_at_unload at unload"},
      {INSPECT_ATEXIT_PATH, "no-code-at-unload", "imports __cxa_atexit"},
#endif
  };
  for (const Fault &fault : faults) {
    for (const bool strict : {false, true}) {
      const std::vector<Finding> findings = check_file(fault.path, strict).findings;
      const Finding *finding = find(findings, fault.check);
      ASSERT_NE(finding, nullptr) << fault.path;
      EXPECT_EQ(finding->verdict, Verdict::fail) << fault.path << "\n" << show(findings);
      EXPECT_NE(finding->reason.find(fault.reason_part), std::string::npos) << finding->reason;
      expect_passes_except(findings, {fault.check});
    }
  }
}

TEST(FileChecks, HardeningFaultsWarnAndFailOnlyWhenStrict) {
  const std::vector<Fault> faults = {
      {INSPECT_EXTRA_EXPORT_PATH, "extra-exports", "inspect_helper"},
#ifdef INSPECT_NEEDS_LIBM_PATH
      {INSPECT_NEEDS_LIBSTDCXX_PATH, "needed", "libstdc++.so.6"},
      {INSPECT_STRIPPED_CONSTRUCTOR_PATH, "no-code-at-load",
       "no symbol of the file names it, and the file lacks the C runtime's usual shape (missing "
       "the C runtime's FINI_ARRAY entry, the weak import(s) __cxa_finalize"},
      {INSPECT_LAZY_PATH, "relro", "GOT stays writable"},
      {INSPECT_EXEC_STACK_PATH, "exec-stack", "executable stack"},
      {INSPECT_TEXTREL_PATH, "textrel", "text relocations"},
      // The AArch64 linker sets no DF_STATIC_TLS; the relocation is named on both.
      {INSPECT_INITIAL_EXEC_TLS_PATH, "tls-model", "initial-exec model ("},
#endif
#ifdef INSPECT_NO_ASLR_PATH
      {INSPECT_NEEDS_WINPTHREAD_PATH, "needed", "libwinpthread-1.dll"},
      {INSPECT_NO_ASLR_PATH, "dll-characteristics", "DYNAMIC_BASE"},
#endif
  };
  for (const Fault &fault : faults) {
    for (const bool strict : {false, true}) {
      const std::vector<Finding> findings = check_file(fault.path, strict).findings;
      const Finding *finding = find(findings, fault.check);
      ASSERT_NE(finding, nullptr) << fault.path;
      EXPECT_EQ(finding->verdict, strict ? Verdict::fail : Verdict::warn) << show(findings);
      EXPECT_NE(finding->reason.find(fault.reason_part), std::string::npos) << finding->reason;
      expect_passes_except(findings, {fault.check});
    }
  }
}

TEST(FileChecks, ProgramsAreNotPlugins) { expect_rejected_as_format(PROGRAM_PATH, "executable"); }

#ifdef FOREIGN_ELF_PATH
TEST(FileChecks, APluginForAnotherMachineIsNamedAsSuch) {
  expect_rejected_as_format(FOREIGN_ELF_PATH, "for " FOREIGN_ELF_MACHINE);
}
#endif

#ifdef WINDOWS_DLL_PATH
TEST(FileChecks, AWindowsDllIsNamedAsSuchOffWindows) {
  expect_rejected_as_format(WINDOWS_DLL_PATH, "a PE32+ DLL for x86-64");
}
#endif

TEST_F(ScratchFiles, WhatCannotBeReadGetsOneLine) {
  expect_rejected_as_format((folder / "absent.so").string(), "cannot open");
  expect_rejected_as_format(folder.string(), "not a regular file");
  expect_rejected_as_format(write("empty.so", {}), "not a shared library");
  expect_rejected_as_format(write("text.so", {'h', 'e', 'l', 'l', 'o', '\n'}),
                            "not a shared library");
}

TEST_F(ScratchFiles, ACutShortCopyIsRejectedWhereverItEnds) {
  const std::vector<char> whole = read(INSPECT_CLEAN_PATH);
  for (const std::size_t size :
       {std::size_t{4}, std::size_t{19}, std::size_t{64}, whole.size() / 2, whole.size() - 1}) {
    const std::string path =
        write("cut.so", std::vector<char>(whole.begin(), whole.begin() + static_cast<long>(size)));
    const std::vector<Finding> findings = check_file(path, false).findings;
    EXPECT_EQ(findings.at(0).verdict, Verdict::fail) << size << "\n" << show(findings);
  }
}

// Headers that promise more than the file holds must not make the reader
// walk off its end or allocate for them.
TEST_F(ScratchFiles, HostileHeadersGiveFindingsNotCrashes) {
  const std::vector<char> whole = read(INSPECT_CLEAN_PATH);
  struct Patch {
    std::size_t at;
    std::vector<unsigned char> bytes;
  };
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(whole.at(at)); };
  std::vector<Patch> patches;
  if (byte(0) == 'M') {  // PE: the headers start where the DOS header says
    const std::size_t pe = byte(0x3c) | (std::size_t{byte(0x3d)} << 8U);
    patches = {
        {0x3c, {0xf0, 0xff, 0xff, 0x7f}},     // e_lfanew far away
        {pe + 6, {0xff, 0xff}},               // NumberOfSections
        {pe + 20, {0xff, 0xff}},              // SizeOfOptionalHeader
        {pe + 4, {0x64, 0xaa}},               // claims AArch64
        {pe + 24 + 112, {0xf0, 0xff, 0xff}},  // export directory outside the file
    };
  } else {
    patches = {
        {60, {0xff, 0xff}},                                      // e_shnum
        {56, {0xff, 0xff}},                                      // e_phnum
        {40, {0, 0, 0, 0, 0, 0, 0, 0x80}},                       // e_shoff far away
        {32, {0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}},  // e_phoff near the top
        {4, {1}},                                                // claims 32-bit
        {18, {0x28, 0}},                                         // claims ARM
    };
  }
  for (const Patch &patch : patches) {
    std::vector<char> bytes = whole;
    std::copy(patch.bytes.begin(), patch.bytes.end(), bytes.begin() + static_cast<long>(patch.at));
    const std::vector<Finding> findings = check_file(write("patched.so", bytes), true).findings;
    ASSERT_FALSE(findings.empty());
    EXPECT_TRUE(
        std::any_of(findings.begin(), findings.end(),
                    [](const Finding &finding) { return finding.verdict == Verdict::fail; }))
        << "patch at " << patch.at << "\n"
        << show(findings);
  }
}

#ifdef INSPECT_NEEDS_LIBM_PATH
TEST_F(ScratchFiles, AFifoIsRejectedWithoutWaitingForAWriter) {
  const std::string path = (folder / "fifo.so").string();
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  expect_rejected_as_format(path, "not a regular file");
}

// The loader reads the dynamic segment alone. Without section headers, or
// with ones that tell another story, the file is judged as the loader sees
// it; what the headers alone could show is a doubt, which --strict fails.
std::vector<char> without_section_headers(std::vector<char> bytes) {
  std::fill(bytes.begin() + 40, bytes.begin() + 48, 0);  // e_shoff
  std::fill(bytes.begin() + 60, bytes.begin() + 64, 0);  // e_shnum, e_shstrndx
  return bytes;
}

TEST_F(ScratchFiles, WithoutSectionHeadersTheLoadersViewIsStillJudged) {
  const std::vector<Fault> faults = {
      {INSPECT_CONST_ROW_PATH, "exports", "dTamrixSendProc is read-only"},
      {INSPECT_ROW_AS_FUNCTION_PATH, "exports", "dTamrixSendProc is a function"},
      {INSPECT_MISSING_ROW_PATH, "exports", "missing dTamrixGetTimeProc"},
      {INSPECT_EXTRA_EXPORT_PATH, "extra-exports", "inspect_helper"},
      {INSPECT_NEEDS_LIBSTDCXX_PATH, "needed", "libstdc++.so.6"},
      {INSPECT_CONSTRUCTOR_PATH, "no-code-at-load", "unnamed"},
      {INSPECT_OWN_INIT_PATH, "no-code-at-load", "DT_INIT may run a function of its own"},
      {INSPECT_CLEAN_PATH, "no-code-at-unload", "DT_FINI may run a function of its own"},
      {INSPECT_INITIAL_EXEC_TLS_PATH, "tls-model", "1 R_"},
  };
  for (const Fault &fault : faults) {
    const std::string path = write("no_sections.so", without_section_headers(read(fault.path)));
    const std::vector<Finding> findings = check_file(path, true).findings;
    ASSERT_EQ(findings.at(0).verdict, Verdict::pass) << fault.path << "\n" << show(findings);
    const Finding *finding = find(findings, fault.check);
    ASSERT_NE(finding, nullptr);
    EXPECT_EQ(finding->verdict, Verdict::fail) << fault.path << "\n" << show(findings);
    EXPECT_NE(finding->reason.find(fault.reason_part), std::string::npos) << finding->reason;
  }
  // The thirteen names are still found where the loader finds them, and a
  // lenient run only warns of what the missing headers hide.
  const std::string clean = write("clean.so", without_section_headers(read(INSPECT_CLEAN_PATH)));
  const std::vector<Finding> findings = check_file(clean, false).findings;
  expect_passes_except(findings, {"no-code-at-load", "no-code-at-unload"});
  for (const char *check : {"no-code-at-load", "no-code-at-unload"}) {
    EXPECT_EQ(find(findings, check)->verdict, Verdict::warn) << show(findings);
  }
}

// The imports are read as the loader binds them, through the dynamic segment:
// without section headers they are all still there.
TEST_F(ScratchFiles, WithoutSectionHeadersTheImportsAreAllThere) {
  for (const char *file : {INSPECT_CLEAN_PATH, INSPECT_NEEDS_LIBSTDCXX_PATH}) {
    const std::vector<std::string> imports = plugin_check::read_plugin_file(file).imports;
    ASSERT_FALSE(imports.empty()) << file;
    const std::string bare = write("bare.so", without_section_headers(read(file)));
    EXPECT_EQ(plugin_check::read_plugin_file(bare).imports, imports) << file;
  }
}

// A .dynsym section header that lists only the null symbol: a reader of
// sections would find nothing exported, the loader finds all fourteen.
TEST_F(ScratchFiles, ADynsymSectionThatDisagreesIsNotBelieved) {
  std::vector<char> bytes = read(INSPECT_EXTRA_EXPORT_PATH);
  const auto field = [&](std::size_t at, std::size_t size) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data() + at, size);  // little-endian, as every host here
    return static_cast<std::size_t>(value);
  };
  const std::size_t table = field(40, 8);
  const std::size_t entry = field(58, 2);
  bool patched = false;
  for (std::size_t i = 0; i < field(60, 2); ++i) {
    const std::size_t header = table + i * entry;
    if (field(header + 4, 4) == 11) {  // SHT_DYNSYM
      std::memcpy(bytes.data() + header + 32, bytes.data() + header + 56,
                  8);  // sh_size = sh_entsize
      patched = true;
    }
  }
  ASSERT_TRUE(patched);
  const std::vector<Finding> findings = check_file(write("dynsym.so", bytes), true).findings;
  expect_passes_except(findings, {"extra-exports"});
  EXPECT_EQ(find(findings, "extra-exports")->verdict, Verdict::fail) << show(findings);
  EXPECT_NE(find(findings, "extra-exports")->reason.find("inspect_helper"), std::string::npos);
}

// What libelf cannot read is the file's problem, in libelf's words, on one
// line; never a part quietly taken as absent and misreported later.
TEST_F(ScratchFiles, LibelfsFirstErrorIsTheFilesProblem) {
  const std::vector<char> whole = read(INSPECT_CLEAN_PATH);
  struct Patch {
    std::size_t at;
    std::vector<unsigned char> bytes;
    const char *reason_part;
  };
  for (const Patch &patch : std::vector<Patch>{
           // 0xffff program headers: the count lies in a section header that has none.
           {56, {0xff, 0xff}, "libelf cannot read the file's program headers: "},
           {32,
            {0xf0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
            "libelf cannot read the file's program header count: "},
           {62, {0xfe, 0}, "libelf cannot read the file's name of section "},  // e_shstrndx
       }) {
    std::vector<char> bytes = whole;
    std::copy(patch.bytes.begin(), patch.bytes.end(), bytes.begin() + static_cast<long>(patch.at));
    expect_rejected_as_format(write("patched.so", bytes), patch.reason_part);
  }
}

// Why a library would stay mapped after its unload, for the reload check to
// name; read from the file.
TEST(FileReader, NamesWhatKeepsALibraryLoaded) {
  struct Case {
    const char *path;
    std::vector<std::string> stays_loaded;
  };
  for (const Case &each : std::vector<Case>{
           {INSPECT_CLEAN_PATH, {}},
           {MY_PHYSICS1_PATH, {}},
           {INSPECT_NODELETE_PATH, {"linked with -z nodelete"}},
           {INSPECT_UNIQUE_PATH, {"has STB_GNU_UNIQUE symbol inspect_unique"}},
       }) {
    EXPECT_EQ(plugin_check::read_plugin_file(each.path).stays_loaded, each.stays_loaded)
        << each.path;
  }
}
#endif

}  // namespace

namespace {

// The host's engine is the host's own library: a plug-in that uses it is told
// apart, by its needs or by its imports alone, and needs nothing foreign.
TEST(FileChecks, AnEnginePluginIsToldApartAndNeedsNothingForeign) {
  for (const char *path : {
#ifdef ENGINE_UNLINKED_PLUGIN_PATH
           ENGINE_UNLINKED_PLUGIN_PATH,
#endif
           ENGINE_IDLE_PLUGIN_PATH}) {
    const plugin_check::PluginFile file = plugin_check::read_plugin_file(path);
    EXPECT_TRUE(file.engine) << path;
    EXPECT_TRUE(file.foreign_needed.empty()) << path;
    const plugin_check::FileReport report = check_file(path, true);
    EXPECT_TRUE(report.engine) << path;
    EXPECT_EQ(find(report.findings, "needed")->verdict, Verdict::pass) << show(report.findings);
  }
  EXPECT_FALSE(plugin_check::read_plugin_file(MY_PHYSICS1_PATH).engine);
#ifdef INSPECT_NEEDS_LIBM_PATH
  EXPECT_FALSE(plugin_check::read_plugin_file(INSPECT_NEEDS_LIBSTDCXX_PATH).engine);
#endif
}

}  // namespace
