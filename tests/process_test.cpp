// The child processes plugin-check runs its checks in, and the hook names a
// crash report or a hang is blamed on.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "sandbox/child.hpp"
#include "tamrix_host.hpp"

namespace {

namespace sandbox = plugin_check::sandbox;
using End = sandbox::ChildOutcome::End;

// Every task a child may run, chosen by its first argument: where the system
// cannot fork, the child is this program started afresh, and main() below
// hands it the same choice.
int child_task(const std::vector<std::string> &args) {
  const std::string task = args.empty() ? "" : args[0];
  if (task == "write") {
    for (std::size_t i = 1; i < args.size(); ++i) {
      sandbox::child_write(args[i] + "\n");
    }
    return 7;
  }
  if (task == "crash") {
    sandbox::child_write("entering tamrix_physics_init\n");
    __builtin_trap();
  }
  if (task == "flood") {
    const std::string block(std::size_t{64} * 1024, 'x');
    for (int i = 0; i < 1024; ++i) {
      sandbox::child_write(block);
    }
    return 0;
  }
  if (task == "hang") {
    for (;;) {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
  }
  return 99;
}

TEST(ChildProcess, PassesArgumentsAndReturnsStatusAndEverythingWritten) {
  const auto outcome = sandbox::run_child(child_task, {"write", "one", "two words"}, 10.0);
  EXPECT_EQ(outcome.end, End::exited);
  EXPECT_EQ(outcome.exit_status, 7);
  EXPECT_EQ(outcome.output, "one\ntwo words\n");
}

TEST(ChildProcess, ACrashIsNamedAndWhatCameBeforeItIsKept) {
  const auto outcome = sandbox::run_child(child_task, {"crash"}, 10.0);
  EXPECT_EQ(outcome.end, End::crashed);
  // A trap: an illegal instruction on x86-64 and Windows, SIGTRAP on AArch64.
  EXPECT_TRUE(outcome.cause.find("illegal instruction") != std::string::npos ||
              outcome.cause.find("SIGTRAP") != std::string::npos)
      << outcome.cause;
  EXPECT_EQ(outcome.output, "entering tamrix_physics_init\n");
}

TEST(ChildProcess, AHangIsStoppedWhenTheLimitPasses) {
  const auto start = std::chrono::steady_clock::now();
  const auto outcome = sandbox::run_child(child_task, {"hang"}, 0.2);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.end, End::timed_out);
  EXPECT_GE(took, std::chrono::milliseconds(190));
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(ChildProcess, AFloodIsStoppedAtTheLimitAndOnlyTheLimitIsKept) {
  const auto outcome = sandbox::run_child(child_task, {"flood"}, 10.0);
  EXPECT_EQ(outcome.end, End::flooded);
  EXPECT_EQ(outcome.output.size(), sandbox::child_output_limit);
}

TEST(ChildProcess, OnlyTheChildFlagMakesAChild) {
  EXPECT_EQ(sandbox::run_as_child(child_task, {}), -1);
  EXPECT_EQ(sandbox::run_as_child(child_task, {"--strict", "p.so"}), -1);
}

std::vector<std::string> heard;
void listen(const char *hook) { heard.emplace_back(hook != nullptr ? hook : "(left)"); }
int twice(int value) { return 2 * value; }

TEST(HookNames, EachCallIsNamedBeforeAndLeftAfter) {
  tamrix_host::set_hook_listener(listen);
  EXPECT_EQ(tamrix_host::call_hook("tamrix_physics_collide", twice, 21), 42);
  tamrix_host::set_hook_listener(nullptr);
  EXPECT_EQ(tamrix_host::call_hook("unheard", twice, 1), 2);
  EXPECT_EQ(heard, (std::vector<std::string>{"tamrix_physics_collide", "(left)"}));
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (const int status = sandbox::run_as_child(child_task, args); status >= 0) {
    return status;
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
