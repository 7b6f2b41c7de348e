#include "portio/direct_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
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

std::string Hex(unsigned value, int digits = 4) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "%0*X", digits, value);
  return hex;
}

// The hardware behind the port instructions, every call recorded ("out 037A 0C; "). An
// address reads regs (FF where there is nothing), and the ECR at ecrAt sets its
// FIFO-empty bit.
struct FakeIo final : DirectIo {
  int Permit(std::uint16_t from, std::uint16_t count, bool on) override {
    calls += "permit " + Hex(from) + " " + std::to_string(count) + (on ? " on; " : " off; ");
    return 0;
  }
  std::uint8_t In(std::uint16_t address) override {
    calls += "in " + Hex(address) + "; ";
    const auto it = regs.find(address);
    return it == regs.end() ? 0xFF : it->second;
  }
  void Out(std::uint16_t address, std::uint8_t value) override {
    calls += "out " + Hex(address) + " " + Hex(value, 2) + "; ";
    const auto it = regs.find(address);
    if (it != regs.end()) it->second = address == ecrAt ? (value | 0x01) : value;
  }
  std::map<std::uint16_t, std::uint8_t> regs;
  std::uint16_t ecrAt = 0;
  std::string calls;
};

// What a port at 0378 sees after its control register and ECR: both probe bytes keep
// MODE7 and MODE3 high, then the target is released; then a write (the data register
// answers it without an in), a status read, and the detach.
constexpr const char* kChecked =
    "out 0378 AA; in 0378; out 0378 DD; in 0378; out 0378 88; out 0378 10; in 0379; "
    "permit 0378 3 off; ";
constexpr const char* kNoEcr = "permit 077A 1 on; in 077A; permit 077A 1 off; ";

TEST(DirectPort, SetsUpOnlyPortsNoKernelDriverHasAndChecksTheirDataRegister) {
  const std::string kernel = "0000-0cf7 : PCI Bus 0000:00\n  03f8-03ff : serial\n"
                             "  0378-037a : parport0\n  077a-077a : parport0\n"
                             "d000-dfff : PCI Bus 0000:02\n  d010-d017 : parport1\n";
  const std::string start = "permit 0378 3 on; out 037A 0C; ";
  struct Case {
    std::uint16_t base;
    std::map<std::uint16_t, std::uint8_t> regs;
    std::uint16_t ecrAt;
    std::string ioports;
    std::string calls;
    const char* error = nullptr;  // nullptr: attached
  };
  const Case cases[] = {
      {0x378, {{0x378, 0}, {0x37A, 0xE4}, {0x77A, 0x75}}, 0x77A, "",  // an ECR in ECP mode
       start + "permit 077A 1 on; in 077A; out 077A 34; in 077A; permit 077A 1 off; " + kChecked},
      {0x378, {{0x378, 0}, {0x77A, 0x0C}}, 0, "", start + kNoEcr + kChecked},  // 077A is 037A
      {0xD010, {{0xD010, 0}, {0xD012, 0}, {0xD412, 0x75}}, 0xD412, "",  // PCI: D412 left alone
       "permit D010 3 on; out D012 0C; out D010 AA; in D010; out D010 DD; in D010; "
       "out D010 88; out D010 10; in D011; permit D010 3 off; "},
      {0x378, {}, 0, "", start + kNoEcr + "out 0378 AA; in 0378; permit 0378 3 off; ",
       "No port at 0378? The data register of LPT1 at 0378 does not keep what is written to it "
       "(AA written, FF read back)"},
      {0xD010, {}, 0, kernel, "", "LPT1 at D010 is refused: the kernel's parport1 driver has the "
                                  "port, and the two would fight over its lines. Please use the "
                                  "ppdev back end instead (VQLISP_PORT=ppdev)"},
      {0x378, {{0x378, 0}}, 0, "0000-0000 : PCI\n  0000-0000 : parport0\n",  // not root
       start + kNoEcr + kChecked},
  };
  for (const auto& c : cases) {
    testing::TempDir root;
    root.Write("proc/ioports", c.ioports);
    auto io = std::make_unique<FakeIo>();
    FakeIo& seen = *io;
    io->regs = c.regs;
    io->ecrAt = c.ecrAt;
    const auto port = MakeDirectPort(root.Path().string(), "1", std::move(io));
    std::string said;
    try {
      port->AttachPort("LPT1", c.base);
      port->Outport(c.base, 0x10);
      port->Inport(static_cast<std::uint16_t>(c.base + 1));
      if (port->Inport(c.base) != 0x10) said = "no copy of the data register";
      port->DetachPort(c.base);
    } catch (const PortError& e) {
      said = e.what();
    }
    EXPECT_TRUE(c.error ? said.find(c.error) != std::string::npos : said.empty()) << said;
    EXPECT_EQ(seen.calls, c.calls);
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
      // A USB printer adapter's port at base 0 is no address to compare with.
      {{0}, 0x3BC, false, nullptr}, {{0, 0x378}, 0x278, false, "the kernel lists: 0378."},
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
    auto io = std::make_unique<FakeIo>();
    io->regs = {{0x379, 0}};
    const auto port = MakeDirectPort(root.Path().string(), c.anyAddress, std::move(io));
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
      EXPECT_EQ(said, "") << what;
    }
  }
}

}  // namespace
}  // namespace vql
