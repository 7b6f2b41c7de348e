#include "portio/ftdi_diagnosis.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace vql {
namespace {

namespace fs = std::filesystem;

constexpr FtdiUsbId kFt232h{0x0403, 0x6014};

// A fake sysfs with an FT2232H at bus 3, address 18 ("3-1.4"), its interface A bound to
// driverA and B to driverB ("" for none), and another device beside it.
std::string FakeSysfs(const testing::TempDir& dir, const std::string& driverA,
                      const std::string& driverB) {
  const fs::path devices = dir.Path() / "sys/bus/usb/devices";
  dir.Write("sys/bus/usb/devices/3-1/busnum", "3\n");
  dir.Write("sys/bus/usb/devices/3-1/devnum", "2\n");
  dir.Write("sys/bus/usb/devices/3-1.4/busnum", "3\n");
  dir.Write("sys/bus/usb/devices/3-1.4/devnum", "18\n");
  const std::vector<std::pair<std::string, std::string>> interfaces{
      {"3-1:1.0", "hub"}, {"3-1.4:1.0", driverA}, {"3-1.4:1.1", driverB}};
  for (const auto& [name, driver] : interfaces) {
    fs::create_directories(devices / name);
    if (!driver.empty()) {
      fs::create_directory_symlink("../../drivers/" + driver, devices / name / "driver");
    }
  }
  return dir.Path().string();
}

TEST(FtdiDiagnosis, FindsTheDriverBoundToTheAdaptersInterface) {
  struct Case {
    int address;
    int interfaceNumber;
    UsbInterfaceBinding expected;
  };
  const Case cases[] = {
      {18, 0, {"3-1.4:1.0", "ftdi_sio"}},
      {18, 1, {"3-1.4:1.1", "usbfs"}},
      {2, 0, {"3-1:1.0", "hub"}},
      {19, 0, {}},  // no such device
      {18, 2, {}},  // no such interface
  };
  testing::TempDir dir;
  const std::string root = FakeSysfs(dir, "ftdi_sio", "usbfs");
  for (const auto& c : cases) {
    const auto found = FindUsbInterfaceBinding(root, {3, c.address}, c.interfaceNumber);
    EXPECT_EQ(found.name, c.expected.name) << c.address << " " << c.interfaceNumber;
    EXPECT_EQ(found.driver, c.expected.driver) << c.address << " " << c.interfaceNumber;
  }
  testing::TempDir unbound;
  EXPECT_EQ(FindUsbInterfaceBinding(FakeSysfs(unbound, "", ""), {3, 18}, 0).driver, "");
}

TEST(FtdiDiagnosis, TellsPermissionBusyAndDriverApart) {
  struct Case {
    const char* name;
    bool writable;
    int code;
    const char* driver;
    std::vector<std::string> said;
  };
  const Case cases[] = {
      {"node not writable", false, -4, "",
       {"No permission", "/dev/bus/usb/003/018", "plugdev",
        "ATTR{idProduct}==\"6014|6010|6001\"",
        "sudo tee /etc/udev/rules.d/60-vql-isp-ftdi.rules && sudo udevadm control "
        "--reload-rules",
        "replug"}},
      {"ftdi_sio would not let go", true, -5, "ftdi_sio",
       {"ftdi_sio", "could not be detached",
        "echo -n 3-1.4:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind", "rmmod"}},
      {"another program claimed it", true, -5, "usbfs", {"is in use", "another program"}},
      {"claimed, holder unknown", true, -3, "", {"is in use", "another program"}},
      {"another kernel driver", true, -5, "usb_serial_generic",
       {"is in use", "the kernel's usb_serial_generic driver",
        "echo -n 3-1.4:1.0 | sudo tee /sys/bus/usb/drivers/usb_serial_generic/unbind"}},
      {"gone between search and open", true, -4, "", {"Cannot open", "unplugged"}},
      {"anything else", true, -6, "ftdi_sio", {"Cannot open", "libftdi says"}},
  };
  for (const auto& c : cases) {
    const std::string text = FtdiOpenErrorText(
        {kFt232h, {3, 18}, "/dev/bus/usb/003/018", c.writable, {"3-1.4:1.0", c.driver}, c.code,
         "libftdi says"});
    EXPECT_NE(text.find("FT232H 0403:6014 at USB bus 003 device 018"), std::string::npos)
        << c.name << ": " << text;
    for (const auto& part : c.said) {
      EXPECT_NE(text.find(part), std::string::npos) << c.name << ": " << part << "\n" << text;
    }
  }
}

TEST(FtdiDiagnosis, UdevRuleForAnotherIdGoesInAFileOfItsOwn) {
  EXPECT_EQ(FtdiUdevRuleCommand({0x1234, 0xABCD}),
            "echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"1234\", ATTR{idProduct}==\"abcd\", "
            "MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"' | sudo tee "
            "/etc/udev/rules.d/61-vql-isp-ftdi-1234-abcd.rules && sudo udevadm control "
            "--reload-rules");
}

TEST(FtdiDiagnosis, NotFoundSaysWhatWasLookedForAndWhatWasSeen) {
  const std::string text = FtdiNotFoundText(
      {{kFt232h, {0x0403, 0x6010}}, "FT4ABC12", FtdiInterface::B,
       {"FT232H 0403:6014 at USB bus 001 device 004, which has no interface B"}});
  for (const std::string part :
       {"no adapter 0403:6014 (FT232H) or 0403:6010 (FT2232H) with serial number FT4ABC12 and "
        "an interface B is plugged in",
        "Found, but not the one asked for: FT232H 0403:6014 at USB bus 001 device 004",
        "lsusb"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
  }
}

TEST(FtdiDiagnosis, NamesTheAdapterAsItCallsItself) {
  EXPECT_EQ(FtdiAdapterName("C232HM-DDHSL-0", FtdiChip::FT232H, "FT4XQ1ZB", FtdiInterface::A),
            "C232HM-DDHSL-0 (FT232H, serial FT4XQ1ZB)");
  EXPECT_EQ(FtdiAdapterName("", FtdiChip::FT2232H, "", FtdiInterface::B),
            "FT2232H, interface B");
}

}  // namespace
}  // namespace vql
