// Right answers, not only survival: the same calls of step, getBody and
// collide, made on one thread and then spread over 8 at once, must leave the
// same answers, the same contacts in the host's group and the same pushes on
// its bodies. A plug-in that changes the engine or its own state without a
// lock survives threads-step-collide and still loses work at every step.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "behaviour/behaviour.hpp"
#include "engine/engine_answers.hpp"
#include "engine/engine_snapshot.hpp"
#include "programs/meeting.hpp"

namespace plugin_check {
namespace {

constexpr int thread_count = 8;
constexpr long calls_per_round = 16;
constexpr long step_calls = 1024;
constexpr long lookup_rounds = 64;
constexpr long stub_collide_rounds = 256;
constexpr int most_collide_rounds = 256;
// The engine reads a body's contacts one walk each, so a run holds a few
// thousand at most; the rounds are fewer for a plug-in that makes many.
constexpr long contacts_per_run = 4096;
// More in one call than any host steps in good time: a warning.
constexpr long most_contacts_in_one_call = 10000;

using Pair = std::pair<tamrix_geom_handle, tamrix_geom_handle>;

// Calls `call(k)` for each k below `calls`: here, or dealt out over
// `threads` threads in rounds of a few calls each, every round released
// together. A thread's whole share takes less than the system's slice of
// time, so threads released once may each run theirs alone on a busy
// machine, one after another, and never overlap; a round of one call each
// is no better, as the thread that ends a wait runs its call before the
// others have woken.
template <typename Call>
void spread(int threads, long calls, const Call &call) {
  if (threads == 1) {
    for (long k = 0; k < calls; ++k) {
      call(k);
    }
    return;
  }
  tamrix_host::Meeting round(threads);
  std::vector<std::thread> workers;
  workers.reserve(static_cast<std::size_t>(threads));
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&round, &call, calls, threads, t] {
      for (long k = t, n = 0; k - t < calls; k += threads, ++n) {
        if (n % calls_per_round == 0) {
          round.arrive_and_wait();
        }
        if (k < calls) {
          call(k);
        }
      }
    });
  }
  for (std::thread &worker : workers) {
    worker.join();
  }
}

template <std::size_t N>
std::string text(const std::array<double, N> &values) {
  std::string out = "(";
  for (std::size_t i = 0; i < N; ++i) {
    char digits[32];
    std::snprintf(digits, sizeof digits, "%.9g", values[i]);
    out += (i == 0 ? "" : ", ") + std::string(digits);
  }
  return out + ")";
}

struct Run {
  std::vector<BodyReading> pushed;      // after the steps
  std::vector<BodyReading> stepped;     // after one step of the engine with those pushes
  std::map<std::string, long> lookups;  // "ghost: null" -> how many
  std::map<std::string, long> answers;  // "arm and floor: 1" -> how many
  HeldContacts contacts;
  bool host_contact_kept = true;
};

// Steps first, then lookups beside steps, then collides beside lookups, each phase whole
// before the next: what collide answers may follow from what step did, never from
// which of them a thread happened to run first.
Run run(const Plugin &plugin, Host &host, int threads, const std::vector<Pair> &pairs,
        long collide_calls, const std::vector<BodyReading> &start) {
  const bool engine = host.engine_world() != nullptr;
  const tamrix_host::Running running(
      threads == 1 ? "tamrix_physics_step, getBody and tamrix_physics_collide on one thread"
                   : "tamrix_physics_step, getBody and tamrix_physics_collide from 8 threads");
  Run found;
  if (engine) {
    put_back(host, start);
  }
  spread(threads, step_calls, [&plugin](long) { plugin.call(hook::step.unnamed()); });
  if (engine) {
    found.pushed = read_bodies(host);
  }

  // Each name asked for by half the threads at once, as a host's threads
  // all look up the body they act on, while the other half step, as other
  // threads of a host may meanwhile: an answer of getBody may not follow
  // from a step that happened to run beside it. A step between lookups on
  // one thread makes the same number of steps.
  std::vector<std::string> names = host.world().bodies;
  names.emplace_back("ghost");
  const auto name_of_call = [&names](std::size_t k) -> const std::string & {
    return names[k / (thread_count / 2) % names.size()];
  };
  std::vector<tamrix_body_handle> got(names.size() * lookup_rounds * thread_count);
  spread(threads, static_cast<long>(2 * got.size()), [&](long k) {
    const auto at = static_cast<std::size_t>(k / 2);
    if (k % 2 == 0) {
      got[at] = plugin.call(hook::get_body.unnamed(), name_of_call(at).c_str());
    } else {
      plugin.call(hook::step.unnamed());
    }
  });
  for (std::size_t k = 0; k < got.size(); ++k) {
    ++found.lookups[name_of_call(k) + ": " + host.name_of(got[k])];
  }

  const void *mark = nullptr;
  if (engine) {
    empty_contact_group(host.contact_group());
    mark = host_contact(host);
    watch_contacts(host);
  }
  // A lookup beside each collide, as a host's other threads may ask while
  // it collides: a collide that touches what getBody keeps shows in either.
  std::vector<int> said(static_cast<std::size_t>(collide_calls));
  std::vector<tamrix_body_handle> got_beside(said.size());
  spread(threads, 2 * collide_calls, [&](long k) {
    const auto at = static_cast<std::size_t>(k / 2);
    if (k % 2 == 0) {
      const Pair &pair = pairs[at % pairs.size()];
      said[at] = plugin.call(hook::collide.unnamed(), pair.first, pair.second);
    } else {
      got_beside[at] = plugin.call(hook::get_body.unnamed(), name_of_call(at).c_str());
    }
  });
  for (std::size_t k = 0; k < got_beside.size(); ++k) {
    ++found.lookups[name_of_call(k) + ": " + host.name_of(got_beside[k])];
  }
  for (std::size_t k = 0; k < said.size(); ++k) {
    const Pair &pair = pairs[k % pairs.size()];
    ++found.answers[host.name_of(pair.first) + " and " + host.name_of(pair.second) + ": " +
                    std::to_string(said[k])];
  }
  if (engine) {
    found.contacts = held_contacts(host, mark);
    found.host_contact_kept = host_contact_kept(host, mark);
    // The host's next step, with the pushes and its own contacts; not with
    // the same contacts made hundreds of times over, nor with a push the
    // engine stops the process for.
    empty_contact_group(host.contact_group());
    if (pushes_not_finite(found.pushed, "tamrix_physics_step").empty()) {
      host.step_without_plugin();
      found.stepped = read_bodies(host);
    }
  }
  return found;
}

bool close(double one, double many) {
  if (std::isnan(one) || std::isnan(many)) {
    return std::isnan(one) == std::isnan(many);
  }
  return std::abs(one - many) <= 1e-9 * std::max({1.0, std::abs(one), std::abs(many)});
}

template <std::size_t N>
bool close(const std::array<double, N> &one, const std::array<double, N> &many) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!close(one[i], many[i])) {
      return false;
    }
  }
  return true;
}

// The first body whose `fields` differ between the runs, as "<body>: <field>
// <many> where one thread <verb> <one>"; empty when all agree.
std::string first_difference(const std::vector<BodyReading> &one,
                             const std::vector<BodyReading> &many, bool pushes) {
  using Field = std::array<double, 3> BodyReading::*;
  const std::array<std::pair<const char *, Field>, 5> fields = {
      {{"force", &BodyReading::force},
       {"torque", &BodyReading::torque},
       {"position", &BodyReading::position},
       {"linear velocity", &BodyReading::linear},
       {"angular velocity", &BodyReading::angular}}};
  for (std::size_t b = 0; b < std::min(one.size(), many.size()); ++b) {
    for (std::size_t f = pushes ? 0 : 2; f < (pushes ? 2 : fields.size()); ++f) {
      const auto &[name, field] = fields.at(f);
      if (!close(one[b].*field, many[b].*field)) {
        return "body " + one[b].name + " with " + name + " " + text(many[b].*field) +
               " where one thread left " + text(one[b].*field);
      }
    }
    if (!pushes && !close(one[b].orientation, many[b].orientation)) {
      return "body " + one[b].name + " with orientation " + text(many[b].orientation) +
             " where one thread left " + text(one[b].orientation);
    }
  }
  return {};
}

// "<key> 120 times where one thread did 128 times" for the first key whose
// count differs; empty when the two tallies agree.
std::string tally_difference(const std::map<std::string, long> &one,
                             const std::map<std::string, long> &many) {
  std::map<std::string, std::pair<long, long>> both;
  for (const auto &[key, count] : one) {
    both[key].first = count;
  }
  for (const auto &[key, count] : many) {
    both[key].second = count;
  }
  for (const auto &[key, counts] : both) {
    if (counts.first != counts.second) {
      const auto times = [](long count) {
        return std::to_string(count) + (count == 1 ? " time" : " times");
      };
      return "\"" + key + "\" " + times(counts.second) + " where one thread did " +
             times(counts.first);
    }
  }
  return {};
}

// Each pair a host may ask about: every pair of the stub world; in an
// engine world those with a body, as the engine's candidates have.
std::vector<Pair> pairs_of(const Host &host) {
  const std::vector<tamrix_geom_handle> geometries = host.geometries();
  const std::size_t moving = host.engine_world() != nullptr ? host.world().bodies.size() : 0;
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < geometries.size(); ++i) {
    for (std::size_t j = i + 1; j < geometries.size(); ++j) {
      if (moving == 0 || i < moving) {
        pairs.emplace_back(geometries[i], geometries[j]);
      }
    }
  }
  return pairs;
}

}  // namespace

// Each run, and the count before them, is a life of its own, from init to
// cleanup, in the world as it was at the start: a plug-in that counts its
// steps, or ramps a push up over them, starts over at init, so the second
// run's calls meet the state the first run's met.
Outcome same_answers(const Plugin &plugin, Host &host) {
  set_up(plugin, Host::services());
  plugin.call(hook::init);
  const bool engine = host.engine_world() != nullptr;
  const std::vector<Pair> pairs = pairs_of(host);
  const std::vector<BodyReading> start = engine ? read_bodies(host) : std::vector<BodyReading>{};

  // Each pair once, alone, to count what one call makes; the rounds then
  // hold the contacts of a run to what can be read back in good time.
  long collide_calls = static_cast<long>(pairs.size()) * stub_collide_rounds;
  std::string many_contacts;
  if (engine) {
    long per_round = 0;
    const tamrix_host::Running running("tamrix_physics_collide, once for each pair");
    for (const Pair &pair : pairs) {
      empty_contact_group(host.contact_group());
      const long before = joint_ends(host);
      (void)plugin.call(hook::collide.unnamed(), pair.first, pair.second);
      const long made =
          (joint_ends(host) - before) / std::max(1, bodies_of(pair.first, pair.second));
      per_round += made;
      if (made > most_contacts_in_one_call && many_contacts.empty()) {
        many_contacts = "tamrix_physics_collide made " + std::to_string(made) +
                        " contacts in one call, for " + host.name_of(pair.first) + " and " +
                        host.name_of(pair.second) + ", where a host steps a few per pair";
      }
    }
    empty_contact_group(host.contact_group());
    const long rounds =
        std::clamp(contacts_per_run / std::max(1L, per_round), 1L, long{most_collide_rounds});
    collide_calls = many_contacts.empty() ? static_cast<long>(pairs.size()) * rounds : 0;
  }
  plugin.call(hook::cleanup);

  const auto life = [&](int threads) {
    plugin.call(hook::init);
    Run found = run(plugin, host, threads, pairs, collide_calls, start);
    plugin.call(hook::cleanup);
    return found;
  };
  const Run one = life(1);
  const Run many = life(thread_count);

  for (const Run *found : {&one, &many}) {
    if (std::string fault = pushes_not_finite(found->pushed, "tamrix_physics_step");
        !fault.empty()) {
      return failed(fault);
    }
    if (!found->contacts.not_finite.empty()) {
      return failed("tamrix_physics_collide made " + found->contacts.not_finite);
    }
    if (!found->host_contact_kept) {
      return failed(
          "tamrix_physics_collide emptied the host's contact group: a contact the host "
          "had made in it before the call was gone");
    }
  }
  if (std::string differs = tally_difference(one.lookups, many.lookups); !differs.empty()) {
    return failed("getBody on 8 threads answered " + differs);
  }
  if (std::string differs = tally_difference(one.answers, many.answers); !differs.empty()) {
    return failed("tamrix_physics_collide on 8 threads answered " + differs);
  }
  if (one.contacts.count != many.contacts.count) {
    return failed("tamrix_physics_collide on 8 threads made " +
                  std::to_string(many.contacts.count) + " contacts where one thread made " +
                  std::to_string(one.contacts.count));
  }
  if (std::string differs = tally_difference(one.contacts.kinds, many.contacts.kinds);
      !differs.empty()) {
    return failed("tamrix_physics_collide on 8 threads made a contact " + differs);
  }
  if (std::string differs = first_difference(one.pushed, many.pushed, true); !differs.empty()) {
    return failed("tamrix_physics_step on 8 threads left " + differs);
  }
  if (std::string differs = first_difference(one.stepped, many.stepped, false); !differs.empty()) {
    return failed("after the plug-in's steps on 8 threads and one step of the engine, " + differs);
  }
  if (!many_contacts.empty()) {
    return {Verdict::warn, many_contacts + " (so its contacts were not compared across threads)"};
  }
  return passed();
}

const Registration same_answers_check{{
    .name = "same-answers",
    .proves = "step, getBody and collide on 8 threads at once answer as on one thread, and leave "
              "the same pushes and finite contacts, few per call, in the host's group",
    .fix = "guard contacts, pushes and your own state with a lock of your own, and add finite "
           "contacts, a few per pair, to the host's group without emptying it",
    .group = Group::answers,
    .run = same_answers,
}};

}  // namespace plugin_check
