// World files for host-sim: a TOML file that sets up the world, the run and
// what the run must show.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tamrix_host.hpp"

namespace tamrix_host {

struct ExpectedCollide {
  GeometryPair pair;
  int answer = 0;
  std::string where;  // "FILE:LINE:COLUMN" of the pair, for a pair the world lacks
};

struct WorldFile {
  std::optional<long> steps;
  std::optional<double> step_seconds;
  std::optional<std::vector<std::string>> bodies;
  std::optional<std::vector<std::string>> geometries;
  std::optional<std::vector<std::string>> lookups;
  std::optional<std::vector<GeometryPair>> collide;
  std::vector<std::string> collide_where;  // beside collide
  std::vector<QueuedMessage> messages;

  // [expect]: each unset key is not checked.
  std::optional<std::vector<std::string>> console;
  std::optional<std::vector<Message>> sent;
  std::vector<ExpectedCollide> collide_answers;

  [[nodiscard]] std::size_t expectation_count() const;
};

inline constexpr long max_steps = 1000000000L;

// Reads `path` into `file`, or returns the one-line reason it cannot,
// starting "FILE:LINE:COLUMN: " whenever a place in the file is to blame.
std::string read_world_file(const std::string &path, WorldFile &file);

// One line for every expectation of `file` that the run on `host` did not
// meet, saying what was expected and what happened.
std::vector<std::string> unmet_expectations(const WorldFile &file, const Host &host);

}  // namespace tamrix_host
