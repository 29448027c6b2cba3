// Every key a world file may hold, in one table: the reader takes the keys
// allowed in each table from it, --help (and so the man page) lists it, and
// the key table of host-sim's page is held to it by a test, so the three
// cannot disagree.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tamrix_host {

struct WorldKey {
  std::string_view table;  // "" for the top of the file, else as in [engine.body]
  std::string_view key;
  // The shapes or joint types that take the key, space-separated; empty for all.
  std::string_view kinds;
  std::string_view what;
};

std::span<const WorldKey> world_keys();

// The keys `table` allows for a thing of `kind` (a shape or a joint type),
// in the table's order.
std::vector<std::string_view> keys_of(std::string_view table, std::string_view kind = {});

// The table as --help prints it, and as the key table of docs/host-sim.md.
std::string world_keys_text();
std::string world_keys_markdown();

}  // namespace tamrix_host
