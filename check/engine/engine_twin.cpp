#include "engine/engine_twin.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine_answers.hpp"
#include "engine/number_text.hpp"
#include "fixture/engine_world.hpp"
#include "programs/join.hpp"

namespace plugin_check {
namespace {

bool same_motion(const BodyReading &one, const BodyReading &other) {
  return one.position == other.position && one.orientation == other.orientation &&
         one.linear == other.linear && one.angular == other.angular;
}

std::string place_text(const std::array<double, 3> &position) { return text(position.data(), 3); }

}  // namespace

std::string apart_from_twin(tamrix_host::Host &host, int steps) {
  const tamrix_host::World &described = host.world();
  std::vector<BodyReading> start = read_bodies(host);
  if (!described.engine || start.size() != described.bodies.size()) {
    return {};
  }
  tamrix_host::EngineWorld twin(*described.engine);
  for (std::size_t i = 0; i < start.size(); ++i) {
    start[i] = read_body(twin.handle(i), described.bodies[i]);
  }
  // Both worlds get the same calls in the same order: a body set moves its
  // geometries to the front of the space's list, which orders its pairs.
  const auto leave_all = [](void * /*context*/, void * /*first*/, void * /*second*/,
                            std::size_t /*first_index*/,
                            std::size_t /*second_index*/) { return 0; };
  std::vector<std::vector<BodyReading>> twin_steps;
  for (std::size_t i = 0; i < start.size(); ++i) {
    place_body(twin.handle(i), start[i]);
  }
  restart_random_numbers();
  for (int step = 0; step < steps; ++step) {
    (void)twin.collide(leave_all, nullptr);
    twin.advance(described.step_seconds);
    std::vector<BodyReading> now;
    for (std::size_t i = 0; i < start.size(); ++i) {
      now.push_back(read_body(twin.handle(i), described.bodies[i]));
    }
    twin_steps.push_back(std::move(now));
  }
  put_back(host, start);
  for (int step = 0; step < steps; ++step) {
    host.step_without_plugin();
    const std::vector<BodyReading> now = read_bodies(host);
    const std::vector<BodyReading> &expected = twin_steps[static_cast<std::size_t>(step)];
    std::vector<std::string> apart;
    for (std::size_t i = 0; i < now.size() && i < expected.size(); ++i) {
      if (!same_motion(now[i], expected[i])) {
        apart.push_back(now[i].name);
      }
    }
    if (now.size() != expected.size()) {
      return {};
    }
    if (apart.empty()) {
      continue;
    }
    // Where the first of them ends up tells how far apart.
    const std::size_t first = static_cast<std::size_t>(
        std::find(described.bodies.begin(), described.bodies.end(), apart.front()) -
        described.bodies.begin());
    for (int later = step + 1; later < steps; ++later) {
      host.step_without_plugin();
    }
    const std::vector<BodyReading> last = read_bodies(host);
    const BodyReading &twin_last = twin_steps.back()[first];
    std::string where = last.size() > first ? place_text(last[first].position) : "nowhere";
    return (apart.size() == 1 ? "body " : "bodies ") + tamrix_host::listed(apart) +
           " moved apart from a twin world the plug-in never touched, set to the same poses "
           "and speeds, at step " +
           std::to_string(step + 1) + "; after " + std::to_string(steps) + " steps " +
           apart.front() + " stood at " + where + " where its twin stood at " +
           place_text(twin_last.position);
  }
  return {};
}

}  // namespace plugin_check
