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

#include "portio/cable_pins.h"
#include "portio/port_lock.h"

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

namespace vql {
namespace {

constexpr std::string_view kUsePpdev =
    "use the ppdev back end instead (VQLISP_PORT=ppdev), with your user in the lp group.";

// The bases that the PC's printer ports have had since the ISA bus: an LPT port of the
// main board or of an ISA card sits at one of them.
constexpr std::uint16_t kLegacyBases[] = {0x378, 0x278, 0x3BC};

// An address in the four upper-case digits that the configuration file takes.
std::string Hex4(std::uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(value));
  return digits;
}

// "0CF8-0CFF".
std::string Hex4Span(std::uint32_t first, std::uint32_t last) {
  return Hex4(first) + "-" + Hex4(last);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Registers beside the data register at base.
constexpr std::uint16_t kStatusOffset = 1;
constexpr std::uint16_t kControlOffset = 2;
constexpr std::uint16_t kEcrOffset = 0x402;

// Control: strobe, autofeed and select-in inactive (bits 0, 1, 3 low drive their
// inverted lines high), init inactive (bit 2 high), no interrupt (bit 4), and the
// data lines driven (bit 5 low: forward).
constexpr std::uint8_t kControlForward = 0x0C;

// ECR mode bits 7..5 = 001, PS/2 (byte) mode: the data register as the plain port that
// the cable needs, without a FIFO in between. Bit 4 (nErrIntrEn) and bit 2
// (serviceIntr) high keep its interrupts off, bit 3 low keeps DMA off; bits 1 and 0
// report the FIFO and ignore writes. Read back, an empty FIFO sets bit 0.
constexpr std::uint8_t kEcrPs2Mode = 0x34;
constexpr std::uint8_t kEcrPs2ModeRead = 0x35;

// Written in turn to prove that the data register keeps what it is given: each leaves
// MODE7 and MODE3 high, so the cable's buffer stays off and the target sees nothing,
// and between them every other bit is once 0 and once 1.
constexpr std::uint8_t kProbeBytes[] = {0xAA, 0xDD};
// Left on the data lines after the check: the run-mode lines, the target released.
constexpr std::uint8_t kRunModeLines = cable::kMode7 | cable::kMode3;

// The ECP convention puts the ECR at base + 0402 only for ports on the ISA bus,
// below 0400. A PCI or PCIe card has its extended registers in a second I/O range
// that only its configuration tells (lspci -v), so at its base + 0402 sits something
// else, or nothing, and is left alone.
bool MayHaveEcrAtOffset(std::uint16_t base) { return base < 0x400; }

// How a refusal names the owner of a range: a PCI function with its class, so that
// "0000:03:00.0" reads as the serial card it is.
std::string OwnerText(const IoFacts& facts, const std::string& owner) {
  const auto it = std::ranges::find(facts.pci, owner, &PciFunction::name);
  if (it == facts.pci.end()) return owner;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%06X", static_cast<unsigned>(it->classCode));
  return owner + " (PCI class " + digits + ", not a parallel port's 0701xx)";
}

// "0000:02:00.0 at D010-D017, D000-D007; ...": the PCI parallel ports, for a refusal.
std::string ParallelCardsText(const IoFacts& facts) {
  std::string text;
  for (const PciFunction& function : facts.pci) {
    if (!IsParallelClass(function.classCode) || function.io.empty()) continue;
    text += (text.empty() ? "" : "; ") + function.name + " at ";
    for (std::size_t i = 0; i < function.io.size(); ++i) {
      text += (i > 0 ? ", " : "") + Hex4Span(function.io[i].first, function.io[i].last);
    }
  }
  return text;
}

std::string NoPortText(std::string_view label, std::uint16_t base, std::uint8_t wrote,
                       std::uint8_t read, std::string_view ecrOwner) {
  const std::string address = Hex4(base);
  char bytes[64];
  std::snprintf(bytes, sizeof bytes, " (%02X written, %02X read back)",
                static_cast<unsigned>(wrote), static_cast<unsigned>(read));
  return "No port at " + address + "? The data register of " + std::string(label) +
         " does not keep what is written to it" + bytes +
         ", so nothing at that address behaves like a printer port. Check the address "
         "in CONFIG.VQL against the card's I/O ports (\"lspci -v\" lists them)." +
         (ecrOwner.empty()
              ? std::string()
              : " The port's extended control register at " + Hex4(base + kEcrOffset) +
                    ", which can hold the data register behind a FIFO, was left alone: the "
                    "kernel gives that address to " +
                    std::string(ecrOwner) +
                    ". If it is this port's all the same, VQLISP_DIRECT_ANY_ADDRESS=1 lets the "
                    "program set it.");
}

class DirectPort final : public PortIo {
 public:
  DirectPort(std::string sysRoot, bool anyAddress, std::unique_ptr<DirectIo> io,
             std::vector<std::string> lockFolders)
      : sysRoot_(std::move(sysRoot)),
        anyAddress_(anyAddress),
        io_(std::move(io)),
        lockFolders_(lockFolders.empty() ? PortLockFolders(sysRoot_, nullptr)
                                         : std::move(lockFolders)) {}

  void AttachPort(std::string_view name, std::uint16_t base) override {
    if (Find(base) != nullptr) return;
    const std::string label = PortLabel(name, base);
    const std::string ecrOwner = CheckAddresses(name, base);
    // One program per port, as with ppdev: two would interleave their edges.
    PortLock lock = PortLock::Take(lockFolders_, name, base);
    if (const int error = io_->Permit(base, 3, true); error != 0) {
      throw PortError(DirectPortRefusedText(
          name, base, ReadWholeFile(sysRoot_ + "/sys/kernel/security/lockdown"), ::geteuid(),
          error));
    }
    // The data lines first: the control register below turns them forward, and they
    // would drive the latch's old byte, from the firmware or another program, onto the
    // cable until the probes replace it.
    io_->Out(base, kRunModeLines);
    io_->Out(static_cast<std::uint16_t>(base + kControlOffset), kControlForward);
    if (ecrOwner.empty()) SetEcrToPs2Mode(base);
    for (const std::uint8_t probe : kProbeBytes) {
      io_->Out(base, probe);
      if (const std::uint8_t read = io_->In(base); read != probe) {
        io_->Permit(base, 3, false);
        throw PortError(NoPortText(label, base, probe, read, ecrOwner));
      }
    }
    io_->Out(base, kRunModeLines);
    attached_.push_back({base, label, kRunModeLines, std::move(lock)});
  }

  void DetachPort(std::uint16_t base) override {
    if (Find(base) == nullptr) return;
    io_->Permit(base, 3, false);
    // The lock goes with the entry.
    std::erase_if(attached_, [base](const Attached& port) { return port.base == base; });
  }

  // Only addresses that ioperm granted are touched: any other in or out would kill
  // the process. The data register answers the byte last written, so that a slow
  // line (RST behind the target's reset capacitor) is never read back at its old
  // level and written back so.
  std::uint16_t Inport(std::uint16_t address) override {
    for (const auto& port : attached_) {
      if (address == port.base) return port.data;
      if (address == port.base + kStatusOffset) return io_->In(address);
    }
    return 0xFF;
  }

  void Outport(std::uint16_t address, std::uint16_t value) override {
    if (Attached* port = Find(address)) {
      port->data = static_cast<std::uint8_t>(value & 0xFFU);
      io_->Out(address, port->data);
    }
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
    std::uint8_t data;  // the byte last written to the data register
    PortLock lock;
  };

  // Throws PortError when base is no address to write to. Otherwise returns who has
  // base + 0402 when the kernel gives it to another device (many boards reserve
  // 0778-077F as a "pnp" range of their own), so that the ECR probe leaves it alone;
  // "" when it may be probed. Reads and decides only: every check comes before
  // ioperm, since once root holds the permission nothing stops a write to the wrong
  // device. anyAddress lifts both checks but the parport driver's.
  std::string CheckAddresses(std::string_view name, std::uint16_t base) const {
    const IoFacts facts = ReadIoFacts(sysRoot_);
    if (const auto driver = ParportDriverOwning(facts.ioports, base)) {
      throw PortError("Direct port I/O for " + PortLabel(name, base) +
                      " is refused: the kernel's " + *driver +
                      " driver has the port, and the two would fight over its lines. Please " +
                      std::string(kUsePpdev));
    }
    if (const auto refusal = DirectAddressRefusal(name, base, facts, anyAddress_)) {
      throw PortError(*refusal);
    }
    const auto ecr = static_cast<std::uint32_t>(base + kEcrOffset);
    const IoRange* ecrOwner = ForeignRange(facts, ecr, ecr);
    return MayHaveEcrAtOffset(base) && !anyAddress_ && ecrOwner != nullptr
               ? ecrOwner->owner
               : std::string();
  }

  Attached* Find(std::uint16_t base) {
    const auto it = std::ranges::find(attached_, base, &Attached::base);
    return it == attached_.end() ? nullptr : &*it;
  }

  // An ECP port starts in whatever mode the firmware chose, and in some of them the
  // data register goes through a FIFO. Where there is an ECR, it is set to PS/2 mode.
  // Writes go there only once a read looks like an ECR: bit 0 (FIFO empty) set and
  // bit 1 (FIFO full) clear. Nothing at all reads FF, and a port without an ECR that
  // decodes only ten address bits answers with its control register, which reads
  // ...00 in those two bits after the 0C above. The mode is then written and must
  // read back as an ECR would; if it does not, the old value goes back.
  void SetEcrToPs2Mode(std::uint16_t base) {
    if (!MayHaveEcrAtOffset(base)) return;
    const auto ecr = static_cast<std::uint16_t>(base + kEcrOffset);
    if (io_->Permit(ecr, 1, true) != 0) return;
    const std::uint8_t old = io_->In(ecr);
    if ((old & 0x03) == 0x01) {
      io_->Out(ecr, kEcrPs2Mode);
      if (io_->In(ecr) != kEcrPs2ModeRead) {
        io_->Out(ecr, old);
        // Had it been the control register after all, it is as it was set.
        io_->Out(static_cast<std::uint16_t>(base + kControlOffset), kControlForward);
      }
    }
    io_->Permit(ecr, 1, false);
  }

  std::string sysRoot_;
  bool anyAddress_;
  std::unique_ptr<DirectIo> io_;
  std::vector<std::string> lockFolders_;
  std::vector<Attached> attached_;
};

#if defined(__x86_64__) || defined(__i386__)

class ProcessorIo final : public DirectIo {
 public:
  int Permit(std::uint16_t from, std::uint16_t count, bool on) override {
    return ::ioperm(from, count, on ? 1 : 0) == 0 ? 0 : errno;
  }
  std::uint8_t In(std::uint16_t address) override { return ::inb(address); }
  void Out(std::uint16_t address, std::uint8_t value) override { ::outb(value, address); }
};

#else

class NoDirectPort final : public PortIo {
 public:
  void AttachPort(std::string_view name, std::uint16_t base) override {
    throw PortError("Direct port I/O for " + PortLabel(name, base) +
                    " is not possible: it exists only on x86 computers; " +
                    std::string(kUsePpdev));
  }
  void DetachPort(std::uint16_t) override {}
  std::uint16_t Inport(std::uint16_t) override { return 0xFF; }
  void Outport(std::uint16_t, std::uint16_t) override {}
  std::string Description() const override { return "direct port I/O (x86 only)"; }
};

#endif

}  // namespace

std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot, const char* anyAddress,
                                       std::unique_ptr<DirectIo> io,
                                       std::vector<std::string> lockFolders) {
  return std::make_unique<DirectPort>(sysRoot,
                                      anyAddress != nullptr && std::string_view(anyAddress) == "1",
                                      std::move(io), std::move(lockFolders));
}

std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot, const char* anyAddress,
                                       std::vector<std::string> lockFolders) {
#if defined(__x86_64__) || defined(__i386__)
  return MakeDirectPort(sysRoot, anyAddress, std::make_unique<ProcessorIo>(),
                        std::move(lockFolders));
#else
  (void)sysRoot;
  (void)anyAddress;
  (void)lockFolders;
  return std::make_unique<NoDirectPort>();
#endif
}

std::optional<std::string> ParportDriverOwning(const std::vector<IoRange>& ioports,
                                               std::uint16_t base) {
  for (const IoRange& range : ioports) {
    if (base >= range.first && base <= range.last && range.owner.starts_with("parport")) {
      return range.owner;
    }
  }
  return std::nullopt;
}

std::optional<std::string> DirectAddressRefusal(std::string_view name, std::uint16_t base,
                                                const IoFacts& facts, bool anyAddress) {
  if (anyAddress) return std::nullopt;
  const std::string address = Hex4(base);
  const std::uint32_t last = base + kControlOffset;
  std::string reason;
  if (const IoRange* foreign = ForeignRange(facts, base, last)) {
    reason = "its registers " + Hex4Span(base, last) + " overlap " +
             Hex4Span(foreign->first, foreign->last) + ", which the kernel gives to " +
             OwnerText(facts, foreign->owner) +
             ", so an out there would reach that instead of a printer port.";
  } else {
    const bool freeLegacy = std::ranges::find(kLegacyBases, base) != std::end(kLegacyBases) &&
                            !Claimed(facts.ioports, base, last);
    // A USB printer adapter's port, listed at base 0, is at no I/O address.
    const auto atBase = [base](const KnownParport& port) { return port.base == base; };
    const bool listed = base != 0 && std::ranges::any_of(facts.kernelPorts, atBase);
    if (OnParallelCard(facts.pci, base, last) || freeLegacy || listed) return std::nullopt;
    reason = address +
             " is in no PCI parallel port's I/O range and is no free legacy base (0378, 0278, "
             "03BC).";
    if (const std::string cards = ParallelCardsText(facts); !cards.empty()) {
      reason += " PCI parallel ports: " + cards + ".";
    }
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
