#include "run/plugin_bytes.hpp"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "run/sha256.hpp"

namespace plugin_check {
namespace {

// The whole regular file at `path`, or none: a FIFO or a device is never
// opened, so naming one cannot make the run wait.
std::optional<std::string> whole_file(const std::string &path, std::string &why) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    why = error ? error.message() : "it is not a regular file";
    return std::nullopt;
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > plugin_bytes_limit) {
    why = error ? error.message() : "it is larger than " + std::to_string(plugin_bytes_limit);
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (!in.good() && !in.eof()) {
    why = "it cannot be read";
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

PluginBytes::PluginBytes(const std::string &path) : path_(path) {
  std::optional<std::string> bytes = whole_file(path, copy_problem_);
  if (!bytes) {
    copy_problem_ = "the file was not read whole: " + copy_problem_;
    return;
  }
  sha256_ = sha256_hex(*bytes);
  copy_problem_ = copy_.make(*bytes, std::filesystem::path(path).filename().string());
}

std::string PluginBytes::change_on_disk() const {
  if (sha256_.empty()) {
    return {};
  }
  std::string why;
  const std::optional<std::string> now = whole_file(path_, why);
  const std::string verdict = "; the verdict is for the bytes read at the start";
  if (!now) {
    return "the file changed on disk during the run (sha256 " + sha256_ +
           " at the start, and now " + why + ")" + verdict;
  }
  const std::string sha256_now = sha256_hex(*now);
  if (sha256_now == sha256_) {
    return {};
  }
  return "the file changed on disk during the run (sha256 " + sha256_ + " -> " + sha256_now + ")" +
         verdict;
}

std::string PluginBytes::as_the_file(std::string text) const {
  const std::string &copy = copy_.path();
  if (copy.empty()) {
    return text;
  }
  for (std::size_t at = text.find(copy); at != std::string::npos; at = text.find(copy, at)) {
    // "/proc/self/fd/5" is not the start of "/proc/self/fd/50".
    const std::size_t end = at + copy.size();
    if (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0) {
      at = end;
      continue;
    }
    text.replace(at, copy.size(), path_);
    at += path_.size();
  }
  return text;
}

}  // namespace plugin_check
