#include "portio/direct_port.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

// Files of a fake system root, by path below it.
using Files = std::map<std::string, std::string>;

// A PCIe parallel card that no driver took, at D010-D017 with its ECP registers at
// D000-D007, beside the main board's port at 0378, which parport0 has.
constexpr const char* kCardIoports =
    "0000-0cf7 : PCI Bus 0000:00\n  0378-037a : parport0\nd000-dfff : PCI Bus 0000:02\n"
    "  d000-d007 : 0000:02:00.0\n  d010-d017 : 0000:02:00.0\n";
constexpr const char* kCardClass = "sys/bus/pci/devices/0000:02:00.0/class";
constexpr const char* kCardBars = "sys/bus/pci/devices/0000:02:00.0/resource";
constexpr const char* kCardBarLines = "0x000000000000d010 0x000000000000d017 0x0000000000040101\n"
                                      "0x000000000000d000 0x000000000000d007 0x0000000000040101\n"
                                      "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";

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
  const std::string start = "permit 0378 3 on; out 0378 88; out 037A 0C; ";
  const Files card = {{"proc/ioports", kCardIoports},
                      {kCardClass, "0x070101\n"},
                      {kCardBars, kCardBarLines},
                      {"proc/sys/dev/parport/parport0/base-addr", "888\t1912\n"}};
  struct Case {
    std::uint16_t base;
    std::map<std::uint16_t, std::uint8_t> regs;
    std::uint16_t ecrAt;
    Files files;
    std::string calls;
    const char* error = nullptr;  // nullptr: attached
  };
  const Case cases[] = {
      {0x378, {{0x378, 0}, {0x37A, 0xE4}, {0x77A, 0x75}}, 0x77A, {},  // an ECR in ECP mode
       start + "permit 077A 1 on; in 077A; out 077A 34; in 077A; permit 077A 1 off; " + kChecked},
      {0x378, {{0x378, 0}, {0x77A, 0x0C}}, 0, {}, start + kNoEcr + kChecked},  // 077A is 037A
      {0xD010, {{0xD010, 0}, {0xD012, 0}, {0xD412, 0x75}}, 0xD412, card,  // PCI: D412 left alone
       "permit D010 3 on; out D010 88; out D012 0C; out D010 AA; in D010; out D010 DD; in D010; "
       "out D010 88; out D010 10; in D011; permit D010 3 off; "},
      {0x378, {}, 0, {}, start + kNoEcr + "out 0378 AA; in 0378; permit 0378 3 off; ",
       "No port at 0378? The data register of LPT1 at 0378 does not keep what is written to it "
       "(AA written, FF read back)"},
      {0xD010, {}, 0, {{"proc/ioports", kernel}}, "",
       "LPT1 at D010 is refused: the kernel's parport1 driver has the port, and the two would "
       "fight over its lines. Please use the ppdev back end instead (VQLISP_PORT=ppdev)"},
      {0x378, {{0x378, 0}}, 0, {{"proc/ioports", "0000-0000 : PCI\n  0000-0000 : parport0\n"}},
       start + kNoEcr + kChecked},  // not root
      // The board reserves the ECR's address: the port is used without it.
      {0x378, {{0x378, 0}, {0x77A, 0x75}}, 0x77A,
       {{"proc/ioports", "0000-0cf7 : PCI Bus 0000:00\n  0778-077f : pnp 00:05\n"}},
       start + kChecked},
      {0x3C0, {{0x3C0, 0}}, 0, {{"proc/ioports", "  03c0-03df : vga+\n"}}, "",
       "LPT1 at 03C0 is refused: its registers 03C0-03C2 overlap 03C0-03DF, which the kernel "
       "gives to vga+"},
      {0x378, {}, 0, {{"proc/ioports", "  0778-077f : pnp 00:05\n"}},
       start + "out 0378 AA; in 0378; permit 0378 3 off; ",
       "lspci -v\" lists them). The port's extended control register at 077A, which can hold "
       "the data register behind a FIFO, was left alone: the kernel gives that address to pnp "
       "00:05."},
  };
  for (const auto& c : cases) {
    testing::TempDir root;
    for (const auto& [path, content] : c.files) root.Write(path, content);
    auto io = std::make_unique<FakeIo>();
    FakeIo& seen = *io;
    io->regs = c.regs;
    io->ecrAt = c.ecrAt;
    const auto port = MakeDirectPort(root.Path().string(), nullptr, std::move(io));
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
// A second program on the port is refused before it asks for I/O permission, naming
// the first; once the first has let go, the port is free.
TEST(DirectPort, OneProgramPerPortByTheLockFile) {
  testing::TempDir root;
  root.Write("run/lock/.keep", "");
  std::vector<FakeIo*> seen;
  std::vector<std::unique_ptr<PortIo>> ports;
  for (int i = 0; i < 2; ++i) {
    auto io = std::make_unique<FakeIo>();
    io->regs = {{0x378, 0}};
    seen.push_back(io.get());
    ports.push_back(MakeDirectPort(root.Path().string(), nullptr, std::move(io)));
  }
  ports[0]->AttachPort("LPT1", 0x378);
  try {
    ports[1]->AttachPort("LPT1", 0x378);
    ADD_FAILURE() << "attached beside another";
  } catch (const PortError& e) {
    EXPECT_NE(std::string(e.what()).find("LPT1 at 0378 is in use by another program: process " +
                                         std::to_string(::getpid())),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(seen[1]->calls, "");
  ports[0]->DetachPort(0x378);
  ports[1]->AttachPort("LPT1", 0x378);
  EXPECT_EQ(ports[1]->Description(), "direct port I/O for LPT1 at 0378");
}

TEST(DirectPort, LeavesTheHardwareAloneBeforeAnyAttach) {
  testing::TempDir root;
  const auto port = MakeDirectPort(root.Path().string());
  EXPECT_EQ(port->Inport(0x378), 0xFF);
  EXPECT_EQ(port->Inport(0x379), 0xFF);
  port->Outport(0x378, 0x55);
  EXPECT_EQ(port->Description(), "direct port I/O (no port attached yet)");
}

TEST(DirectAddressCheck, AcceptsOnlyWhereAParallelPortCanBe) {
  const Files card = {
      {"proc/ioports", kCardIoports}, {kCardClass, "0x070101\n"}, {kCardBars, kCardBarLines}};
  // A board as root sees it, with a PCI serial card at E000.
  const Files board = {
      {"proc/ioports",
       "0000-0cf7 : PCI Bus 0000:00\n  0000-001f : dma1\n  0270-027f : pnp 00:07\n"
       "  03c0-03df : vga+\n  03f8-03ff : serial\n  0400-047f : pnp 00:01\n"
       "    0400-0403 : ACPI PM1a_EVT_BLK\n  04d0-04d1 : pnp 00:00\n  0778-077f : pnp 00:05\n"
       "0cf8-0cff : PCI conf1\n0d00-ffff : PCI Bus 0000:00\n  e000-efff : PCI Bus 0000:03\n"
       "    e000-e007 : 0000:03:00.0\n"},
      {"sys/bus/pci/devices/0000:03:00.0/class", "0x070002\n"},
      {"sys/bus/pci/devices/0000:03:00.0/resource",
       "0x000000000000e000 0x000000000000e007 0x0000000000040101\n"}};
  const Files notRoot = {
      {"proc/ioports", "0000-0000 : PCI Bus 0000:00\n  0000-0000 : serial\n  0000-0000 : vga+\n"}};
  const char* const nowhere = "is in no PCI parallel port's I/O range and is no free legacy base";
  struct Case {
    Files files;
    std::vector<std::uint32_t> kernel;  // bases under /proc/sys/dev/parport
    std::uint16_t base;
    bool anyAddress;
    const char* said;  // nullptr: accepted
  };
  const Case cases[] = {
      {card, {0x378}, 0xD010, false, nullptr}, {card, {}, 0xD014, false, nullptr},
      {card, {}, 0x278, false, nullptr},  // nothing claims it
      {card, {}, 0xD016, false, "D016 is in no PCI parallel port's I/O range and is no free "
                                "legacy base (0378, 0278, 03BC). PCI parallel ports: "
                                "0000:02:00.0 at D010-D017, D000-D007."},
      {card, {0x378}, 0x378, false, nullptr},  // parport0's, which AttachPort refuses
      {board, {}, 0x378, false, nullptr}, {board, {}, 0x3BC, false, nullptr},
      {board, {}, 0x3C0, false, "03C0-03C2 overlap 03C0-03DF, which the kernel gives to vga+,"},
      {board, {}, 0xCFC, false, "0CFC-0CFE overlap 0CF8-0CFF, which the kernel gives to PCI conf1"},
      {board, {}, 0x400, false, "overlap 0400-0403, which the kernel gives to ACPI PM1a_EVT_BLK"},
      {board, {}, 0x404, false, "overlap 0400-047F, which the kernel gives to pnp 00:01"},
      {board, {}, 0x4D0, false, "pnp 00:00"}, {board, {}, 0x10, false, "dma1"},
      {board, {}, 0x278, false, "pnp 00:07"}, {board, {}, 0x3F8, false, "to serial"},
      {board, {}, 0xE000, false, "to 0000:03:00.0 (PCI class 070002"},
      {board, {}, 0xD00, false, nowhere}, {board, {}, 0xCFC, true, nullptr},
      {notRoot, {}, 0x378, false, nullptr}, {notRoot, {}, 0x3F8, false, nowhere},
      {notRoot, {0xD010}, 0xD010, false, nullptr},
      // A USB printer adapter's port at base 0 is no I/O address.
      {{}, {0}, 0, false, "0000 is in no PCI"},
  };
  for (const auto& c : cases) {
    testing::TempDir root;
    for (const auto& [path, content] : c.files) root.Write(path, content);
    AddKernelPorts(root, c.kernel);
    const auto refusal =
        DirectAddressRefusal("LPT2", c.base, ReadIoFacts(root.Path().string()), c.anyAddress);
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
    const FakeIo& seen = *io;
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
      EXPECT_EQ(seen.calls, "") << what;
      EXPECT_EQ(port->Description(), "direct port I/O (no port attached yet)") << what;
    } else {
      EXPECT_EQ(said, "") << what;
    }
  }
}

}  // namespace
}  // namespace vql
