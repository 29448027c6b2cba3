#include "sandbox/channel.hpp"

#include <algorithm>
#include <random>

#include "programs/visible_text.hpp"

namespace plugin_check::channel {
namespace {

constexpr std::string_view entering_word = "entering";
constexpr std::string_view left_word = "left";
constexpr std::string_view result_word = "result";
constexpr std::string_view note_word = "note";

constexpr std::array<std::pair<Verdict, std::string_view>, 4> verdict_words = {{
    {Verdict::pass, "pass"},
    {Verdict::warn, "warn"},
    {Verdict::fail, "fail"},
    {Verdict::skip, "skip"},
}};

std::string_view word_of(Verdict verdict) {
  for (const auto &[each, name] : verdict_words) {
    if (each == verdict) {
      return name;
    }
  }
  return {};
}

// Splits off the first word of `text`, leaving the rest after one space.
std::string_view first_word(std::string_view &text) {
  const std::size_t space = text.find(' ');
  const std::string_view word = text.substr(0, space);
  text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  return word;
}

std::optional<Message> decode_line(std::string_view line) {
  std::string_view rest = line;
  const std::string_view kind = first_word(rest);
  if (kind == entering_word) {
    return Message{Kind::entering, Verdict::pass, std::string(rest)};
  }
  if (kind == note_word) {
    return Message{Kind::note, Verdict::pass, std::string(rest)};
  }
  if (kind == left_word && rest.empty()) {
    return Message{Kind::left, Verdict::pass, {}};
  }
  if (kind == result_word) {
    const std::string_view word = first_word(rest);
    for (const auto &[verdict, name] : verdict_words) {
      if (word == name) {
        return Message{Kind::result, verdict, std::string(rest)};
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::string new_token() {
  std::random_device source;
  std::uniform_int_distribution<unsigned> digit(0, 15);
  std::string token(16, '0');
  for (char &c : token) {
    c = "0123456789abcdef"[digit(source)];
  }
  return token;
}

namespace {

// `line` then `text` on one line: a line break in `text`, or anything else
// the plug-in printed that could steer a terminal, as a visible escape.
std::string one_line(std::string line, std::string_view text) {
  return line.append(tamrix_host::visible(text)) + '\n';
}

}  // namespace

std::string encode_result(std::string_view token, Verdict verdict, std::string_view reason) {
  std::string line(token);
  line.append(" ").append(result_word).append(" ").append(word_of(verdict)).append(" ");
  return one_line(line, reason);
}

std::string encode_note(std::string_view token, std::string_view text) {
  std::string line(token);
  line.append(" ").append(note_word).append(" ");
  return one_line(line, text);
}

FixedLine &FixedLine::add(std::string_view part) {
  for (const char c : part) {
    if (size_ + 1 >= text_.size()) {  // one kept for the newline
      break;
    }
    text_.at(size_++) = c;
  }
  return *this;
}

FixedLine &FixedLine::add(long number) {
  std::array<char, 24> digits{};
  std::size_t count = 0;
  const bool negative = number < 0;
  unsigned long rest =
      negative ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number);
  do {
    digits.at(count++) = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0 && count < digits.size());
  if (negative) {
    add("-");
  }
  while (count > 0) {
    add(std::string_view(&digits.at(--count), 1));
  }
  return *this;
}

std::string_view FixedLine::text() {
  text_.at(size_) = '\n';
  return {text_.data(), size_ + 1};
}

FixedLine result_line(std::string_view token, Verdict verdict) {
  FixedLine line;
  line.add(token).add(" ").add(result_word).add(" ").add(word_of(verdict)).add(" ");
  return line;
}

std::size_t encode_progress(std::string_view token, const char *hook,
                            std::array<char, progress_line_size> &line) {
  FixedLine progress;
  progress.add(token).add(" ");
  if (hook != nullptr) {
    progress.add(entering_word).add(" ").add(hook);
  } else {
    progress.add(left_word);
  }
  const std::string_view text = progress.text();
  for (std::size_t i = 0; i < text.size(); ++i) {
    line.at(i) = text[i];
  }
  return text.size();
}

Decoded decode(std::string_view output, std::string_view token) {
  Decoded decoded;
  while (!output.empty()) {
    const std::size_t end = output.find('\n');
    std::string_view line = output.substr(0, end);
    output = end == std::string_view::npos ? std::string_view() : output.substr(end + 1);
    std::string_view rest = line;
    const std::string_view given = first_word(rest);
    std::optional<Message> message = decode_line(rest);
    if (given == token && message) {
      decoded.messages.push_back(std::move(*message));
    } else if (given != token && line.find(result_word) != std::string_view::npos &&
               !decoded.forged) {
      decoded.forged = true;
      decoded.before_forged = decoded.messages.size();
    }
  }
  return decoded;
}

}  // namespace plugin_check::channel
