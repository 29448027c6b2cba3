// What stands at an output path, as the POSIX side of the platform tells
// it: the one answer host-sim's and plugin-check's outputs rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/platform.hpp"

namespace {

// What stands at an output path decides whether it may be replaced, links
// followed; the rest of host/ relies on this one answer per system.
TEST(OutputPaths, OnlyARegularFileOrNothingMayBeReplaced) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                       ("output_paths_" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "regular") << "kept";
  ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("regular", folder / "to-regular");
  std::filesystem::create_symlink("fifo", folder / "to-fifo");
  std::filesystem::create_symlink(".", folder / "to-folder");
  std::filesystem::create_symlink("absent", folder / "to-nothing");
  const struct {
    const char *name;
    std::string what;
  } cases[] = {
      {"absent", ""},
      {"regular", ""},
      {"to-regular", ""},
      {"fifo", "a FIFO"},
      {"to-fifo", "a symbolic link to a FIFO"},
      {"to-folder", "a symbolic link to a directory"},
      {"to-nothing", "a symbolic link to nothing"},
  };
  for (const auto &[name, what] : cases) {
    EXPECT_EQ(tamrix_host::platform::not_replaceable((folder / name).string()), what) << name;
  }
  EXPECT_EQ(tamrix_host::platform::not_replaceable(folder.string()), "a directory");
  EXPECT_EQ(tamrix_host::platform::not_replaceable("/dev/null"), "a character device");
  std::filesystem::remove_all(folder);
}

}  // namespace
