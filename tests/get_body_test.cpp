#include <cstdarg>

#include "plugin_fixture.hpp"

namespace {

using GetBody = PluginTest;

TEST_F(GetBody, HitReturnsTheHostsHandleAndPrintsNothing) {
  set_up_host();
  EXPECT_EQ(plugin.call(hook::get_body, "wheel"), host.body("wheel"));
  EXPECT_NE(host.body("wheel"), nullptr);
  EXPECT_TRUE(host.console().empty());
}

// A printer that keeps the raw format and argument pointers.
struct RawPrint {
  const char *format;
  const char *argument;
};
std::vector<RawPrint> raw_prints;
void raw_printf(const char *format, ...) {
  std::va_list args;
  va_start(args, format);
  raw_prints.push_back({format, va_arg(args, const char *)});
  va_end(args);
}

TEST_F(GetBody, MissWarnsOnceWithTheCallersOwnPointer) {
  auto services = tamrix_host::Host::services();
  services.console_printf = raw_printf;
  set_up(plugin, services);
  raw_prints.clear();

  const char name[] = "ghost";
  EXPECT_EQ(plugin.call(hook::get_body, name), nullptr);
  ASSERT_EQ(raw_prints.size(), 1U);
  EXPECT_STREQ(raw_prints[0].format, warning_format);
  EXPECT_EQ(raw_prints[0].argument, name);
  const auto lookups = host.body_lookups();
  ASSERT_EQ(lookups.size(), 1U);
  EXPECT_EQ(lookups[0].name_pointer, name);
}

TEST_F(GetBody, NamesAreNeverTreatedAsFormats) {
  set_up_host();
  EXPECT_EQ(plugin.call(hook::get_body, "%s%n%x"), nullptr);
  EXPECT_EQ(plugin.call(hook::get_body, ""), nullptr);
  EXPECT_EQ(looked_up(), (std::vector<std::string>{"%s%n%x", ""}));
  EXPECT_EQ(console_texts(),
            (std::vector<std::string>{"Warning: did not find body with DEF name: %s%n%x",
                                      "Warning: did not find body with DEF name: "}));
}

TEST_F(GetBody, KeepsNothingBetweenCalls) {
  set_up_host();
  EXPECT_EQ(plugin.call(hook::get_body, "ghost"), nullptr);
  EXPECT_EQ(plugin.call(hook::get_body, "ghost"), nullptr);
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), host.body("arm"));
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), host.body("arm"));
  EXPECT_EQ(looked_up(), (std::vector<std::string>{"ghost", "ghost", "arm", "arm"}));
  EXPECT_EQ(console_texts().size(), 2U);
}

TEST_F(GetBody, Body1GivesTheWarningNeverNotFound) {
  set_up_host();
  EXPECT_EQ(plugin.call(hook::get_body, "body1"), nullptr);
  EXPECT_EQ(console_texts(),
            std::vector<std::string>{"Warning: did not find body with DEF name: body1"});
}

TEST_F(GetBody, NullNameNeverReachesTheHost) {
  set_up_host();
  EXPECT_EQ(plugin.call(hook::get_body, nullptr), nullptr);
  EXPECT_TRUE(host.body_lookups().empty());
  EXPECT_EQ(console_texts(),
            std::vector<std::string>{"Warning: did not find body with DEF name: (null)"});
}

TEST_F(GetBody, MissingServicesFindNothingAndNeverCrash) {
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), nullptr);  // before set-up
  EXPECT_EQ(plugin.call(hook::get_body, nullptr), nullptr);

  auto services = tamrix_host::Host::services();
  services.console_printf = nullptr;
  set_up(plugin, services);
  EXPECT_EQ(plugin.call(hook::get_body, "ghost"), nullptr);
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), host.body("arm"));
  EXPECT_TRUE(host.console().empty());

  services = tamrix_host::Host::services();
  services.body_lookup = nullptr;
  set_up(plugin, services);
  EXPECT_EQ(plugin.call(hook::get_body, "arm"), nullptr);
  EXPECT_EQ(console_texts(),
            std::vector<std::string>{"Warning: did not find body with DEF name: arm"});
}

}  // namespace
