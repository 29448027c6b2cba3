// The hooks that may overlap, overlapping: under the thread sanitizer this
// shows the plug-in adds no race of its own, and the recording host shows no
// call was lost.
#include <map>
#include <thread>

#include "plugin_fixture.hpp"

namespace {

using Threads = PluginTest;

TEST_F(Threads, GetBodyStepAndCollideFromEightThreadsLoseNothing) {
  constexpr int thread_count = 8;
  constexpr int rounds = 500;
  set_up_host();
  plugin.call(hook::init);
  const auto geometries = host.geometries();

  std::vector<int> wrong_answers(thread_count, 0);
  std::vector<std::thread> threads;
  threads.reserve(thread_count);
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      const std::string missing = "ghost" + std::to_string(t);
      for (int round = 0; round < rounds; ++round) {
        plugin.call(hook::step);
        wrong_answers[static_cast<std::size_t>(t)] +=
            plugin.call(hook::collide, geometries[0], geometries[1]) != 0;
        wrong_answers[static_cast<std::size_t>(t)] +=
            plugin.call(hook::get_body, "arm") != host.body("arm");
        wrong_answers[static_cast<std::size_t>(t)] +=
            plugin.call(hook::get_body, missing.c_str()) != nullptr;
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  plugin.call(hook::cleanup);

  EXPECT_EQ(wrong_answers, std::vector<int>(thread_count, 0));
  std::map<std::string, int> warnings;
  for (const auto &text : console_texts()) {
    ++warnings[text];
  }
  EXPECT_EQ(warnings["not found"], 1);
  for (int t = 0; t < thread_count; ++t) {
    EXPECT_EQ(warnings["Warning: did not find body with DEF name: ghost" + std::to_string(t)],
              rounds);
  }
  EXPECT_EQ(warnings.size(), thread_count + 1U);
  EXPECT_EQ(host.body_lookups().size(), 1U + 2U * thread_count * rounds);
}

}  // namespace
