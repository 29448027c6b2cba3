#include "world_file.hpp"

#include <toml++/toml.h>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace tamrix_host {
namespace {

constexpr long int_min = std::numeric_limits<int>::min();
constexpr long int_max = std::numeric_limits<int>::max();

// A problem found in the file, already worded with its place.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Reader {
 public:
  explicit Reader(std::string path) : path_(std::move(path)) {}

  [[noreturn]] void refuse(const toml::source_region &where, const std::string &reason) const {
    throw Refusal(place(where) + ": " + reason);
  }

  [[nodiscard]] std::string place(const toml::source_region &where) const {
    return path_ + ":" + std::to_string(where.begin.line) + ":" +
           std::to_string(where.begin.column);
  }

  // Refuses any key of `table` that `known` does not list.
  void only_keys(const toml::table &table, const std::string &prefix,
                 std::initializer_list<std::string_view> known) const {
    for (const auto &[key, value] : table) {
      if (std::find(known.begin(), known.end(), key.str()) == known.end()) {
        std::string list;
        for (const std::string_view name : known) {
          list += (list.empty() ? "" : ", ") + std::string(name);
        }
        std::string reason = "unknown key '";
        reason.append(prefix).append(key.str()).append("'; the keys here are ").append(list);
        refuse(key.source(), reason);
      }
    }
  }

  long integer(const toml::node &node, const std::string &key, long low, long high) const {
    const auto *value = node.as_integer();
    if (value == nullptr || value->get() < low || value->get() > high) {
      refuse(node.source(), "'" + key + "' must be a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high) + described(node));
    }
    return static_cast<long>(value->get());
  }

  std::string string(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_string();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be a string" + described(node));
    }
    return value->get();
  }

  const toml::array &array(const toml::node &node, const std::string &key, const char *of) const {
    const auto *value = node.as_array();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be an array of " + of + described(node));
    }
    return *value;
  }

  const toml::table &table(const toml::node &node, const std::string &key) const {
    const auto *value = node.as_table();
    if (value == nullptr) {
      refuse(node.source(), "'" + key + "' must be a table" + described(node));
    }
    return *value;
  }

  std::vector<std::string> strings(const toml::node &node, const std::string &key) const {
    std::vector<std::string> values;
    for (const toml::node &item : array(node, key, "strings")) {
      values.push_back(string(item, key + "[" + std::to_string(values.size() + 1) + "]"));
    }
    return values;
  }

  GeometryPair pair(const toml::node &node, const std::string &key) const {
    const std::vector<std::string> names = strings(node, key);
    if (names.size() != 2) {
      refuse(node.source(), "'" + key + "' must name two geometries, as [\"floor\", \"arm\"]");
    }
    return {names[0], names[1]};
  }

  // A message's bytes: exactly one of text = "..." or bytes = [...].
  std::vector<unsigned char> bytes(const toml::table &message, const std::string &key) const {
    const toml::node *text = message.get("text");
    const toml::node *list = message.get("bytes");
    if ((text == nullptr) == (list == nullptr)) {
      refuse(message.source(), "'" + key + "' needs exactly one of 'text' and 'bytes'");
    }
    if (text != nullptr) {
      const std::string value = string(*text, key + ".text");
      return {value.begin(), value.end()};
    }
    std::vector<unsigned char> values;
    for (const toml::node &item : array(*list, key + ".bytes", "numbers from 0 to 255")) {
      values.push_back(static_cast<unsigned char>(
          integer(item, key + ".bytes[" + std::to_string(values.size() + 1) + "]", 0, 255)));
    }
    return values;
  }

  static std::string described(const toml::node &node) {
    std::ostringstream text;
    text << ", not " << node.type();
    return text.str();
  }

 private:
  std::string path_;
};

void read_expectations(const Reader &reader, const toml::table &expect, WorldFile &file) {
  reader.only_keys(expect, "expect.", {"console", "sent", "collide"});
  if (const toml::node *console = expect.get("console")) {
    file.console = reader.strings(*console, "expect.console");
  }
  if (const toml::node *sent = expect.get("sent")) {
    file.sent.emplace();
    for (const toml::node &item : reader.array(*sent, "expect.sent", "tables")) {
      const std::string key = "expect.sent[" + std::to_string(file.sent->size() + 1) + "]";
      const toml::table &message = reader.table(item, key);
      reader.only_keys(message, key + ".", {"channel", "text", "bytes"});
      const toml::node *channel = message.get("channel");
      if (channel == nullptr) {
        reader.refuse(message.source(), "'" + key + "' needs a 'channel'");
      }
      file.sent->push_back(
          {static_cast<int>(reader.integer(*channel, key + ".channel", int_min, int_max)),
           reader.bytes(message, key)});
    }
  }
  if (const toml::node *collide = expect.get("collide")) {
    for (const toml::node &item : reader.array(*collide, "expect.collide", "tables")) {
      const std::string key =
          "expect.collide[" + std::to_string(file.collide_answers.size() + 1) + "]";
      const toml::table &entry = reader.table(item, key);
      reader.only_keys(entry, key + ".", {"pair", "answer"});
      const toml::node *pair = entry.get("pair");
      const toml::node *answer = entry.get("answer");
      if (pair == nullptr || answer == nullptr) {
        reader.refuse(entry.source(), "'" + key + "' needs a 'pair' and an 'answer'");
      }
      file.collide_answers.push_back(
          {reader.pair(*pair, key + ".pair"),
           static_cast<int>(reader.integer(*answer, key + ".answer", int_min, int_max)),
           reader.place(pair->source())});
    }
  }
}

void read_table(const Reader &reader, const toml::table &root, WorldFile &file) {
  reader.only_keys(
      root, "",
      {"steps", "step_seconds", "bodies", "geometries", "lookups", "collide", "message", "expect"});
  if (const toml::node *steps = root.get("steps")) {
    file.steps = reader.integer(*steps, "steps", 0, max_steps);
  }
  if (const toml::node *seconds = root.get("step_seconds")) {
    const std::optional<double> value = seconds->value<double>();  // integers too
    if (!value || !std::isfinite(*value) || *value < 0) {
      reader.refuse(seconds->source(), "'step_seconds' must be a number of seconds, 0 or more" +
                                           Reader::described(*seconds));
    }
    file.step_seconds = *value;
  }
  for (const auto &[key, member] :
       {std::pair{"bodies", &WorldFile::bodies}, std::pair{"geometries", &WorldFile::geometries},
        std::pair{"lookups", &WorldFile::lookups}}) {
    if (const toml::node *names = root.get(key)) {
      file.*member = reader.strings(*names, key);
    }
  }
  if (const toml::node *collide = root.get("collide")) {
    file.collide.emplace();
    for (const toml::node &item : reader.array(*collide, "collide", "pairs")) {
      file.collide->push_back(
          reader.pair(item, "collide[" + std::to_string(file.collide->size() + 1) + "]"));
      file.collide_where.push_back(reader.place(item.source()));
    }
  }
  if (const toml::node *messages = root.get("message")) {
    for (const toml::node &item : reader.array(*messages, "message", "tables ([[message]])")) {
      const std::string key = "message[" + std::to_string(file.messages.size() + 1) + "]";
      const toml::table &message = reader.table(item, key);
      reader.only_keys(message, key + ".", {"channel", "step", "text", "bytes"});
      const toml::node *channel = message.get("channel");
      const toml::node *step = message.get("step");
      if (channel == nullptr || step == nullptr) {
        reader.refuse(message.source(), "'" + key + "' needs a 'channel' and a 'step'");
      }
      QueuedMessage queued;
      queued.channel =
          static_cast<int>(reader.integer(*channel, key + ".channel", int_min, int_max));
      queued.step = reader.integer(*step, key + ".step", 1, max_steps);
      queued.bytes = reader.bytes(message, key);
      file.messages.push_back(std::move(queued));
    }
  }
  if (const toml::node *expect = root.get("expect")) {
    read_expectations(reader, reader.table(*expect, "expect"), file);
  }
}

std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
    }
    out += c;
  }
  return out + '"';
}

std::string message_text(const Message &message) {
  return "channel " + std::to_string(message.channel) + " " + quoted(message.text());
}

// Element by element, then what one list has beyond the other.
template <typename T, typename Show>
void compare_lists(const std::string &key, const std::vector<T> &expected,
                   const std::vector<T> &actual, Show show, std::vector<std::string> &unmet) {
  for (std::size_t i = 0; i < std::max(expected.size(), actual.size()); ++i) {
    const bool have_expected = i < expected.size();
    const bool have_actual = i < actual.size();
    if (have_expected && have_actual && expected[i] == actual[i]) {
      continue;
    }
    unmet.push_back(key + "[" + std::to_string(i + 1) + "]: expected " +
                    (have_expected ? show(expected[i]) : "nothing more") + ", got " +
                    (have_actual ? show(actual[i]) : "nothing"));
  }
}

}  // namespace

std::size_t WorldFile::expectation_count() const {
  return (console ? 1 : 0) + (sent ? 1 : 0) + collide_answers.size();
}

std::string read_world_file(const std::string &path, WorldFile &file) {
  // A FIFO or a device would block or never end; a world file is a file.
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) {
    return "cannot read the world file " + path + ": " + error.message();
  }
  if (!std::filesystem::is_regular_file(status)) {
    return "the world file " + path + " is not a regular file";
  }
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  if (!stream) {
    return "cannot read the world file " + path;
  }
  try {
    const toml::table root = toml::parse(text.str(), path);
    read_table(Reader(path), root, file);
  } catch (const toml::parse_error &bad) {
    return Reader(path).place(bad.source()) + ": not valid TOML: " + std::string(bad.description());
  } catch (const Refusal &refusal) {
    return refusal.what();
  }
  return {};
}

std::vector<std::string> unmet_expectations(const WorldFile &file, const Host &host) {
  std::vector<std::string> unmet;
  if (file.console) {
    std::vector<std::string> texts;
    for (const ConsoleMessage &message : host.console()) {
      texts.push_back(message.text);
    }
    compare_lists("expect.console", *file.console, texts, quoted, unmet);
  }
  if (file.sent) {
    compare_lists("expect.sent", *file.sent, host.sends(), message_text, unmet);
  }
  const std::vector<PairTally> tallies = host.tallies();
  for (std::size_t i = 0; i < file.collide_answers.size(); ++i) {
    const ExpectedCollide &expected = file.collide_answers[i];
    const std::string key = "expect.collide[" + std::to_string(i + 1) + "] (" +
                            expected.pair.first + ", " + expected.pair.second + ")";
    const auto tally = std::find_if(tallies.begin(), tallies.end(), [&](const PairTally &t) {
      return t.first == expected.pair.first && t.second == expected.pair.second;
    });
    const std::string want = "expected " + std::to_string(expected.answer) + " from every call";
    if (tally == tallies.end() || tally->calls == 0) {
      unmet.push_back(key);
      unmet.back().append(": ").append(want).append(", got no call for this pair");
      continue;
    }
    std::string got;
    for (const auto &[answer, count] : tally->answers) {
      if (answer != expected.answer) {
        got.append(got.empty() ? "" : ", ")
            .append(std::to_string(answer))
            .append(" in ")
            .append(std::to_string(count))
            .append(" of ")
            .append(std::to_string(tally->calls))
            .append(" calls");
      }
    }
    if (!got.empty()) {
      unmet.push_back(key);
      unmet.back().append(": ").append(want).append(", got ").append(got);
    }
  }
  return unmet;
}

}  // namespace tamrix_host
