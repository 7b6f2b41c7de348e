#include "portio/ppdev_port.h"

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "portio/parport_lookup.h"

namespace vql {
namespace {

constexpr std::string_view kAddressHint =
    " in CONFIG.VQL, as four digits (PCI and PCIe cards sit at addresses such as D010 or 3000).";

constexpr std::string_view kLoadPpdevHint =
    "Load it with \"sudo modprobe ppdev\" (to load it at every start, write ppdev into "
    "/etc/modules-load.d/ppdev.conf).";

std::string KnownPortsList(const std::vector<KnownParport>& known) {
  std::string list;
  for (std::size_t i = 0; i < known.size(); ++i) {
    if (i > 0) list += i + 1 == known.size() ? " and " : ", ";
    char base[16];
    std::snprintf(base, sizeof base, "0x%X", static_cast<unsigned>(known[i].base));
    list += known[i].name + " at " + base;
  }
  return list;
}

std::string NoParportAtAddressText(std::string_view name, std::uint16_t base,
                                   const std::vector<KnownParport>& known) {
  const std::string label = PortLabel(name, base);
  if (known.empty()) {
    return label +
           ": the kernel knows no parallel port at all. If the computer has one, load its "
           "driver with \"sudo modprobe parport_pc\" and try again. If the port sits at "
           "another address, write that for " +
           std::string(name) + std::string(kAddressHint);
  }
  return label + ": the kernel knows no parallel port at this address; it knows " +
         KnownPortsList(known) + ". Write the address of the port the cable is on for " +
         std::string(name) + std::string(kAddressHint);
}

std::string UsbPrinterOnlyText(std::string_view name, std::uint16_t base) {
  return PortLabel(name, base) +
         ": the only printer ports here are USB printer adapters (/dev/usb/lp*). Those are "
         "printer-class devices: they pass whole bytes on to a printer and cannot set or read "
         "single lines, so they cannot drive the programming cable. A real parallel port is "
         "needed, on the main board or on a PCI or PCIe card.";
}

// An open, exclusively claimed /dev/parportN. Released and closed on destruction, so
// that the printer driver or another program can have the port afterwards.
class ClaimedParport {
 public:
  // Throws PortError with the text for what went wrong.
  static ClaimedParport Open(const std::string& path, std::string_view name,
                             std::uint16_t base) {
    ClaimedParport port(::open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (port.fd_ < 0) throw PortError(PpdevOpenErrorText(name, base, path, errno));
    // Exclusive, so that no printer driver can take the port between two of our clock
    // edges; PPEXCL only takes effect with the claim that follows it.
    if (::ioctl(port.fd_, PPEXCL) != 0 || ::ioctl(port.fd_, PPCLAIM) != 0) {
      throw PortError(PpdevClaimErrorText(name, base, path, errno));
    }
    port.claimed_ = true;
    return port;
  }

  ClaimedParport(ClaimedParport&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), claimed_(std::exchange(other.claimed_, false)) {}
  ClaimedParport& operator=(ClaimedParport&&) = delete;
  ClaimedParport(const ClaimedParport&) = delete;
  ClaimedParport& operator=(const ClaimedParport&) = delete;

  ~ClaimedParport() {
    if (fd_ < 0) return;
    if (claimed_) ::ioctl(fd_, PPRELEASE);
    ::close(fd_);
  }

  // The register, or FF when the kernel refuses, as a port with nothing behind it reads.
  std::uint8_t Read(unsigned long request) const {
    unsigned char value = 0xFF;
    if (::ioctl(fd_, request, &value) != 0) return 0xFF;
    return value;
  }

  void WriteData(std::uint8_t value) const {
    unsigned char byte = value;
    ::ioctl(fd_, PPWDATA, &byte);
  }

 private:
  explicit ClaimedParport(int fd) : fd_(fd) {}

  int fd_;
  bool claimed_ = false;
};

class PpdevPort final : public PortIo {
 public:
  explicit PpdevPort(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (Find(base) != nullptr) return;
    const auto known = ListKernelParports(sysRoot_);
    const auto match = std::ranges::find(known, std::uint32_t{base}, &KnownParport::base);
    if (match == known.end()) {
      if (OnlyUsbPrinterAdapters(sysRoot_)) throw PortError(UsbPrinterOnlyText(name, base));
      throw PortError(NoParportAtAddressText(name, base, known));
    }
    const std::string path = sysRoot_ + "/dev/" + match->name;
    auto device = ClaimedParport::Open(path, name, base);
    attached_.push_back({base, PortLabel(name, base), path, std::move(device)});
  }

  std::uint16_t Inport(std::uint16_t address) override {
    for (const auto& port : attached_) {
      if (address == port.base) return port.device.Read(PPRDATA);
      if (address == port.base + 1U) return port.device.Read(PPRSTATUS);
    }
    return 0xFF;
  }

  void Outport(std::uint16_t address, std::uint16_t value) override {
    // Only the data register takes writes; status is read-only and control is left
    // as the kernel set it up.
    if (const Attached* port = Find(address)) {
      port->device.WriteData(static_cast<std::uint8_t>(value & 0xFFU));
    }
  }

  std::string Description() const override {
    if (attached_.empty()) return "ppdev (no port attached yet)";
    std::string text;
    for (const auto& port : attached_) {
      if (!text.empty()) text += ", ";
      text += port.path + " (ppdev) for " + port.label;
    }
    return text;
  }

 private:
  struct Attached {
    std::uint16_t base;
    std::string label;
    std::string path;
    ClaimedParport device;
  };

  const Attached* Find(std::uint16_t base) const {
    const auto it = std::ranges::find(attached_, base, &Attached::base);
    return it == attached_.end() ? nullptr : &*it;
  }

  std::string sysRoot_;
  std::vector<Attached> attached_;
};

}  // namespace

std::unique_ptr<PortIo> MakePpdevPort(const std::string& sysRoot) {
  return std::make_unique<PpdevPort>(sysRoot);
}

std::string PpdevOpenErrorText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, int error) {
  const std::string label = PortLabel(name, base);
  switch (error) {
    case EACCES:
    case EPERM:
      return "No permission to open " + std::string(devicePath) + " for " + label +
             ". Add yourself to the lp group with \"sudo usermod -aG lp $USER\" and log in "
             "again, or give the device to your user with a udev rule.";
    case ENOENT:
      return std::string(devicePath) + " for " + label +
             " does not exist: the ppdev driver is not loaded. " + std::string(kLoadPpdevHint);
    case ENODEV:
    case ENXIO:
      return std::string(devicePath) + " for " + label +
             " has no driver behind it: the ppdev driver is not loaded. " +
             std::string(kLoadPpdevHint);
    default:
      return "Cannot open " + std::string(devicePath) + " for " + label + ": " +
             std::strerror(error) + ".";
  }
}

std::string PpdevClaimErrorText(std::string_view name, std::uint16_t base,
                                std::string_view devicePath, int error) {
  // An exclusive claim fails with ENXIO when another driver has the port registered
  // (the lp printer driver does from the moment it loads), EBUSY where it is in use.
  if (error == EBUSY || error == ENXIO) {
    return std::string(devicePath) + " for " + PortLabel(name, base) +
           " is held by another driver or program, most often the lp printer driver. Unload "
           "it with \"sudo rmmod lp\" (to keep it from coming back, take lp out of "
           "/etc/modules and write \"blacklist lp\" into a file in /etc/modprobe.d/), and "
           "close any other program that uses the port.";
  }
  return "Cannot claim " + std::string(devicePath) + " for " + PortLabel(name, base) + ": " +
         std::strerror(error) + ".";
}

}  // namespace vql
