#include "plugin_fixture.hpp"

namespace {

using StartUpCheck = PluginTest;

class StartUpCheckWithBody1 : public PluginTest {
 protected:
  StartUpCheckWithBody1() : PluginTest({{"arm", "body1"}, {"floor"}}) {}
};

TEST_F(StartUpCheck, WithoutBody1SaysNotFoundExactlyOnce) {
  set_up_host();
  plugin.call(hook::init);
  const auto console = host.console();
  ASSERT_EQ(console.size(), 1U);
  // The whole format, no newline and no arguments: a host printer that
  // appends its own newline must not get two.
  EXPECT_EQ(console[0].format, "not found");
  EXPECT_EQ(console[0].text, "not found");
  EXPECT_EQ(looked_up(), std::vector<std::string>{"body1"});
  plugin.call(hook::cleanup);
  EXPECT_EQ(host.console().size(), 1U);
}

TEST_F(StartUpCheckWithBody1, WithBody1SaysNothing) {
  set_up_host();
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  EXPECT_TRUE(host.console().empty());
  EXPECT_EQ(looked_up(), std::vector<std::string>{"body1"});
}

TEST_F(StartUpCheck, EveryInitChecksAgain) {
  set_up_host();
  for (int life = 0; life < 2; ++life) {
    plugin.call(hook::init);
    plugin.call(hook::cleanup);
  }
  // A host that starts the simulation again without ending it first.
  plugin.call(hook::init);
  plugin.call(hook::init);
  plugin.call(hook::step);
  plugin.call(hook::cleanup);
  EXPECT_EQ(console_texts(), (std::vector<std::string>(4, "not found")));
  EXPECT_EQ(looked_up(), (std::vector<std::string>(4, "body1")));
}

using CollideAndStep = PluginTest;

TEST_F(CollideAndStep, CollideAnswersZeroToAnything) {
  // Before set-up, after init and after cleanup alike.
  EXPECT_EQ(plugin.call(hook::collide, nullptr, nullptr), 0);
  set_up_host();
  plugin.call(hook::init);
  const auto geometries = host.geometries();
  for (auto *first : geometries) {
    for (auto *second : geometries) {
      EXPECT_EQ(plugin.call(hook::collide, first, second), 0);
    }
    EXPECT_EQ(plugin.call(hook::collide, first, nullptr), 0);
    EXPECT_EQ(plugin.call(hook::collide, nullptr, first), 0);
  }
  // Never read, so even a handle the host never issued is harmless.
  int not_a_geometry = 0;
  auto *stray = reinterpret_cast<tamrix_geom_handle>(&not_a_geometry);
  EXPECT_EQ(plugin.call(hook::collide, stray, stray), 0);
  plugin.call(hook::cleanup);
  EXPECT_EQ(plugin.call(hook::collide, nullptr, geometries.front()), 0);
}

TEST_F(CollideAndStep, StepHasNoEffectBeforeOrAfterInit) {
  for (int step = 0; step < 1000; ++step) {
    plugin.call(hook::step);
  }
  set_up_host();
  for (int step = 0; step < 1000; ++step) {
    plugin.call(hook::step);
  }
  plugin.call(hook::init);
  const auto console_after_init = host.console().size();
  for (int step = 0; step < 1000; ++step) {
    plugin.call(hook::step);
  }
  plugin.call(hook::cleanup);
  EXPECT_EQ(host.console().size(), console_after_init);
  EXPECT_EQ(looked_up().size(), 1U);
}

// Hosts that call init before set-up, or install a null lookup or printer,
// get a quiet plug-in instead of a crash.
using MissingServices = PluginTest;

TEST_F(MissingServices, InitBeforeSetUpDoesNotCrash) {
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  set_up_host();
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  EXPECT_EQ(console_texts(), std::vector<std::string>{"not found"});
}

TEST_F(MissingServices, NullBodyLookupFindsNoBody) {
  auto services = tamrix_host::Host::services();
  services.body_lookup = nullptr;
  set_up(plugin, services);
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  EXPECT_EQ(console_texts(), std::vector<std::string>{"not found"});
}

TEST_F(MissingServices, NullPrinterDropsTheMessage) {
  auto services = tamrix_host::Host::services();
  services.console_printf = nullptr;
  set_up(plugin, services);
  plugin.call(hook::init);
  plugin.call(hook::cleanup);
  EXPECT_TRUE(host.console().empty());
  EXPECT_EQ(looked_up(), std::vector<std::string>{"body1"});
}

}  // namespace
