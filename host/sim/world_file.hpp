// World files for host-sim: a TOML file that sets up the world, the run and
// what the run must show.
#pragma once

#include <array>
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

// [[expect.body]]: where a body is, how it is turned, how fast it moves or
// how far it went, after a step.
struct ExpectedBody {
  std::string name;
  long step = 1;
  std::optional<std::array<double, 3>> position;
  std::optional<std::array<double, 3>> velocity;
  std::optional<std::array<double, 3>> rpy;
  std::optional<std::array<double, 3>> angular_velocity;
  // From the position after from_step (0: the start) to the one after step.
  std::optional<std::array<double, 3>> displacement;
  long from_step = 0;
  double tolerance = 0.001;        // m or m/s, for each coordinate
  double angle_tolerance = 0.001;  // rad, or rad/s for each coordinate
  std::string where;               // "FILE:LINE:COLUMN" of the expectation
};

// [[expect.joint]]: a joint's angle, position or rate after a step.
struct ExpectedJoint {
  std::string name;
  long step = 1;
  std::optional<double> angle;
  std::optional<double> position;
  std::optional<double> rate;
  double tolerance = 0.001;
  std::string where;
};

// What the run saw for the expectations, beside them: unset where the run
// ended before the step.
struct Observed {
  std::vector<std::optional<BodyState>> bodies;       // after each body expectation's step
  std::vector<std::optional<BodyState>> bodies_from;  // after its from_step
  std::vector<std::optional<JointState>> joints;
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
  std::optional<Engine> engine;

  // [expect]: each unset key is not checked.
  std::optional<std::vector<std::string>> console;
  std::optional<std::vector<Message>> sent;
  std::vector<ExpectedCollide> collide_answers;
  std::vector<ExpectedBody> body_expectations;
  std::vector<ExpectedJoint> joint_expectations;

  [[nodiscard]] std::size_t expectation_count() const;
};

inline constexpr long max_steps = 1000000000L;
// A world file is a page of settings; anything larger is refused unread.
inline constexpr std::size_t max_world_file_bytes = std::size_t{16} * 1024 * 1024;

// Reads `path` into `file`, or returns the one-line reason it cannot,
// starting "FILE:LINE:COLUMN: " whenever a place in the file is to blame.
std::string read_world_file(const std::string &path, WorldFile &file);

// The standard world under the file's: its engine part replaces the
// standard bodies and geometries. Expectations are left to the caller.
World world_of(const WorldFile &file);

// Why a Host cannot take `world` (too many collide pairs), or empty.
std::string world_size_problem(const World &world);

// Records in `observed` what the expectations of `file` look at after
// `step` steps (0: the start).
void observe(const WorldFile &file, const Host &host, long step, Observed &observed);

// One line for every expectation of `file` that the run on `host` did not
// meet, saying what was expected and what happened.
std::vector<std::string> unmet_expectations(const WorldFile &file, const Host &host,
                                            const Observed &observed);

}  // namespace tamrix_host
