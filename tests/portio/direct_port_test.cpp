#include "portio/direct_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vql {
namespace {

// A fake system root whose /proc lists parallel ports at these bases, as the kernel does.
void AddKernelPorts(const testing::TempDir& root, const std::vector<std::uint32_t>& bases) {
  for (std::size_t i = 0; i < bases.size(); ++i) {
    const auto dir = root.Path() / ("proc/sys/dev/parport/parport" + std::to_string(i));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "base-addr") << bases[i] << '\t' << bases[i] + 0x400 << '\n';
  }
}

TEST(DirectPortRefusal, TellsLockdownFromMissingRootFromOtherRefusals) {
  struct Case {
    const char* lockdown;
    unsigned euid;
    int error;
    const char* words;
    const char* notSaid;
  };
  const Case cases[] = {
      {"none [integrity] confidentiality\n", 0, EPERM, "locked down", "needs root"},
      {"none integrity [confidentiality]\n", 1000, EPERM, "locked down", "needs root"},
      {"[none] integrity confidentiality\n", 1000, EPERM, "needs root", "locked down"},
      {"", 1000, EPERM, "needs root", "locked down"},
      {"[none] integrity confidentiality\n", 0, EPERM, "CAP_SYS_RAWIO", "needs root"},
      {"", 0, EINVAL, "Invalid argument", "CAP_SYS_RAWIO"},
  };
  for (const auto& c : cases) {
    const std::string text = DirectPortRefusedText("LPT1", 0x3BC, c.lockdown, c.euid, c.error);
    EXPECT_NE(text.find("LPT1 at 03BC"), std::string::npos) << text;
    EXPECT_NE(text.find(c.words), std::string::npos) << text;
    EXPECT_EQ(text.find(c.notSaid), std::string::npos) << text;
  }
}

// Touching an address that ioperm has not granted kills the process, so before any
// attach nothing may reach the hardware.
TEST(DirectPort, LeavesTheHardwareAloneBeforeAnyAttach) {
  testing::TempDir root;
  const auto port = MakeDirectPort(root.Path().string());
  EXPECT_EQ(port->Inport(0x378), 0xFF);
  EXPECT_EQ(port->Inport(0x379), 0xFF);
  port->Outport(0x378, 0x55);
  EXPECT_EQ(port->Description(), "direct port I/O (no port attached yet)");
}

TEST(DirectAddressCheck, AcceptsOnlyWhereAParallelPortCanBe) {
  const std::vector<std::uint32_t> two{0x378, 0xD010};
  struct Case {
    std::vector<std::uint32_t> kernel;  // bases under /proc/sys/dev/parport
    std::uint16_t base;
    bool anyAddress;
    const char* said;  // nullptr: accepted
  };
  const Case cases[] = {
      {two, 0x378, false, nullptr}, {two, 0xD010, false, nullptr}, {two, 0x278, true, nullptr},
      {two, 0x278, false, "0278 is not among the parallel ports the kernel lists: 0378, D010."},
      {{}, 0x3BC, false, nullptr},  {{}, 0x3000, false, nullptr},  {{}, 0x100, false, nullptr},
      {{}, 0x379, false, "0379 is not 4-aligned"}, {{}, 0x00FC, false, "00FC is below 0100"},
      {{}, 0x3F8, false, "03F8 is a serial port's address (COM1)."},
      {{}, 0x2F8, false, "(COM2)"}, {{}, 0x3E8, false, "(COM3)"}, {{}, 0x2E8, false, "(COM4)"},
      {{}, 0x3F8, true, nullptr},   {{}, 0x379, true, nullptr},
  };
  for (const auto& c : cases) {
    testing::TempDir root;
    AddKernelPorts(root, c.kernel);
    const auto refusal = DirectAddressRefusal(
        "LPT2", c.base, ListKernelParports(root.Path().string()), c.anyAddress);
    const std::string label = PortLabel("LPT2", c.base);
    ASSERT_EQ(refusal.has_value(), c.said != nullptr) << label << ": " << refusal.value_or("");
    if (!refusal) continue;
    for (const std::string& words : {label, std::string(c.said), std::string("ANY_ADDRESS=1")}) {
      EXPECT_NE(refusal->find(words), std::string::npos) << words << " missing from: " << *refusal;
    }
  }
}

// The check comes before ioperm, which root would be granted for any address; only
// VQLISP_DIRECT_ANY_ADDRESS=1 lets an address past it.
TEST(DirectAddressCheck, RefusesBeforeAskingForPermissionUnlessLifted) {
  struct Case {
    const char* anyAddress;
    bool refused;
  };
  const Case cases[] = {{nullptr, true}, {"", true}, {"0", true}, {"yes", true}, {"1", false}};
  for (const auto& c : cases) {
    testing::TempDir root;
    const auto port = MakeDirectPort(root.Path().string(), c.anyAddress);
    std::string said;
    try {
      port->AttachPort("LPT1", 0x379);
    } catch (const PortError& e) {
      said = e.what();
    }
    const std::string what = c.anyAddress != nullptr ? c.anyAddress : "(unset)";
    if (c.refused) {
      EXPECT_EQ(said, DirectAddressRefusal("LPT1", 0x379, {}, false)) << what;
      EXPECT_EQ(port->Description(), "direct port I/O (no port attached yet)") << what;
    } else {
      // Whatever ioperm answered, the address was not the reason.
      EXPECT_EQ(said.find("VQLISP_DIRECT_ANY_ADDRESS"), std::string::npos) << what << ": " << said;
    }
  }
}

}  // namespace
}  // namespace vql
