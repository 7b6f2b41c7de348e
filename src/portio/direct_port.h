// The direct back end: printer port registers through the x86 in and out
// instructions, after ioperm. Needs root and a kernel that is not locked down, but
// reaches cards that the kernel's parallel port driver does not take.
//
// An out to the wrong address goes to whatever sits there: a serial port's UART, the
// interrupt or DMA controller. So the back end writes only where a parallel port is:
// at a base that the kernel lists under /proc/sys/dev/parport, or, when it lists
// none, at an address that can be a parallel port's base. VQLISP_DIRECT_ANY_ADDRESS=1
// lifts the check for someone who knows their card.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "portio/parport_lookup.h"
#include "portio/port_io.h"

namespace vql {

// The processor's port instructions and the kernel's permission for them, so that
// tests can stand in for the hardware.
class DirectIo {
 public:
  virtual ~DirectIo() = default;
  // ioperm(from, count, on): 0, or the errno.
  virtual int Permit(std::uint16_t from, std::uint16_t count, bool on) = 0;
  virtual std::uint8_t In(std::uint16_t address) = 0;
  virtual void Out(std::uint16_t address, std::uint8_t value) = 0;
};

// AttachPort refuses a base that a kernel driver owns (<sysRoot>/proc/ioports), checks
// it with DirectAddressRefusal against the ports in <sysRoot>/proc/sys/dev/parport,
// asks the kernel for the port's three I/O addresses, and sets the port up: control
// register, ECR where there is one, and a check that the data register keeps what is
// written to it. sysRoot also prefixes /sys/kernel/security/lockdown, read to explain
// a refusal; "" means the real system. anyAddress is the value of
// VQLISP_DIRECT_ANY_ADDRESS (nullptr when unset): "1" lifts the address check.
// On builds for other processors than x86 every AttachPort throws PortError.
std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot,
                                       const char* anyAddress = nullptr);
// The same over io instead of the processor's instructions, on every processor.
std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot, const char* anyAddress,
                                       std::unique_ptr<DirectIo> io);

// The kernel driver that owns the I/O address base, after <sysRoot>/proc/ioports
// ("  0378-037a : parport0"), when it is a parallel port driver ("parport0"); nothing
// otherwise. Without root the kernel shows every range as 0000-0000, which matches
// nothing.
std::optional<std::string> ParportDriverOwning(const std::string& sysRoot, std::uint16_t base);

// Why the direct back end must not write to base, for the port the configuration file
// calls name; nothing when it may. With kernelPorts listed, only their bases pass.
// With none listed, base must be 4-aligned, at least 0100 and no serial port's base.
// Ports listed at base 0 (USB printer adapters) count as none. anyAddress lets every
// address pass.
std::optional<std::string> DirectAddressRefusal(std::string_view name, std::uint16_t base,
                                                const std::vector<KnownParport>& kernelPorts,
                                                bool anyAddress);

// What to tell the operator when ioperm for the port failed with errno error, given
// the contents of the kernel's lockdown file ("" when it is missing) and the
// effective user id.
std::string DirectPortRefusedText(std::string_view name, std::uint16_t base,
                                  std::string_view lockdown, unsigned euid, int error);

}  // namespace vql
