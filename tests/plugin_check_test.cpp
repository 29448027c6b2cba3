// plugin-check's command line and reports; the checks themselves are proved
// against the broken plug-ins of tests/plugin_check.cmake.
#include <gtest/gtest.h>
#include <ode/ode.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/options.hpp"
#include "cli/report.hpp"
#include "engine/engine_snapshot.hpp"
#include "programs/join.hpp"
#include "programs/visible_text.hpp"
#include "programs/xml_text.hpp"
#include "registry.hpp"
#include "run/battery.hpp"
#include "run/worlds.hpp"
#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"

namespace {

using plugin_check::Finding;
using plugin_check::Options;
using plugin_check::Verdict;

TEST(PluginCheckOptions, TakesEachOptionAndOnePlugin) {
  Options options;
  EXPECT_EQ(parse_options({"--junit", "out.xml", "--strict", "p.so", "--timeout", "0.25"}, options),
            "");
  EXPECT_TRUE(options.strict);
  EXPECT_EQ(options.timeout_seconds, 0.25);
  EXPECT_EQ(options.junit_file, "out.xml");
  EXPECT_EQ(options.plugin, "p.so");

  Options defaults;
  EXPECT_EQ(parse_options({"p.so"}, defaults), "");
  EXPECT_FALSE(defaults.strict);
  EXPECT_EQ(defaults.timeout_seconds, 10.0);
  EXPECT_EQ(defaults.junit_file, "");
}

TEST(PluginCheckOptions, RefusesWhatItCannotUseWithOneLine) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{}, "no PLUGIN given"},
      {{"--strict"}, "no PLUGIN given"},
      {{"a.so", "b.so"}, "only one PLUGIN may be given, got 'a.so' and 'b.so'"},
      {{"--fast", "a.so"}, "unknown option '--fast'"},
      {{"a.so", "--timeout"}, "--timeout needs a value"},
      {{"a.so", "--junit"}, "--junit needs a value"},
      {{"a.so", "--junit", ""}, "--junit needs a file name"},
  };
  for (const auto &[args, reason] : bad) {
    Options options;
    EXPECT_EQ(parse_options(args, options), reason);
  }
  for (const std::string timeout : {"0", "-1", "ten", "5s", "", "3601", "nan", "inf"}) {
    Options options;
    EXPECT_NE(parse_options({"--timeout", timeout, "a.so"}, options).find("--timeout needs"),
              std::string::npos)
        << timeout;
  }
  Options help;
  EXPECT_EQ(parse_options({"--help"}, help), "");
  EXPECT_TRUE(help.help);
}

TEST(PluginCheckOptions, ChecksAreChosenByTheTablesNames) {
  Options options;
  EXPECT_EQ(parse_options({"--only", "load,whole-life-twice", "--skip", "load", "p.so"}, options),
            "");
  EXPECT_TRUE(options.chosen("whole-life-twice"));
  EXPECT_FALSE(options.chosen("load")) << "--skip wins over --only";
  EXPECT_FALSE(options.chosen("exports"));
  EXPECT_TRUE(Options{}.chosen("exports"));

  Options unknown;
  const std::string problem = parse_options({"--skip", "exports,whole-life", "p.so"}, unknown);
  EXPECT_EQ(problem.rfind("--skip names no check 'whole-life'; the checks are file-format, ", 0),
            0U)
      << problem;
  EXPECT_NE(problem.find("step-collide-quiet"), std::string::npos) << problem;

  // Asking what the program is or does needs no plug-in.
  for (const std::string flag : {"--list", "--version"}) {
    Options alone;
    EXPECT_EQ(parse_options({flag}, alone), "") << flag;
  }
}

TEST(PluginCheckOptions, HelpAndListCoverEveryCheckOfTheTable) {
  const std::string help = plugin_check::help_text();
  const std::string list = plugin_check::list_text();
  for (const plugin_check::Check &check : plugin_check::checks()) {
    const std::string line = std::string(check.name) + "  " + std::string(check.proves) + "\n";
    EXPECT_NE(list.find(line), std::string::npos) << check.name;
    EXPECT_NE(help.find(std::string(check.proves)), std::string::npos) << check.name;
  }
  for (const char *option :
       {"--strict", "--timeout", "--junit", "--list", "--only", "--skip", "--version", "--help"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(help.find(plugin_check::sandbox::child_flag), std::string::npos);
}

// Each check is registered beside its code; together they must still make one
// run: unique names, the file stage first, one gate per stage at its head,
// and the body its stage calls.
TEST(PluginCheckRegistry, EveryCheckHasItsOwnNameAndBody) {
  const std::vector<plugin_check::Check> &all = plugin_check::checks();
  ASSERT_FALSE(all.empty());
  std::set<std::string_view> names;
  plugin_check::Stage stage = plugin_check::Stage::file;
  bool stage_begins = true;
  for (const plugin_check::Check &check : all) {
    EXPECT_TRUE(names.insert(check.name).second) << check.name << " is registered twice";
    EXPECT_FALSE(stage == plugin_check::Stage::behaviour &&
                 check.stage == plugin_check::Stage::file)
        << check.name << " is a file check after a behaviour check";
    stage_begins = stage_begins || check.stage != stage;
    stage = check.stage;
    EXPECT_EQ(check.gate, stage_begins) << check.name;
    stage_begins = false;
    const bool file = check.stage == plugin_check::Stage::file;
    EXPECT_EQ(check.judge != nullptr, file) << check.name;
    // A behaviour check runs one body in its child; one that has a survey may
    // judge by the survey alone, where its life cannot be watched.
    const int bodies = (check.run != nullptr) + (check.run_loading != nullptr);
    EXPECT_TRUE(file ? bodies == 0 : bodies == 1 || (bodies == 0 && check.survey != nullptr))
        << check.name;
    EXPECT_EQ(check.elsewhere.empty(), check.platforms == plugin_check::Platforms::all)
        << check.name;
    EXPECT_EQ(plugin_check::find_check(check.name), &check);
    // The report puts "; " before it and nothing after it.
    EXPECT_FALSE(check.fix.empty()) << check.name << " tells a plug-in author nothing to do";
    EXPECT_TRUE(!check.fix.empty() && std::islower(static_cast<unsigned char>(check.fix[0])) &&
                check.fix.find_last_of(".;") != check.fix.size() - 1)
        << check.name << "'s fix is no clause to end a line with: " << check.fix;
  }
  EXPECT_EQ(all.front().name, "file-format");
}

// The registrations a folder's sources, headers too, make: by the check's
// name, the file and the place in it.
std::map<std::string, std::pair<std::string, std::size_t>> registrations_in(
    const std::filesystem::path &folder) {
  const std::regex registration(R"re(Registration\s+\w+\{\{\s*\.name = "([^"]+)")re");
  std::map<std::string, std::pair<std::string, std::size_t>> found;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.path().extension() != ".cpp" && entry.path().extension() != ".hpp") {
      continue;
    }
    std::ifstream in(entry.path());
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::size_t place = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), registration), end; it != end; ++it) {
      found[(*it)[1]] = {entry.path().filename().string(), place++};
    }
  }
  return found;
}

// A check registered in a header is as easily left out of the program as one
// in a source file, so the search below must see it.
TEST(PluginCheckRegistry, TheSearchForRegistrationsReadsHeaders) {
  const std::filesystem::path folder = std::filesystem::path(testing::TempDir()) /
                                       ("registrations-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder / "room");
  std::ofstream(folder / "room" / "kept.hpp")
      << "const Registration kept_check{{\n    .name = \"kept\",\n}};\n";
  std::ofstream(folder / "room" / "notes.txt") << "const Registration no{{ .name = \"no\" }};\n";
  const auto found = registrations_in(folder);
  std::filesystem::remove_all(folder);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_EQ(found.begin()->first, "kept");
  EXPECT_EQ(found.begin()->second.first, "kept.hpp");
}

// Every registration in check/'s sources is in the program, made by the file
// that holds it: a file of checks the linker left out shows here. Each group
// is one file's, in that file's order, so no order depends on the link.
TEST(PluginCheckRegistry, HoldsEveryCheckTheSourcesRegisterEachGroupFromOneFile) {
  std::map<std::string, std::pair<std::string, std::size_t>> in_sources =
      registrations_in(CHECK_SOURCE_DIR);
  ASSERT_GT(in_sources.size(), 1U);
  std::map<plugin_check::Group, std::pair<std::string, std::size_t>> group_seen;
  for (const plugin_check::Check &check : plugin_check::checks()) {
    const auto found = in_sources.find(std::string(check.name));
    ASSERT_NE(found, in_sources.end()) << check.name << " is registered by no file of check/";
    const auto &[file, place] = found->second;
    EXPECT_EQ(std::filesystem::path(check.source).filename(), file) << check.name;
    const auto [seen, first] = group_seen.try_emplace(check.group, file, place);
    EXPECT_EQ(seen->second.first, file)
        << check.name << " shares its group with the checks of " << seen->second.first;
    EXPECT_TRUE(first || seen->second.second < place)
        << check.name << " runs out of its file's order";
    seen->second.second = place;
    in_sources.erase(found);
  }
  for (const auto &[name, where] : in_sources) {
    ADD_FAILURE() << name << ", registered in " << where.first
                  << ", is not in the program: is its file in plugin_check_checks?";
  }
}

// The page's table cells, split at '|'; empty for a line of no table.
std::vector<std::string> cells(const std::string &line) {
  std::vector<std::string> row;
  std::istringstream in(line.substr(line.rfind('|', 0) == 0 ? 1 : line.size()));
  for (std::string cell; std::getline(in, cell, '|');) {
    cell.erase(0, cell.find_first_not_of(' '));
    cell.erase(cell.find_last_not_of(' ') + 1);
    row.push_back(cell);
  }
  return row;
}

// The checks a table's first cell names: "`relro`, `exec-stack`".
std::vector<std::string> named(const std::string &cell) {
  std::vector<std::string> names;
  for (std::size_t at = cell.find('`'); at != std::string::npos; at = cell.find('`', at + 1)) {
    const std::size_t end = cell.find('`', at + 1);
    names.push_back(cell.substr(at + 1, end - at - 1));
    at = end;
  }
  return names;
}

std::string unquoted(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '`'), text.end());
  return text;
}

// The check tables and the platform table of docs/plugin-check.md say what the
// registrations say: every check in one row of the tables of its stage and
// level, in the order of the run, and each check made on some platforms only
// SKIPs elsewhere with the reason the report gives.
TEST(PluginCheckRegistry, ThePagesTablesSayWhatTheRegistrationsSay) {
  using plugin_check::Level;
  using plugin_check::Platforms;
  std::ifstream page(PLUGIN_CHECK_PAGE);
  ASSERT_TRUE(page) << PLUGIN_CHECK_PAGE;
  std::map<std::string, int> rows;  // of each check, outside the platform table
  std::set<std::string> in_platform_table;
  std::vector<std::string> header;
  bool file_section = false;
  std::size_t last_place = 0;
  for (std::string line; std::getline(page, line);) {
    if (line.rfind("## ", 0) == 0) {
      file_section = line == "## The checks of the file";
    }
    const std::vector<std::string> row = cells(line);
    if (row.empty() || row[0] == "Check" || row[0].rfind("---", 0) == 0) {
      header = row.empty() || row[0] == "Check" ? row : header;
      last_place = 0;
      continue;
    }
    if (header.empty()) {
      continue;  // a table of something else
    }
    const bool warns = header.size() > 1 && header[1] == "Warns when";
    for (const std::string &name : named(row[0])) {
      const plugin_check::Check *check = plugin_check::find_check(name);
      ASSERT_NE(check, nullptr) << "docs/plugin-check.md has a row for " << name
                                << ", which no check registers: remove it";
      if (header[1].find("Linux") != std::string::npos) {  // the platform table
        in_platform_table.insert(name);
        for (std::size_t column = 1; column < header.size(); ++column) {
          const bool windows = header[column].find("Windows") != std::string::npos;
          const bool made = check->platforms == Platforms::all ||
                            (check->platforms == Platforms::windows_only) == windows;
          EXPECT_TRUE(made || unquoted(row[column]) == "SKIP: " + std::string(check->elsewhere))
              << "docs/plugin-check.md, platform table, " << name << " under " << header[column]
              << ": write `SKIP`: " << check->elsewhere;
        }
        continue;
      }
      if (row[1].rfind("also", 0) == 0) {
        continue;  // more of what a check documented above fails on
      }
      ++rows[name];
      const bool warning = warns || row[0].find("(warning)") != std::string::npos;
      EXPECT_EQ(warning, check->level == Level::warning)
          << "docs/plugin-check.md: move the row of " << name << " to a table of checks that "
          << (warning ? "fail" : "warn");
      EXPECT_EQ(file_section, check->stage == plugin_check::Stage::file)
          << "docs/plugin-check.md: move the row of " << name << " to the section of its stage";
      const std::size_t place = static_cast<std::size_t>(check - plugin_check::checks().data());
      EXPECT_LT(last_place, place + 1) << "docs/plugin-check.md: move the row of " << name
                                       << " up, to the order of plugin-check --list";
      last_place = place + 1;
    }
  }
  for (const plugin_check::Check &check : plugin_check::checks()) {
    EXPECT_EQ(rows[std::string(check.name)], 1)
        << "docs/plugin-check.md: give " << check.name << " one row in the tables of its stage";
    EXPECT_TRUE(check.platforms == Platforms::all ||
                in_platform_table.contains(std::string(check.name)))
        << "docs/plugin-check.md: give " << check.name << " a row in the platform table";
  }
}

// One finding of each verdict.
std::vector<Finding> mixed() {
  return {
      {"load", Verdict::pass, ""},
      {"whole-life-twice", Verdict::fail, "crashed in tamrix_physics_init: SIGSEGV",
       "tear it all down in cleanup"},
      {"null-services", Verdict::warn, "crashed in getBody", "look at a row first"},
      {"step-collide-no-heap", Verdict::skip, "not counted", "not for a skip"},
  };
}

TEST(PluginCheckReport, OneLinePerCheckThenCountsAndStatus) {
  const std::vector<Finding> findings = mixed();
  std::ostringstream out;
  EXPECT_EQ(plugin_check::print_report(findings, out), 1);
  EXPECT_EQ(out.str(),
            "PASS load\n"
            "FAIL whole-life-twice: crashed in tamrix_physics_init: SIGSEGV; tear it all down in "
            "cleanup\n"
            "WARN null-services: crashed in getBody; look at a row first\n"
            "SKIP step-collide-no-heap: not counted\n"
            "1 passed, 1 failed, 1 warnings, 1 skipped\n");

  std::ostringstream lenient;
  EXPECT_EQ(plugin_check::print_report({findings[0], findings[2], findings[3]}, lenient), 0);
}

// A check tried twice keeps its verdict first on its line and its fix last.
TEST(PluginCheckReport, ASecondTryIsSaidBetweenReasonAndFix) {
  std::ostringstream out;
  plugin_check::print_finding(
      {"threads-step-collide", Verdict::pass, "", "unused", "on a second try"}, out);
  plugin_check::print_finding(
      {"signals", Verdict::fail, "crashed", "restore it", "on a second try; the first hung"}, out);
  EXPECT_EQ(out.str(),
            "PASS threads-step-collide (on a second try)\n"
            "FAIL signals: crashed (on a second try; the first hung); restore it\n");

  std::ostringstream xml;
  plugin_check::write_junit({{"load", Verdict::pass, "", "", "on a second try"}}, "p.so", xml);
  EXPECT_NE(xml.str().find("failures=\"0\""), std::string::npos);
  EXPECT_NE(xml.str().find("<system-out>PASS (on a second try)</system-out>"), std::string::npos);
}

TEST(PluginCheckReport, JunitEscapesEverythingFromTheFileAndThePlugin) {
  EXPECT_EQ(tamrix_host::xml_escaped("a<b>&\"c\"'d'\x01\n"),
            "a&lt;b&gt;&amp;&quot;c&quot;&apos;d&apos;\\x01&#10;");

  const std::vector<Finding> findings = mixed();
  std::ostringstream out;
  plugin_check::write_junit({findings[0],
                             {"def-name-not-format", Verdict::fail, "name \"%n<&>\""},
                             findings[2],
                             findings[3]},
                            "odd<&>.so", out);
  const std::string xml = out.str();
  EXPECT_NE(xml.find("<testsuite name=\"plugin-check odd&lt;&amp;&gt;.so\" tests=\"4\" "
                     "failures=\"1\" errors=\"0\" skipped=\"1\">"),
            std::string::npos);
  EXPECT_NE(xml.find("<testcase classname=\"plugin-check\" name=\"load\"/>"), std::string::npos);
  EXPECT_NE(xml.find("<failure message=\"name &quot;%n&lt;&amp;&gt;&quot;\"/>"), std::string::npos);
  EXPECT_NE(xml.find("<system-out>WARN: crashed in getBody; look at a row first</system-out>"),
            std::string::npos);
  EXPECT_NE(xml.find("<skipped message=\"not counted\"/>"), std::string::npos);
}

TEST(PluginCheckReport, PluginTextIsShownVisiblyAndOnce) {
  const struct {
    std::string_view text;
    std::string_view shown;
  } cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x99\x82"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"\x1b[31m\x7f", "\\x1b[31m\\x7f"},
      {std::string_view("\0z", 2), "\\x00z"},
      {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80", "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"\xc2\x9b"
       "2J \xe2\x80\xae"
       "evil",
       "\\u009b2J \\u202eevil"},
  };
  for (const auto &[text, shown] : cases) {
    EXPECT_EQ(tamrix_host::visible(text), shown) << text;
    EXPECT_EQ(tamrix_host::visible(shown), shown) << text;
  }
  // XML 1.0 cannot carry these even as references; they are shown instead.
  EXPECT_EQ(tamrix_host::xml_escaped("\x1b\xef\xbf\xbe\xff]]>\t"), "\\x1b\\ufffe\\xff]]&gt;&#9;");
}

// Whatever was put in the report's place during the run stays: the rename
// is asked about again, and the partial report goes.
TEST(PluginCheckReport, JunitReplacesNothingPutInItsPlaceDuringTheRun) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("junit_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  const std::string file = (folder / "report.xml").string();
  plugin_check::JunitReport report;
  ASSERT_EQ(report.open(file, (folder / "plugin.so").string()), "");
  std::filesystem::create_directory(file);
  EXPECT_EQ(
      report.commit(mixed()),
      "--junit " + file + ": a directory, not a regular file, and only a regular file is replaced");
  EXPECT_TRUE(std::filesystem::is_directory(file));
  EXPECT_FALSE(std::filesystem::exists(file + ".partial"));

  plugin_check::JunitReport again;
  EXPECT_EQ(
      again.open(file, (folder / "plugin.so").string()),
      "--junit " + file + ": a directory, not a regular file, and only a regular file is replaced");
  std::filesystem::remove_all(folder);
}

namespace channel = plugin_check::channel;

// The reach manifest and the overlap both list this way: no comma left
// before the first item, and "and" before the last only.
TEST(PluginCheckReport, AListReadsAsASentence) {
  using tamrix_host::listed;
  EXPECT_EQ(listed(std::vector<std::string>{}), "");
  EXPECT_EQ(listed(std::vector<std::string>{"dlopen"}), "dlopen");
  EXPECT_EQ(listed(std::array<std::string_view, 2>{"1", "3"}), "1 and 3");
  EXPECT_EQ(listed(std::vector<std::string>{"fork", "exec", "kill", "ptrace"}),
            "fork, exec, kill and ptrace");
}

TEST(PluginCheckChannel, OnlyLinesWithTheChildsTokenCount) {
  const std::string token = channel::new_token();
  EXPECT_EQ(token.size(), 16U);
  EXPECT_NE(token, channel::new_token());

  std::array<char, channel::progress_line_size> line{};
  std::string output(line.data(), channel::encode_progress(token, "tamrix_physics_init", line));
  output += channel::encode_result(token, Verdict::skip, "two\nlines");
  output += "result pass\n" + channel::encode_result("0123456789abcdef", Verdict::pass, "");
  output.append(line.data(), channel::encode_progress(token, nullptr, line));

  const channel::Decoded decoded = channel::decode(output, token);
  EXPECT_TRUE(decoded.forged);
  ASSERT_EQ(decoded.messages.size(), 3U);
  EXPECT_EQ(decoded.messages[0].kind, channel::Kind::entering);
  EXPECT_EQ(decoded.messages[0].text, "tamrix_physics_init");
  EXPECT_EQ(decoded.messages[1].kind, channel::Kind::result);
  EXPECT_EQ(decoded.messages[1].verdict, Verdict::skip);
  EXPECT_EQ(decoded.messages[1].text, "two\\nlines");
  EXPECT_EQ(decoded.messages[2].kind, channel::Kind::left);
}

TEST(PluginCheckChannel, NotesCarryTheTokenAndTheFirstForgeryIsPlaced) {
  const std::string token = channel::new_token();
  std::array<char, channel::progress_line_size> line{};
  std::string output = channel::encode_note(token, "with row 7\nnull");
  output.append(line.data(), channel::encode_progress(token, "tamrix_physics_step", line));
  output += channel::encode_note("0123456789abcdef", "forged note") + "x result pass\n";
  output += channel::encode_result(token, Verdict::pass, "") + "result fail\n";

  const channel::Decoded decoded = channel::decode(output, token);
  ASSERT_EQ(decoded.messages.size(), 3U);
  EXPECT_EQ(decoded.messages[0].kind, channel::Kind::note);
  EXPECT_EQ(decoded.messages[0].text, "with row 7\\nnull");
  EXPECT_TRUE(decoded.forged);
  // The forgery came while step was running: after the note and the entering.
  EXPECT_EQ(decoded.before_forged, 2U);
}

TEST(PluginCheckChannel, ALongNameIsCutAndACutLineIsNoForgery) {
  const std::string token = channel::new_token();
  const std::string name(1000, 'x');
  std::array<char, channel::progress_line_size> line{};
  const std::size_t size = channel::encode_progress(token, name.c_str(), line);
  EXPECT_EQ(size, line.size());
  EXPECT_EQ(line.back(), '\n');

  // A child killed while writing leaves half a line of its own.
  const std::string half = channel::encode_result(token, Verdict::pass, "").substr(0, 26);
  const channel::Decoded decoded = channel::decode(half, token);
  EXPECT_FALSE(decoded.forged);
  EXPECT_TRUE(decoded.messages.empty());
}

}  // namespace

namespace {

using plugin_check::snapshot_world;

TEST(PluginCheckEngineWorld, ItsOwnWorldHasEveryShapeAndTheBodyTheChecksLookUp) {
  const tamrix_host::World world = plugin_check::checker_engine_world();
  ASSERT_TRUE(world.engine);
  std::set<tamrix_host::Shape> shapes;
  for (const tamrix_host::EngineBody &body : world.engine->bodies) {
    shapes.insert(body.shape);
  }
  EXPECT_EQ(shapes.size(), 4U);
  EXPECT_EQ(world.engine->bodies.front().name, "arm");
  const std::string help = plugin_check::help_text();
  for (const char *name : {"arm (box)", "ball (sphere)", "pole (capsule)", "wheel (cylinder)",
                           "floor (plane)", "base (box)"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
}

TEST(PluginCheckEngineWorld, TheSnapshotNamesEachChangedFieldWithBothValues) {
  tamrix_host::Host host(plugin_check::checker_engine_world());
  const plugin_check::WorldSnapshot before = snapshot_world(host);
  EXPECT_EQ(plugin_check::differences(before, snapshot_world(host)), "");
  auto *const world = static_cast<dWorldID>(host.engine_world());
  dWorldSetGravity(world, 0, 0, -1.62);
  EXPECT_EQ(plugin_check::differences(before, snapshot_world(host)),
            "world: gravity was (0, 0, -9.81), now (0, 0, -1.62)");
}

TEST(PluginCheckEngineWorld, ADestroyedBodyIsOneRowAndNeverReadAgain) {
  tamrix_host::Host host(plugin_check::checker_engine_world());
  const plugin_check::WorldSnapshot before = snapshot_world(host);
  dBodyDestroy(static_cast<dBodyID>(static_cast<void *>(host.body("ball"))));
  const std::string changes = plugin_check::differences(before, snapshot_world(host), 1);
  EXPECT_EQ(
      changes.rfind("body ball: in the world was yes, now no geometry of the space has it", 0), 0U)
      << changes;
}

TEST(PluginCheckEngineWorld, ABadWorldFileIsOneLineBeforeTheRun) {
  tamrix_host::World world;
  EXPECT_EQ(plugin_check::read_checked_world("/no/such/world.toml", world).rfind("cannot read", 0),
            0U);
}

}  // namespace
