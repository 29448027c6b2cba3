#include "observe/reach.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

#include "contract.hpp"
#include "programs/join.hpp"

namespace plugin_check {
namespace {

struct CategoryText {
  std::string_view name;
  std::string_view words;
};

constexpr std::array category_texts = {
#define REACH_CATEGORY(id, name, words) CategoryText{name, words},
#include "observe/reach.def"
};

struct Entry {
  std::string_view name;
  Category category;
};

// The table's names, sorted once for lookups.
const std::vector<Entry> &table() {
  static const std::vector<Entry> sorted = [] {
    std::vector<Entry> entries = {
#define REACH_FUNCTION(name, category) Entry{#name, Category::category},
#define REACH_VARIABLE(name, category) Entry{#name, Category::category},
#include "observe/reach.def"
    };
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return entries;
  }();
  return sorted;
}

std::optional<Category> listed(std::string_view name) {
  const std::vector<Entry> &entries = table();
  const auto found =
      std::lower_bound(entries.begin(), entries.end(), name,
                       [](const Entry &entry, std::string_view n) { return entry.name < n; });
  if (found == entries.end() || found->name != name) {
    return std::nullopt;
  }
  return found->category;
}

bool starts_with(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The name a variant stands for: __memcpy_chk is memcpy, __isoc99_sscanf is
// sscanf, open64 is open; the name itself otherwise.
std::string_view stands_for(std::string_view name) {
  if (starts_with(name, "__") && ends_with(name, "_chk") && name.size() > 6) {
    return name.substr(2, name.size() - 6);
  }
  for (const std::string_view prefix : {"__isoc99_", "__isoc23_"}) {
    if (starts_with(name, prefix)) {
      return name.substr(prefix.size());
    }
  }
  if (ends_with(name, "64") && name.size() > 2) {
    return name.substr(0, name.size() - 2);
  }
  return name;
}

std::string_view how_word(Reached::How how) {
  switch (how) {
    case Reached::How::imports:
      return "imports";
    case Reached::How::resolves:
      return "resolves";
    case Reached::How::opens:
      return "opens";
    case Reached::How::calls:
      return "calls";
    case Reached::How::makes:
      return "makes";
  }
  return "calls";
}

bool allowed_in(Category category, const std::vector<Category> &allowed) {
  return std::find(allowed.begin(), allowed.end(), category) != allowed.end();
}

std::string times(long count) {
  return count == 1 ? std::string() : " " + std::to_string(count) + " times";
}

// What was done at run time, said after the hook's name: "called " (srand),
// "looked up " (foo), "loaded " (libbar.so).
std::string_view verb(const Reached &reached) {
  switch (reached.how) {
    case Reached::How::resolves:
      return "looked up ";
    case Reached::How::opens:
      return "loaded ";
    case Reached::How::makes:
      return "made the system call ";
    case Reached::How::calls:
    case Reached::How::imports:
      break;
  }
  return "called ";
}

// Who did it at run time: the plug-in function it was in, or its own thread.
std::string teller(const Reached &reached) {
  return reached.hook.empty() ? "a thread of the plug-in's own" : reached.hook;
}

}  // namespace

bool engine_function_name(std::string_view name) {
  return name.size() > 1 && name[0] == 'd' && name[1] >= 'A' && name[1] <= 'Z';
}

std::string_view category_name(Category category) {
  return category_texts.at(static_cast<std::size_t>(category)).name;
}

std::string_view category_words(Category category) {
  return category_texts.at(static_cast<std::size_t>(category)).words;
}

std::optional<Category> category_named(std::string_view name) {
  for (std::size_t i = 0; i < category_texts.size(); ++i) {
    if (category_texts.at(i).name == name && static_cast<Category>(i) != Category::quiet) {
      return static_cast<Category>(i);
    }
  }
  return std::nullopt;
}

std::string category_names() {
  std::string text;
  for (std::size_t i = 0; i < category_texts.size(); ++i) {
    if (static_cast<Category>(i) != Category::quiet) {
      text += (text.empty() ? "" : ", ") + std::string(category_texts.at(i).name);
    }
  }
  return text;
}

Category category_of(std::string_view name) {
  if (std::find_if(tamrix_host::contract::names.begin(), tamrix_host::contract::names.end(),
                   [name](const char *own) { return name == own; }) !=
      tamrix_host::contract::names.end()) {
    return Category::quiet;
  }
  if (const std::optional<Category> category = listed(name)) {
    return *category;
  }
  if (const std::optional<Category> category = listed(stands_for(name))) {
    return *category;
  }
  return Category::unlisted;
}

Category category_of(const Reached &reached) {
  if (reached.how == Reached::How::makes) {
    return Category::syscalls;
  }
  const Category named = category_of(reached.name);
  // A quiet name looked up is still a look-up.
  return reached.how == Reached::How::opens ||
                 (reached.how == Reached::How::resolves && named == Category::quiet)
             ? Category::loading
             : named;
}

std::vector<Reached> imported_reach(const std::vector<std::string> &imports, bool engine_plugin) {
  std::vector<Reached> reach;
  for (const std::string &name : imports) {
    if (category_of(name) != Category::quiet && !(engine_plugin && engine_function_name(name))) {
      reach.push_back({Reached::How::imports, name, {}, 0});
    }
  }
  return reach;
}

namespace {

// Entries are separated by ';', fields by ' ': a name or a library's path that
// holds either (or '%') has it written as %XX.
std::string escaped(std::string_view name) {
  std::string text;
  for (const char c : name) {
    if (c == ' ' || c == ';' || c == '%') {
      constexpr std::string_view digits = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned char>(c);
      text.append(1, '%').append(1, digits.at(byte / 16U)).append(1, digits.at(byte % 16U));
    } else {
      text += c;
    }
  }
  return text;
}

std::string unescaped(std::string_view text) {
  std::string name;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned value = 0;
    if (text[i] == '%' && i + 2 < text.size() &&
        std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr ==
            text.data() + i + 3) {
      name += static_cast<char>(value);
      i += 2;
    } else {
      name += text[i];
    }
  }
  return name;
}

}  // namespace

std::string encode_run_time_reach(const std::vector<Reached> &seen) {
  std::string text;
  for (const Reached &reached : seen) {
    text.append(how_word(reached.how))
        .append(" ")
        .append(escaped(reached.name))
        .append(" ")
        .append(reached.hook.empty() ? "-" : reached.hook)
        .append(" ")
        .append(std::to_string(reached.count))
        .append(";");
  }
  return text;
}

std::vector<Reached> decode_run_time_reach(std::string_view text) {
  std::vector<Reached> seen;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(';'), text.size());
    std::string_view entry = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    std::array<std::string_view, 4> fields{};
    for (std::string_view &field : fields) {
      const std::size_t space = std::min(entry.find(' '), entry.size());
      field = entry.substr(0, space);
      entry.remove_prefix(std::min(space + 1, entry.size()));
    }
    Reached reached;
    bool known = false;
    for (const Reached::How how :
         {Reached::How::resolves, Reached::How::opens, Reached::How::calls, Reached::How::makes}) {
      if (how_word(how) == fields[0]) {
        reached.how = how;
        known = true;
      }
    }
    if (!known || fields[1].empty() ||
        std::from_chars(fields[3].data(), fields[3].data() + fields[3].size(), reached.count).ec !=
            std::errc()) {
      continue;
    }
    reached.name = unescaped(fields[1]);
    reached.hook = fields[2] == "-" ? std::string() : std::string(fields[2]);
    seen.push_back(std::move(reached));
  }
  return seen;
}

namespace {

// What was done at run time, hook by hook in the order the hooks were first
// seen, each deed with its category's words when `said`: "tamrix_physics_init
// called srand (...) and setvbuf (...)", a repeated verb said once.
std::vector<std::string> by_hook(const std::vector<const Reached *> &done, bool said) {
  struct Told {
    std::string hook;
    std::vector<std::string> deeds;
    std::string_view last_verb;
    std::optional<Category> last_category;
  };
  std::vector<Told> hooks;
  for (const Reached *reached : done) {
    const std::string hook = teller(*reached);
    auto found = std::find_if(hooks.begin(), hooks.end(),
                              [&hook](const Told &told) { return told.hook == hook; });
    if (found == hooks.end()) {
      found = hooks.insert(hooks.end(), {hook, {}, {}, {}});
    }
    const Category category = category_of(*reached);
    // A category's words are said once, after the last deed of a run of its own.
    if (said && found->last_category && *found->last_category != category) {
      found->deeds.back() += " (" + std::string(category_words(*found->last_category)) + ")";
    }
    found->deeds.push_back((verb(*reached) == found->last_verb ? "" : std::string(verb(*reached))) +
                           reached->name + times(reached->count));
    found->last_verb = verb(*reached);
    found->last_category = category;
  }
  for (Told &told : hooks) {
    if (said && told.last_category) {
      told.deeds.back() += " (" + std::string(category_words(*told.last_category)) + ")";
    }
  }
  // A line stays readable: past a dozen deeds, their number.
  constexpr std::size_t most_told = 12;
  std::vector<std::string> clauses;
  clauses.reserve(hooks.size());
  for (Told &told : hooks) {
    if (told.deeds.size() > most_told + 1) {
      const std::size_t more = told.deeds.size() - most_told;
      told.deeds.resize(most_told);
      told.deeds.push_back(std::to_string(more) + " more");
    }
    clauses.push_back(told.hook + " " + tamrix_host::listed(told.deeds));
  }
  return clauses;
}

}  // namespace

std::vector<std::string> reach_manifest(const Reach &reach, const std::vector<Category> &allowed) {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < category_texts.size(); ++i) {
    const auto category = static_cast<Category>(i);
    std::vector<std::string> imported;
    std::vector<const Reached *> at_run_time;
    for (const Reached &reached : reach.seen) {
      if (category == Category::quiet || category_of(reached) != category) {
        continue;
      }
      if (reached.how == Reached::How::imports) {
        imported.push_back(reached.name);
      } else {
        at_run_time.push_back(&reached);
      }
    }
    if (imported.empty() && at_run_time.empty()) {
      continue;
    }
    std::vector<std::string> parts;
    if (!imported.empty()) {
      parts.push_back("imports " + tamrix_host::listed(imported));
    }
    if (!at_run_time.empty()) {
      parts.push_back(tamrix_host::join(by_hook(at_run_time, false), ", "));
    }
    lines.push_back("reach " + std::string(category_name(category)) + " (" +
                    std::string(category_words(category)) + ")" +
                    (allowed_in(category, allowed) ? ", allowed" : "") + ": " +
                    tamrix_host::join(parts, "; "));
  }
  if (lines.empty()) {
    lines.emplace_back("reach: nothing beyond what a physics plug-in plainly needs");
  }
  if (!reach.run_time_unseen.empty()) {
    lines.push_back("reach at run time unseen: " + reach.run_time_unseen);
  }
  return lines;
}

std::string unallowed_reach(const Reach &reach, const std::vector<Category> &allowed) {
  std::vector<const Reached *> at_run_time;
  std::array<std::vector<std::string>, category_texts.size()> imported_by_category;
  for (const Reached &reached : reach.seen) {
    const Category category = category_of(reached);
    if (category == Category::quiet || allowed_in(category, allowed)) {
      continue;
    }
    if (reached.how == Reached::How::imports) {
      imported_by_category.at(static_cast<std::size_t>(category)).push_back(reached.name);
    } else {
      at_run_time.push_back(&reached);
    }
  }
  if (!at_run_time.empty()) {
    return tamrix_host::join(by_hook(at_run_time, true), "; ");
  }
  std::vector<std::string> imported;
  for (std::size_t i = 0; i < imported_by_category.size(); ++i) {
    if (!imported_by_category.at(i).empty()) {
      imported.push_back(tamrix_host::listed(imported_by_category.at(i)) + " (" +
                         std::string(category_texts.at(i).words) + ")");
    }
  }
  return imported.empty() ? std::string() : "the plug-in imports " + tamrix_host::listed(imported);
}

}  // namespace plugin_check
