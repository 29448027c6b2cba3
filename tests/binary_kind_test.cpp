// What the host says about a file it cannot load.
#include "binary_kind/binary_kind.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "sim/host_sim.hpp"
#include "tamrix_host.hpp"

namespace {

using tamrix_host::binary_kind;
using tamrix_host::describe;

std::vector<unsigned char> elf_header(unsigned char word, unsigned char order, unsigned type,
                                      unsigned machine) {
  std::vector<unsigned char> bytes(64);
  bytes[0] = 0x7f;
  bytes[1] = 'E';
  bytes[2] = 'L';
  bytes[3] = 'F';
  bytes[4] = word;
  bytes[5] = order;
  const bool big = order == 2;
  bytes[big ? 17 : 16] = static_cast<unsigned char>(type);
  bytes[big ? 19 : 18] = static_cast<unsigned char>(machine & 0xffU);
  bytes[big ? 18 : 19] = static_cast<unsigned char>(machine >> 8U);
  return bytes;
}

std::vector<unsigned char> pe_header(unsigned machine, unsigned characteristics, unsigned magic) {
  std::vector<unsigned char> bytes(0x80 + 26);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  bytes[0x3c] = 0x80;
  bytes[0x80] = 'P';
  bytes[0x81] = 'E';
  const auto put16 = [&](std::size_t at, unsigned value) {
    bytes[at] = static_cast<unsigned char>(value & 0xffU);
    bytes[at + 1] = static_cast<unsigned char>(value >> 8U);
  };
  put16(0x80 + 4, machine);
  put16(0x80 + 22, characteristics);
  put16(0x80 + 24, magic);
  return bytes;
}

TEST(BinaryKind, HeadersAreDescribedInAPluginAuthorsWords) {
  EXPECT_EQ(describe(binary_kind(elf_header(2, 1, 3, 183))),
            "an ELF 64-bit shared object for AArch64");
  EXPECT_EQ(describe(binary_kind(elf_header(1, 1, 3, 3))), "an ELF 32-bit shared object for x86");
  EXPECT_EQ(describe(binary_kind(elf_header(2, 2, 2, 21))),
            "an ELF 64-bit big-endian executable for PowerPC 64");
  EXPECT_EQ(describe(binary_kind(elf_header(2, 1, 1, 62))), "an ELF 64-bit object file for x86-64");
  EXPECT_EQ(describe(binary_kind(elf_header(2, 1, 3, 0x1234))),
            "an ELF 64-bit shared object for machine 0x1234");
  EXPECT_EQ(describe(binary_kind(pe_header(0x8664, 0x2022, 0x20b))), "a PE32+ DLL for x86-64");
  EXPECT_EQ(describe(binary_kind(pe_header(0x14c, 0x0102, 0x10b))), "a PE32 executable for x86");

  // A DOS stub alone, or a header cut short, is no binary of either kind.
  std::vector<unsigned char> stub = pe_header(0x8664, 0x2022, 0x20b);
  stub[0x80] = 'X';
  EXPECT_EQ(describe(binary_kind(stub)), "not a shared library");
  EXPECT_EQ(describe(binary_kind(std::vector<unsigned char>(stub.begin(), stub.begin() + 0x90))),
            "not a shared library");
  const std::vector<unsigned char> elf = elf_header(2, 1, 3, 62);
  EXPECT_EQ(describe(binary_kind(std::vector<unsigned char>(elf.begin(), elf.begin() + 19))),
            "not a shared library");
}

TEST(BinaryKind, ThisBuildsOwnPluginIsWhatItLoads) {
  EXPECT_EQ(tamrix_host::binary_kind_of_file(MY_PHYSICS1_PATH), tamrix_host::loadable_kind());
  EXPECT_EQ(tamrix_host::foreign_binary(MY_PHYSICS1_PATH, "this host"), "");
  // Unreadable files keep the system's own reason.
  EXPECT_EQ(tamrix_host::foreign_binary("/no/such.so", "this host"), "");
}

#ifdef FOREIGN_ELF_PATH
TEST(BinaryKind, HostSimNamesTheMachineAFileWasBuiltFor) {
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(tamrix_host::host_sim({FOREIGN_ELF_PATH}, MY_PHYSICS1_PATH, out, err), 1);
  EXPECT_EQ(err.str(), std::string("host-sim: cannot load ") + FOREIGN_ELF_PATH +
                           ": an ELF 64-bit shared object for " FOREIGN_ELF_MACHINE
                           "; this host loads " +
                           tamrix_host::describe_loadable() + "\n");
}
#endif

}  // namespace
