// SHA-256, so a verdict can name the exact bytes it judged.
#pragma once

#include <string>
#include <string_view>

namespace plugin_check {

// The SHA-256 of `bytes`, as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace plugin_check
