#include "file_checks.hpp"

#include <algorithm>
#include <cstddef>
#include <string>

#include "plugin_file.hpp"

namespace plugin_check {

const char *verdict_word(Verdict verdict) {
  switch (verdict) {
    case Verdict::pass:
      return "PASS";
    case Verdict::warn:
      return "WARN";
    case Verdict::fail:
      return "FAIL";
    case Verdict::skip:
      return "SKIP";
  }
  return "FAIL";
}

namespace {

std::string join(const std::vector<std::string> &items, const char *separator = "; ") {
  std::string text;
  for (const std::string &item : items) {
    text += (text.empty() ? "" : separator) + item;
  }
  return text;
}

Finding judge(const char *check, const std::vector<std::string> &problems, Verdict otherwise) {
  if (problems.empty()) {
    return {check, Verdict::pass, ""};
  }
  return {check, otherwise, join(problems)};
}

Finding exports_finding(const PluginFile &file) {
  if (file.exports_unreadable) {
    return {"exports", Verdict::skip, *file.exports_unreadable};
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
  return judge("exports", problems, Verdict::fail);
}

Finding extra_exports_finding(const PluginFile &file) {
  if (file.exports_unreadable) {
    return {"extra-exports", Verdict::skip, *file.exports_unreadable};
  }
  std::vector<std::string> extra;
  for (const ExportedSymbol &symbol : file.exports) {
    if (std::find(contract_names.begin(), contract_names.end(), symbol.name) ==
        contract_names.end()) {
      extra.push_back(symbol.name);
    }
  }
  if (extra.empty()) {
    return {"extra-exports", Verdict::pass, ""};
  }
  // A library that exports a whole runtime would give a line of megabytes.
  constexpr std::size_t shown = 10;
  const std::size_t count = extra.size();
  if (count > shown) {
    extra.resize(shown);
    extra.push_back("and " + std::to_string(count - shown) + " more");
  }
  // Any other exported name can capture a host's or another plug-in's symbol.
  return {
      "extra-exports", Verdict::fail,
      std::to_string(count) + " exported name(s) beyond the contract's 13: " + join(extra, ", ")};
}

Finding needed_finding(const PluginFile &file) {
  if (file.foreign_needed.empty()) {
    return {"needed", Verdict::pass, ""};
  }
  return {"needed", Verdict::fail,
          "needs libraries beyond the system's C runtime and loader: " + join(file.foreign_needed)};
}

}  // namespace

FileReport check_file(const std::string &path, bool strict) {
  const PluginFile file = read_plugin_file(path);
  FileReport report;
  if (!file.format_problem.empty()) {
    report.why_not_loadable = "the file is not a plug-in for this platform";
    report.findings.push_back({"file-format", Verdict::fail, file.format_problem});
    for (const char *check : {"exports", "extra-exports", "needed"}) {
      report.findings.push_back({check, Verdict::skip, report.why_not_loadable});
    }
    for (const auto *list : {&file.contract, &file.hardening}) {
      for (const Finding &finding : *list) {
        report.findings.push_back({finding.check, Verdict::skip, report.why_not_loadable});
      }
    }
    return report;
  }
  report.loadable = true;
  report.findings.push_back({"file-format", Verdict::pass, ""});
  report.findings.push_back(exports_finding(file));
  report.findings.insert(report.findings.end(), file.contract.begin(), file.contract.end());
  report.findings.push_back(extra_exports_finding(file));
  report.findings.push_back(needed_finding(file));
  report.findings.insert(report.findings.end(), file.hardening.begin(), file.hardening.end());
  for (Finding &finding : report.findings) {
    if (const Check *check = find_check(finding.check)) {
      finding.verdict = judged(*check, finding.verdict, strict);
    }
  }
  return report;
}

}  // namespace plugin_check
