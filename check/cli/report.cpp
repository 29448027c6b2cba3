#include <filesystem>
#include <ostream>
#include <string>
#include <system_error>

#include "cli/report.hpp"
#include "programs/output_file.hpp"
#include "programs/visible_text.hpp"
#include "programs/xml_text.hpp"

namespace plugin_check {

namespace {

// What a line says after the check's name: the reason of anything but a
// pass, then how the run reached it, if it says, and last what to do.
std::string told(const Finding &finding) {
  std::string text = finding.verdict == Verdict::pass ? "" : finding.reason;
  if (!finding.note.empty()) {
    text += (text.empty() ? "(" : " (") + finding.note + ")";
  }
  if (!finding.fix.empty() &&
      (finding.verdict == Verdict::fail || finding.verdict == Verdict::warn)) {
    text += "; " + finding.fix;
  }
  return text;
}

}  // namespace

void print_finding(const Finding &finding, std::ostream &out) {
  out << verdict_word(finding.verdict) << ' ' << finding.check;
  // Reasons quote what the plug-in printed and handed over.
  if (finding.verdict != Verdict::pass) {
    out << ": " << tamrix_host::visible(told(finding));
  } else if (!finding.note.empty()) {
    out << ' ' << tamrix_host::visible(told(finding));
  }
  out << '\n';
}

int print_report(const std::vector<Finding> &findings, std::ostream &out) {
  for (const Finding &finding : findings) {
    print_finding(finding, out);
  }
  return print_counts(findings, out);
}

int print_counts(const std::vector<Finding> &findings, std::ostream &out) {
  int counts[4] = {0, 0, 0, 0};  // NOLINT(*-avoid-c-arrays): indexed by Verdict
  for (const Finding &finding : findings) {
    ++counts[static_cast<int>(finding.verdict)];
  }
  out << counts[static_cast<int>(Verdict::pass)] << " passed, "
      << counts[static_cast<int>(Verdict::fail)] << " failed, "
      << counts[static_cast<int>(Verdict::warn)] << " warnings, "
      << counts[static_cast<int>(Verdict::skip)] << " skipped\n";
  return counts[static_cast<int>(Verdict::fail)] > 0 ? 1 : 0;
}

void write_junit(const std::vector<Finding> &findings, const std::string &plugin, std::ostream &out,
                 const std::string &sha256) {
  int failures = 0;
  int skips = 0;
  for (const Finding &finding : findings) {
    failures += finding.verdict == Verdict::fail ? 1 : 0;
    skips += finding.verdict == Verdict::skip ? 1 : 0;
  }
  // The same visible text the terminal shows, then made XML.
  const auto shown = [](const std::string &text) {
    return tamrix_host::xml_escaped(tamrix_host::visible(text));
  };
  const std::string suite = shown(plugin);
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<testsuites>\n"
      << "  <testsuite name=\"plugin-check " << suite << "\" tests=\"" << findings.size()
      << "\" failures=\"" << failures << "\" errors=\"0\" skipped=\"" << skips << "\">\n";
  out << "    <properties><property name=\"sha256\" value=\"" << sha256 << "\"/></properties>\n";
  for (const Finding &finding : findings) {
    const std::string reason = shown(told(finding));
    out << "    <testcase classname=\"plugin-check\" name=\"" << shown(finding.check) << '"';
    switch (finding.verdict) {
      case Verdict::pass:
        if (finding.note.empty()) {
          out << "/>\n";
          continue;
        }
        out << ">\n      <system-out>PASS " << reason << "</system-out>\n";
        break;
      case Verdict::fail:
        out << ">\n      <failure message=\"" << reason << "\"/>\n";
        break;
      case Verdict::skip:
        out << ">\n      <skipped message=\"" << reason << "\"/>\n";
        break;
      case Verdict::warn:
        out << ">\n      <system-out>WARN: " << reason << "</system-out>\n";
        break;
    }
    out << "    </testcase>\n";
  }
  out << "  </testsuite>\n</testsuites>\n";
}

namespace {

// Whether writing `junit` would overwrite the plug-in under check: the same
// file (device and inode, or the system's equivalent) where both exist, else
// the same path once made absolute and normal.
bool names_the_plugin(const std::string &junit, const std::string &plugin) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::equivalent(junit, plugin, error)) {
    return true;
  }
  const fs::path a = fs::weakly_canonical(junit, error);
  const bool a_known = !error;
  const fs::path b = fs::weakly_canonical(plugin, error);
  return a_known && !error && a == b;
}

}  // namespace

std::string JunitReport::open(const std::string &file, const std::string &plugin) {
  file_ = file;
  plugin_ = plugin;
  if (std::string refusal = tamrix_host::output_path_refusal("--junit", file_); !refusal.empty()) {
    return refusal;
  }
  // Through a link the report replaces the file it names, and the link stays.
  std::error_code error;
  target_ = std::filesystem::is_symlink(file_, error)
                ? std::filesystem::canonical(file_, error).string()
                : file_;
  if (error) {
    target_ = file_;
  }
  if (names_the_plugin(target_, plugin_) || names_the_plugin(partial(), plugin_)) {
    return "--junit '" + file_ + "' names the plug-in itself, which the report would overwrite";
  }
  // A FIFO or device put where the report is first written would block the
  // run or take the report.
  if (std::string refusal = tamrix_host::output_path_refusal("--junit", partial());
      !refusal.empty()) {
    return refusal;
  }
  out_.open(partial());
  if (!out_) {
    return "cannot write the JUnit report '" + file_ + "'";
  }
  return {};
}

std::string JunitReport::commit(const std::vector<Finding> &findings, const std::string &sha256) {
  write_junit(findings, plugin_, out_, sha256);
  out_.close();
  std::error_code error;
  // Asked again right before the rename, which would replace whatever is
  // there now: something put in the report's place during the run stays.
  std::string refusal = tamrix_host::output_path_refusal("--junit", target_);
  if (out_ && refusal.empty()) {
    std::filesystem::rename(partial(), target_, error);
  }
  if (!out_ || error || !refusal.empty()) {
    std::filesystem::remove(partial(), error);
    return refusal.empty() ? "could not finish the JUnit report '" + file_ + "'" : refusal;
  }
  return {};
}

}  // namespace plugin_check
