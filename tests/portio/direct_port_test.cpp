#include "portio/direct_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/temp_dir.h"

namespace vql {
namespace {

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

}  // namespace
}  // namespace vql
