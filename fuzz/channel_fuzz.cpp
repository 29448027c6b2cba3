// The parent's decoding of whatever a child's channel carried: the checker's
// own lines, and anything a plug-in wrote to the descriptors it inherited.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sandbox/channel.hpp"

namespace {

constexpr std::string_view token = "0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  namespace channel = plugin_check::channel;
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const channel::Decoded decoded = channel::decode(text, token);
  if (decoded.before_forged > decoded.messages.size()) {
    std::abort();
  }
  // Whatever a reason holds, the checker's own line for it reads back as
  // that one result, never as more lines or a forgery.
  const auto verdict = static_cast<plugin_check::Verdict>(size % 4);
  const channel::Decoded result =
      channel::decode(channel::encode_result(token, verdict, text), token);
  if (result.forged || result.messages.size() != 1 ||
      result.messages.front().kind != channel::Kind::result ||
      result.messages.front().verdict != verdict) {
    std::abort();
  }
  const channel::Decoded note = channel::decode(channel::encode_note(token, text), token);
  if (note.forged || note.messages.size() != 1 ||
      note.messages.front().kind != channel::Kind::note) {
    std::abort();
  }
  return 0;
}
