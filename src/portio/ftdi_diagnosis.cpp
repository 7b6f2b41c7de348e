#include "portio/ftdi_diagnosis.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace vql {
namespace {

namespace fs = std::filesystem;

// ftdi_usb_open_dev's results (libftdi 1.5) that say something about the system
// rather than the adapter: libusb_open failed (ftdi_usb_get_strings says the same);
// setting the configuration, claiming the interface or detaching the kernel's driver
// failed; and a claim that failed after the detach was refused (EPERM).
constexpr int kOpenFailed = -4;
constexpr int kConfigFailed = -3;
constexpr int kClaimFailed = -5;
constexpr int kDetachNotPermitted = -8;
constexpr int kDetachFailed = -11;

std::string ThreeDigits(int value) {
  char text[16];
  std::snprintf(text, sizeof text, "%03d", value);
  return text;
}

std::string ReadLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string PermissionText(const FtdiOpenFailure& failure) {
  return "No permission to use the USB adapter " + FtdiUsbLabel(failure.id, failure.where) +
         ": its device node " + failure.node +
         " is not writable for this user. Install the vql-isp-cli package, whose udev rule "
         "gives these adapters to the plugdev group and to the user at the desktop, or add "
         "the rule by hand: " +
         FtdiUdevRuleCommand(failure.id) +
         "; then unplug and replug the adapter. Without a desktop session (over ssh), join "
         "the plugdev group as well: sudo usermod -aG plugdev \"$USER\", and log in again.";
}

std::string DetachFailedText(const FtdiOpenFailure& failure) {
  const std::string unbind =
      failure.before.name.empty()
          ? std::string()
          : "echo -n " + failure.before.name +
                " | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind, or ";
  return "The USB adapter " + FtdiUsbLabel(failure.id, failure.where) +
         " is held by the kernel's ftdi_sio driver as a serial port, and the driver could "
         "not be detached from it (" +
         failure.libftdiError + "). Let the driver go by hand: " + unbind +
         "sudo rmmod ftdi_sio (which takes every FTDI serial port away), then try again.";
}

std::string BusyText(const FtdiOpenFailure& failure) {
  const std::string& driver = failure.before.driver;
  const bool program = driver.empty() || driver == "usbfs";
  const std::string what =
      program ? "another program that drives adapters through libusb (a second VQL-ISP, for "
                "one) holds it. Close that program, or unplug and replug the adapter, and try "
                "again"
              : "the kernel's " + driver + " driver holds it. Let it go with: echo -n " +
                    failure.before.name + " | sudo tee /sys/bus/usb/drivers/" + driver +
                    "/unbind, and try again";
  return "The USB adapter " + FtdiUsbLabel(failure.id, failure.where) + " is in use: " + what +
         " (libftdi: " + failure.libftdiError + ").";
}

}  // namespace

std::string UsbNodePath(std::string_view sysRoot, UsbLocation where) {
  return std::string(sysRoot) + "/dev/bus/usb/" + ThreeDigits(where.bus) + "/" +
         ThreeDigits(where.address);
}

std::string FtdiUsbLabel(FtdiUsbId id, UsbLocation where) {
  const auto chip = KnownFtdiChip(id);
  return (chip ? std::string(FtdiChipName(*chip)) + " " : std::string()) + FtdiUsbIdText(id) +
         " at USB bus " + ThreeDigits(where.bus) + " device " + ThreeDigits(where.address);
}

std::string FtdiAdapterName(std::string_view product, FtdiChip chip, std::string_view serial,
                            FtdiInterface interface) {
  std::string details(FtdiChipName(chip));
  if (!serial.empty()) details += ", serial " + std::string(serial);
  if (interface != FtdiInterface::A) {
    details += ", interface ";
    details += FtdiInterfaceLetter(interface);
  }
  if (product.empty()) return details;
  return std::string(product) + " (" + details + ")";
}

// The kernel names a device's folder in sysfs by its place on the bus ("1-2.3") and
// the folder of each interface after it ("1-2.3:1.0": configuration 1, interface 0);
// the device's folder has its bus and address in busnum and devnum, and an interface
// bound to a driver has a driver link to it.
UsbInterfaceBinding FindUsbInterfaceBinding(const std::string& sysRoot, UsbLocation where,
                                            int interfaceNumber) {
  const fs::path devices = sysRoot + "/sys/bus/usb/devices";
  const std::string wantedBus = std::to_string(where.bus);
  const std::string wantedAddress = std::to_string(where.address);
  std::error_code error;
  std::string device;
  for (const auto& entry : fs::directory_iterator(devices, error)) {
    const std::string name = entry.path().filename().string();
    if (name.find(':') == std::string::npos && ReadLine(entry.path() / "busnum") == wantedBus &&
        ReadLine(entry.path() / "devnum") == wantedAddress) {
      device = name;
      break;
    }
  }
  if (device.empty()) return {};
  const std::string suffix = "." + std::to_string(interfaceNumber);
  for (const auto& entry : fs::directory_iterator(devices, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(device + ":") || !name.ends_with(suffix)) continue;
    std::error_code noDriver;
    const fs::path driver = fs::read_symlink(entry.path() / "driver", noDriver);
    return {name, noDriver ? std::string() : driver.filename().string()};
  }
  return {};
}

std::string FtdiUdevRuleCommand(FtdiUsbId id) {
  std::string products;
  std::string file = "60-vql-isp-ftdi.rules";
  if (KnownFtdiChip(id)) {
    for (const auto& known : kKnownFtdiAdapters) {
      if (!products.empty()) products += '|';
      products += FtdiUsbIdText(known.id).substr(5);
    }
  } else {
    // Another id gets a file of its own, so that it neither hides the package's rule
    // (a file in /etc replaces one of the same name in /usr/lib) nor is hidden by it.
    products = FtdiUsbIdText(id).substr(5);
    file = "61-vql-isp-ftdi-" + FtdiUsbIdText(id).replace(4, 1, "-") + ".rules";
  }
  return "echo 'SUBSYSTEM==\"usb\", ATTR{idVendor}==\"" + FtdiUsbIdText(id).substr(0, 4) +
         "\", ATTR{idProduct}==\"" + products +
         "\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"' | sudo tee "
         "/etc/udev/rules.d/" +
         file + " && sudo udevadm control --reload-rules";
}

std::string FtdiNotFoundText(const FtdiSearch& search) {
  std::string ids;
  for (std::size_t i = 0; i < search.ids.size(); ++i) {
    if (i > 0) ids += i + 1 < search.ids.size() ? ", " : " or ";
    ids += FtdiUsbIdText(search.ids[i]);
    if (const auto chip = KnownFtdiChip(search.ids[i])) {
      ids += " (" + std::string(FtdiChipName(*chip)) + ")";
    }
  }
  std::string text = "No USB programming cable found: no adapter " + ids;
  if (!search.serial.empty()) text += " with serial number " + search.serial;
  if (search.interface != FtdiInterface::A) {
    text += std::string(search.serial.empty() ? " with" : " and") + " an interface " +
            FtdiInterfaceLetter(search.interface);
  }
  text += " is plugged in.";
  if (search.interface > FtdiInterface::B) {
    text += " Interfaces C and D are the FT4232H's, which the program does not drive.";
  }
  if (!search.seenOthers.empty()) {
    text += " Found, but not the one asked for: ";
    for (std::size_t i = 0; i < search.seenOthers.size(); ++i) {
      text += (i > 0 ? "; " : "") + search.seenOthers[i];
    }
    text += ".";
  }
  return text +
         " Check the adapter and its USB cable; \"lsusb\" lists what the computer sees (FTDI's "
         "adapters show as ID 0403:...), and VQLISP_FTDI=VID:PID chooses an adapter by "
         "another USB id.";
}

std::string FtdiOpenErrorText(const FtdiOpenFailure& failure) {
  if (!failure.nodeWritable) return PermissionText(failure);
  switch (failure.code) {
    case kConfigFailed:
    case kClaimFailed:
    case kDetachNotPermitted:
    case kDetachFailed:
      return failure.before.driver == "ftdi_sio" ? DetachFailedText(failure)
                                                 : BusyText(failure);
    case kOpenFailed:
      return "Cannot open the USB adapter " + FtdiUsbLabel(failure.id, failure.where) + " (" +
             failure.libftdiError +
             "): it may have been unplugged just now. Unplug and replug it, and try again.";
    default:
      return "Cannot open the USB adapter " + FtdiUsbLabel(failure.id, failure.where) + ": " +
             failure.libftdiError + ". Unplug and replug it, and try again.";
  }
}

std::string FtdiSioDetachedNotice(std::string_view adapterName, UsbLocation where) {
  return "The kernel's ftdi_sio driver held the USB adapter " + std::string(adapterName) +
         " at USB bus " + ThreeDigits(where.bus) + " device " + ThreeDigits(where.address) +
         " as a serial port: it was detached for programming; unplug and replug the adapter "
         "to use it as a serial port again.";
}

}  // namespace vql
