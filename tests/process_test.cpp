// The child processes plugin-check runs its checks in, and the hook names a
// crash report or a hang is blamed on.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "sandbox/channel.hpp"
#include "sandbox/child.hpp"
#include "sandbox/protocol.hpp"
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
  if (task == "report") {
    sandbox::send_progress("tamrix_physics_init");
    sandbox::send_progress(nullptr);
    if (args.size() > 2) {
      sandbox::child_write("result pass not from the checker\n");
    }
    sandbox::send_result(plugin_check::Verdict::skip, "two\nlines");
    return std::stoi(args.at(1));
  }
  if (task == "crash in step") {
    sandbox::send_progress("tamrix_physics_step");
    sandbox::send_note("after set-up");
    __builtin_trap();
  }
#ifndef _WIN32
  // In a host that is a member of its group, not its leader, setsid() moves
  // the process to a session of its own.
  if (task == "leave group") {
    const bool left = setsid() == getpid();
    sandbox::child_write(std::to_string(getpid()) + "\n");
    if (args.size() < 2) {
      return left ? 5 : 6;
    }
  }
  if (task == "signal group") {
    signal(SIGTERM, SIG_IGN);
    kill(0, SIGTERM);
    return 4;
  }
#endif
  if (task == "hang" || task == "leave group") {
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

#ifndef _WIN32
namespace {

// Ended: no such process, or one that only waits to be reaped. A process
// whose parent has ended goes to the machine's first process, which may
// reap it late (under qemu no subreaper of the check's takes it).
bool ended(pid_t pid) {
  for (int tries = 0; tries < 200; ++tries) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (kill(pid, 0) != 0 || !std::getline(stat, line) || line.find(") Z ") != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace

TEST(ChildProcess, RunsAsAMemberOfItsGroupAndIsEndedOutsideIt) {
  const auto moved = sandbox::run_child(child_task, {"leave group"}, 10.0);
  EXPECT_EQ(moved.end, End::exited);
  EXPECT_EQ(moved.exit_status, 5) << "setsid() failed: the child leads its group";

  const auto hung = sandbox::run_child(child_task, {"leave group", "then hang"}, 0.2);
  EXPECT_EQ(hung.end, End::timed_out);
  const pid_t left = std::stoi(hung.output);
  EXPECT_TRUE(ended(left)) << "the child that left its group outlived the check";

  // A signal to the group it ignores ends nothing of the check's either.
  const auto signalled = sandbox::run_child(child_task, {"signal group"}, 10.0);
  EXPECT_EQ(signalled.end, End::exited) << signalled.cause;
  EXPECT_EQ(signalled.exit_status, 4);
}
#endif

TEST(ChildProcess, AFloodIsStoppedAtTheLimitAndOnlyTheLimitIsKept) {
  const auto outcome = sandbox::run_child(child_task, {"flood"}, 10.0);
  EXPECT_EQ(outcome.end, End::flooded);
  EXPECT_EQ(outcome.output.size(), sandbox::child_output_limit);
}

TEST(ChildProcess, OnlyTheChildFlagMakesAChild) {
  EXPECT_EQ(sandbox::run_as_child(child_task, {}), -1);
  EXPECT_EQ(sandbox::run_as_child(child_task, {"--strict", "p.so"}), -1);
}

// What the parent makes of the child's lines: a result only from a child
// that ended well and forged nothing, else what went wrong, in its hook.
TEST(ChildProtocol, AResultCountsOnlyFromAChildThatEndedWell) {
  const sandbox::Heard crashed = sandbox::run_in_child(child_task, {"crash in step"}, 10.0);
  EXPECT_EQ(crashed.end, sandbox::Heard::End::failed);
  EXPECT_EQ(crashed.reason.rfind("crashed in tamrix_physics_step, after set-up: ", 0), 0U)
      << crashed.reason;

  const sandbox::Heard said = sandbox::run_in_child(child_task, {"report", "0"}, 10.0);
  EXPECT_EQ(said.end, sandbox::Heard::End::result);
  EXPECT_EQ(said.verdict, plugin_check::Verdict::skip);
  EXPECT_EQ(said.reason, "two\\nlines");

  const sandbox::Heard forged = sandbox::run_in_child(child_task, {"report", "0", "forge"}, 10.0);
  EXPECT_EQ(forged.end, sandbox::Heard::End::failed);
  EXPECT_EQ(forged.reason,
            "the plug-in wrote a forged result to the checker's channel; only the checker may "
            "report a verdict");

  const sandbox::Heard exited = sandbox::run_in_child(child_task, {"report", "3", "forge"}, 10.0);
  EXPECT_EQ(exited.reason,
            "the plug-in wrote a forged result to the checker's channel, then ended the process "
            "with status 3; only the checker may report a verdict");
}

// What a signal handler sends reads as any other result, numbers and all,
// and a text too long for the line is cut, never the line's end.
TEST(ChildProtocol, AFixedLineReadsAsAResult) {
  namespace channel = plugin_check::channel;
  const std::string token = channel::new_token();
  channel::FixedLine line = channel::result_line(token, plugin_check::Verdict::fail);
  line.add("tamrix_physics_step called system call number ").add(-12L).add(" and ").add(0L);
  std::string output(line.text());
  channel::FixedLine long_line = channel::result_line(token, plugin_check::Verdict::skip);
  long_line.add(std::string(channel::progress_line_size, 'x'));
  const std::string_view cut = long_line.text();
  EXPECT_EQ(cut.size(), channel::progress_line_size);
  output += cut;

  const channel::Decoded decoded = channel::decode(output, token);
  ASSERT_EQ(decoded.messages.size(), 2U);
  EXPECT_EQ(decoded.messages[0].verdict, plugin_check::Verdict::fail);
  EXPECT_EQ(decoded.messages[0].text, "tamrix_physics_step called system call number -12 and 0");
  EXPECT_EQ(decoded.messages[1].verdict, plugin_check::Verdict::skip);
  EXPECT_EQ(decoded.messages[1].text.find_first_not_of('x'), std::string::npos);
  EXPECT_FALSE(decoded.forged);
}

std::vector<std::string> heard;
void listen(const char *hook) { heard.emplace_back(hook != nullptr ? hook : "(left)"); }

TEST(HookNames, EachCallIsNamedBeforeAndLeftAfter) {
  const tamrix_host::Plugin plugin(MY_PHYSICS1_PATH);
  tamrix_host::set_up(plugin, {});
  tamrix_host::set_hook_listener(listen);
  EXPECT_EQ(plugin.call(tamrix_host::hook::get_body, "ghost"), nullptr);
  tamrix_host::set_hook_listener(nullptr);
  plugin.call(tamrix_host::hook::cleanup);
  EXPECT_EQ(heard, (std::vector<std::string>{"getBody", "(left)"}));
}

TEST(HookNames, OneSlotKeepsTheHookAndTheListenerHearsChangesOnly) {
  heard.clear();
  tamrix_host::set_hook_listener(listen);
  tamrix_host::entering("tamrix_physics_step");
  tamrix_host::entering("tamrix_physics_step");
  EXPECT_STREQ(tamrix_host::running_hook(), "tamrix_physics_step");
  tamrix_host::entering(nullptr);
  tamrix_host::set_hook_listener(nullptr);
  EXPECT_EQ(tamrix_host::running_hook(), nullptr);
  EXPECT_EQ(heard, (std::vector<std::string>{"tamrix_physics_step", "(left)"}));
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
