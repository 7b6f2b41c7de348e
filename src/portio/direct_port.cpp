#include "portio/direct_port.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "portio/parport_lookup.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace vql {
namespace {

constexpr std::string_view kUsePpdev =
    "use the ppdev back end instead (VQLISP_PORT=ppdev), with your user in the lp group.";

#if defined(__x86_64__) || defined(__i386__)

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class DirectPort final : public PortIo {
 public:
  explicit DirectPort(std::string sysRoot) : sysRoot_(std::move(sysRoot)) {}

  // The permission ends with the process; nothing to give back.
  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (Find(base) != nullptr) return;
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
  std::vector<Attached> attached_;
};

#else

class DirectPort final : public PortIo {
 public:
  explicit DirectPort(const std::string&) {}

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

std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot) {
  return std::make_unique<DirectPort>(sysRoot);
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
