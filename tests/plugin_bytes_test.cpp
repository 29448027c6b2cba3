// The bytes a run judges: their digest, the private copy the children load,
// and a file changed on disk during the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "run/plugin_bytes.hpp"
#include "run/sha256.hpp"

namespace {

using plugin_check::PluginBytes;
using plugin_check::sha256_hex;

// FIPS 180-4's own examples, and lengths either side of the padding's edges,
// where a digest goes wrong first.
TEST(Sha256, KnownDigests) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(sha256_hex(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(sha256_hex(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(sha256_hex(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

class PluginBytesTest : public ::testing::Test {
 protected:
  std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) /
      ("bytes_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  std::string plugin = (folder / "plugin.so").string();

  void SetUp() override {
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(MY_PHYSICS1_PATH, plugin);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }

  static std::string read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
};

TEST_F(PluginBytesTest, TheCopyHoldsTheBytesReadAndNoOneCanChangeThem) {
  const std::string original = read(plugin);
  const PluginBytes bytes(plugin);
  EXPECT_EQ(bytes.copy_problem(), "");
  EXPECT_EQ(bytes.sha256(), sha256_hex(original));
  ASSERT_NE(bytes.load_path(), plugin);
  EXPECT_EQ(read(bytes.load_path()), original);
  {
    std::ofstream writer(bytes.load_path(), std::ios::binary | std::ios::app);
    writer << "more";
  }
  EXPECT_EQ(read(bytes.load_path()), original);
  EXPECT_EQ(bytes.change_on_disk(), "");
}

TEST_F(PluginBytesTest, AChangeOnDiskIsNamedByBothDigests) {
  const PluginBytes bytes(plugin);
  std::ofstream(plugin, std::ios::binary | std::ios::app) << '\0';
  const std::string now = sha256_hex(read(plugin));
  EXPECT_EQ(bytes.change_on_disk(), "the file changed on disk during the run (sha256 " +
                                        bytes.sha256() + " -> " + now +
                                        "); the verdict is for the bytes read at the start");
  std::filesystem::remove(plugin);
  EXPECT_NE(bytes.change_on_disk().find("at the start, and now "), std::string::npos);
  // The copy outlives the file.
  EXPECT_EQ(sha256_hex(read(bytes.load_path())), bytes.sha256());
}

TEST_F(PluginBytesTest, ReasonsNameTheUsersFileNotTheCopy) {
  const PluginBytes bytes(plugin);
  const std::string &copy = bytes.load_path();
  EXPECT_EQ(bytes.as_the_file(copy + ": cannot open; " + copy + "0 and " + copy),
            plugin + ": cannot open; " + copy + "0 and " + plugin);
}

// What is no regular file is left to the file checks to name, unopened.
TEST_F(PluginBytesTest, WhatCannotBeReadIsCheckedWhereItIs) {
  const std::string path = folder.string();
  const PluginBytes bytes(path);
  EXPECT_EQ(bytes.sha256(), "");
  EXPECT_EQ(bytes.load_path(), path);
  EXPECT_NE(bytes.copy_problem(), "");
  EXPECT_EQ(bytes.change_on_disk(), "");
}

}  // namespace
