#include "portio/parport_lookup.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "portio/ppdev_port.h"
#include "support/temp_dir.h"

namespace vql {
namespace {

// A fake system root: /proc entries for parallel ports and /dev nodes as plain files.
class FakeSystem {
 public:
  std::string Root() const { return dir_.Path().string(); }

  void AddKernelPort(const std::string& name, const std::string& baseAddrFile) {
    Put("proc/sys/dev/parport/" + name + "/base-addr", baseAddrFile);
  }
  void Put(const std::string& relative, const std::string& content) {
    const auto file = dir_.Path() / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << content;
  }

 private:
  testing::TempDir dir_;
};

TEST(ParportLookup, ListsKernelPortsInNumberOrderWithTheFirstNumberAsBase) {
  FakeSystem sys;
  sys.AddKernelPort("parport10", "53264\t53272\n");
  sys.AddKernelPort("parport1", "632\t1656\n");
  sys.AddKernelPort("parport0", "888\t1912\n");
  sys.AddKernelPort("parport2", "");           // unreadable: left out
  sys.Put("proc/sys/dev/parport/default/spintime", "500\n");
  const std::vector<KnownParport> expected{
      {"parport0", 0x378}, {"parport1", 0x278}, {"parport10", 0xD010}};
  EXPECT_EQ(ListKernelParports(sys.Root()), expected);
}

TEST(ParportLookup, UsbPrinterAdaptersCountOnlyWhenTheKernelKnowsNoParallelPort) {
  struct Case {
    const char* name;
    bool usbLp;
    bool kernelPort;
    bool expected;
    bool bridgePort = false;  // the kernel lists a port at base 0, as USB adapters' drivers do
  };
  const Case cases[] = {
      {"nothing at all", false, false, false},
      {"USB adapter alone", true, false, true},
      {"USB adapter beside a real port", true, true, false},
      {"USB adapter with its own port at base 0", true, false, true, true},
      {"real port alone", false, true, false},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    if (c.usbLp) sys.Put("dev/usb/lp0", "");
    if (c.kernelPort) sys.AddKernelPort("parport0", "888\t1912\n");
    if (c.bridgePort) sys.AddKernelPort("parport1", "0\t0\n");
    EXPECT_EQ(OnlyUsbPrinterAdapters(sys.Root()), c.expected) << c.name;
  }
}

TEST(PpdevAttach, ExplainsWhyThePortCannotBeUsed) {
  struct Case {
    const char* name;
    std::function<void(FakeSystem&)> setUp;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      // A PCIe card that parport_pc does not take needs other advice than parport_pc.
      {"no parallel port at all", [](FakeSystem&) {},
       {"LPT1 at 0378", "knows no parallel port at all", "sudo modprobe parport_pc", "CONFIG.VQL",
        "D010", "lspci -nn", "sudo modprobe parport_serial", "VQLISP_PORT=direct"}},
      // A USB bridge's port at base 0 is named for what it is, not offered as 0000.
      {"a USB bridge alone", [](FakeSystem& sys) { sys.AddKernelPort("parport0", "0\t0\n"); },
       {"no parallel port that can drive the cable. parport0 is a USB parallel adapter, which "
        "can switch the lines", "many minutes", "does not use it. If the computer", "lspci -nn"}},
      {"a USB bridge beside a real port",
       [](FakeSystem& sys) {
         sys.AddKernelPort("parport0", "0\t0\n");
         sys.AddKernelPort("parport1", "53264\n");
       },
       {"it knows parport1 at 0xD010. parport0 is a USB parallel adapter, which can switch"}},
      {"ports at other addresses are listed",
       [](FakeSystem& sys) {
         sys.AddKernelPort("parport0", "956\t1980\n");
         sys.AddKernelPort("parport1", "53264\n");
         sys.Put("dev/parport0", "");
       },
       {"LPT1 at 0378", "parport0 at 0x3BC and parport1 at 0xD010", "CONFIG.VQL"}},
      {"port known but ppdev not loaded",
       [](FakeSystem& sys) { sys.AddKernelPort("parport0", "888\t1912\n"); },
       {"LPT1 at 0378", "/dev/parport0", "does not exist", "sudo modprobe ppdev"}},
      {"only a USB printer adapter",
       [](FakeSystem& sys) { sys.Put("dev/usb/lp0", ""); },
       {"LPT1 at 0378", "USB printer", "cannot drive", "real parallel port"}},
      {"a node that takes no ppdev requests",
       [](FakeSystem& sys) {
         sys.AddKernelPort("parport0", "888\t1912\n");
         sys.Put("dev/parport0", "");
       },
       {"Cannot claim", "/dev/parport0 for LPT1 at 0378"}},
  };
  for (const auto& c : cases) {
    FakeSystem sys;
    c.setUp(sys);
    const auto port = MakePpdevPort(sys.Root());
    try {
      port->AttachPort("LPT1", 0x378);
      ADD_FAILURE() << c.name << ": attached";
    } catch (const PortError& e) {
      for (const auto& words : c.said) {
        EXPECT_NE(std::string(e.what()).find(words), std::string::npos)
            << c.name << ": \"" << words << "\" missing from: " << e.what();
      }
    }
    // A failed attach leaves nothing half open, and the port reads as unconnected.
    EXPECT_EQ(port->Description(), "ppdev (no port attached yet)") << c.name;
    EXPECT_EQ(port->Inport(0x379), 0xFF) << c.name;
  }
}

TEST(PpdevErrorTexts, NameTheCauseAndTheFixForEachError) {
  struct Case {
    bool claim;
    int error;
    const char* words;
  };
  const Case cases[] = {
      {false, EACCES, "sudo usermod -aG lp $USER"},
      {false, EPERM, "udev rule"},
      {false, ENOENT, "sudo modprobe ppdev"},
      {false, ENXIO, "sudo modprobe ppdev"},
      {false, EIO, "Input/output error"},
      {true, ENXIO, "held exclusively by another program"},
      {true, EINVAL, "Cannot claim"},
  };
  for (const auto& c : cases) {
    const std::string text = c.claim ? PpdevClaimErrorText("LPT2", 0xD010, "/dev/parport1", c.error)
                                     : PpdevOpenErrorText("LPT2", 0xD010, "/dev/parport1", c.error);
    EXPECT_NE(text.find(c.words), std::string::npos) << c.error << ": " << text;
    EXPECT_NE(text.find("/dev/parport1 for LPT2 at D010"), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace vql
