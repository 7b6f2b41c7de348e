#include "portio/direct_port.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace vql {
namespace {

constexpr std::string_view kUsePpdev =
    "use the ppdev back end instead (VQLISP_PORT=ppdev), with your user in the lp group.";

// The bases of the PC's serial ports: an out there reaches a UART, not a cable.
struct SerialPort {
  std::uint16_t base;
  const char* name;
};
constexpr SerialPort kSerialPorts[] = {
    {0x3F8, "COM1"}, {0x2F8, "COM2"}, {0x3E8, "COM3"}, {0x2E8, "COM4"}};

// An address in the four upper-case digits that the configuration file takes.
std::string Hex4(std::uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(value));
  return digits;
}

// Why base cannot be a parallel port's base, when the kernel lists none to compare
// with; nothing when it can be. Every parallel port, on the main board or on a PCI
// card, has its three registers at a 4-aligned base.
std::optional<std::string> BrokenAddressRule(std::uint16_t base) {
  if (base < 0x100) {
    return "below 0100, where the main board's own devices sit (timer, interrupt and DMA "
           "controllers, keyboard)";
  }
  if (base % 4 != 0) {
    return "not 4-aligned, as every parallel port's base is (03BC, 0378, 0278, and on PCI "
           "cards addresses such as D010 or 3000)";
  }
  for (const auto& serial : kSerialPorts) {
    if (base == serial.base) return std::string("a serial port's address (") + serial.name + ")";
  }
  return std::nullopt;
}

#if defined(__x86_64__) || defined(__i386__)

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DirectPort final : public PortIo {
 public:
  DirectPort(std::string sysRoot, bool anyAddress)
      : sysRoot_(std::move(sysRoot)), anyAddress_(anyAddress) {}

  // The permission ends with the process; nothing to give back.
  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (Find(base) != nullptr) return;
    // Before ioperm: once root holds the permission, nothing stops a write to the
    // wrong device.
    const auto refusal =
        DirectAddressRefusal(name, base, ListKernelParports(sysRoot_), anyAddress_);
    if (refusal) throw PortError(*refusal);
    if (::ioperm(base, 3, 1) != 0) {
      const int error = errno;
      throw PortError(DirectPortRefusedText(
          name, base, ReadWholeFile(sysRoot_ + "/sys/kernel/security/lockdown"), ::geteuid(),
          error));
    }
    attached_.push_back({base, PortLabel(name, base)});
  }

  // Only addresses that ioperm granted are touched: any other in or out would kill
  // the process.
  std::uint16_t Inport(std::uint16_t address) override {
    for (const auto& port : attached_) {
      if (address == port.base || address == port.base + 1U) return ::inb(address);
    }
    return 0xFF;
  }

  void Outport(std::uint16_t address, std::uint16_t value) override {
    if (Find(address) != nullptr) ::outb(static_cast<unsigned char>(value & 0xFFU), address);
  }

  std::string Description() const override {
    if (attached_.empty()) return "direct port I/O (no port attached yet)";
    std::string text = "direct port I/O for ";
    for (std::size_t i = 0; i < attached_.size(); ++i) {
      if (i > 0) text += " and ";
      text += attached_[i].label;
    }
    return text;
  }

 private:
  struct Attached {
    std::uint16_t base;
    std::string label;
  };

  const Attached* Find(std::uint16_t base) const {
    const auto it = std::ranges::find(attached_, base, &Attached::base);
    return it == attached_.end() ? nullptr : &*it;
  }

  std::string sysRoot_;
  bool anyAddress_;
  std::vector<Attached> attached_;
};

#else

class DirectPort final : public PortIo {
 public:
  DirectPort(const std::string&, bool) {}

  void AttachPort(std::string_view name, std::uint16_t base) override {
    throw PortError("Direct port I/O for " + PortLabel(name, base) +
                    " is not possible: it exists only on x86 computers; " +
                    std::string(kUsePpdev));
  }
  std::uint16_t Inport(std::uint16_t) override { return 0xFF; }
  void Outport(std::uint16_t, std::uint16_t) override {}
  std::string Description() const override { return "direct port I/O (x86 only)"; }
};

#endif

}  // namespace

std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot, const char* anyAddress) {
  return std::make_unique<DirectPort>(sysRoot,
                                      anyAddress != nullptr && std::string_view(anyAddress) == "1");
}

std::optional<std::string> DirectAddressRefusal(std::string_view name, std::uint16_t base,
                                                const std::vector<KnownParport>& kernelPorts,
                                                bool anyAddress) {
  if (anyAddress) return std::nullopt;
  const std::string address = Hex4(base);
  std::string reason;
  if (!kernelPorts.empty()) {
    if (std::ranges::find(kernelPorts, std::uint32_t{base}, &KnownParport::base) !=
        kernelPorts.end()) {
      return std::nullopt;
    }
    reason = address + " is not among the parallel ports the kernel lists: ";
    for (std::size_t i = 0; i < kernelPorts.size(); ++i) {
      reason += (i > 0 ? ", " : "") + Hex4(kernelPorts[i].base);
    }
    reason += ".";
  } else {
    const auto broken = BrokenAddressRule(base);
    if (!broken) return std::nullopt;
    reason = address + " is " + *broken +
             ". The kernel lists no parallel port to check the address against; \"sudo "
             "modprobe parport_pc\" lets it look for them.";
  }
  return "Direct port I/O for " + PortLabel(name, base) + " is refused: " + reason +
         " Write the address of the port the cable is on for " + std::string(name) +
         " in CONFIG.VQL. If you know that a parallel port sits at " + address +
         " all the same, set VQLISP_DIRECT_ANY_ADDRESS=1 to lift this check.";
}

std::string DirectPortRefusedText(std::string_view name, std::uint16_t base,
                                  std::string_view lockdown, unsigned euid, int error) {
  const std::string start = "Direct port I/O for " + PortLabel(name, base);
  // The file lists the modes with the one in force in brackets: "none [integrity]
  // confidentiality".
  const bool lockedDown = lockdown.find("[integrity]") != std::string_view::npos ||
                          lockdown.find("[confidentiality]") != std::string_view::npos;
  if (lockedDown) {
    return start +
           " is refused: the kernel is locked down, usually because Secure Boot is on, and "
           "then not even root may use I/O ports. Please " +
           std::string(kUsePpdev);
  }
  if (euid != 0) {
    return start + " needs root. Run the program as root (sudo), or " + std::string(kUsePpdev);
  }
  std::string text = start + " is refused: " + std::strerror(error) + ".";
  if (error == EPERM) {
    // Root without the right to raw I/O: a container or a restricted service.
    text += " Root needs the CAP_SYS_RAWIO capability for it, which containers usually "
            "drop. Otherwise, " +
            std::string(kUsePpdev);
  }
  return text;
}

}  // namespace vql
