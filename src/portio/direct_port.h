// The direct back end: printer port registers through the x86 in and out
// instructions, after ioperm. Needs root and a kernel that is not locked down, but
// reaches cards that the kernel's parallel port driver does not take.
//
// An out to the wrong address goes to whatever sits there: a serial port's UART, the
// VGA card, PCI configuration, the chipset's ACPI registers. So the back end writes
// only where a parallel port is, as the kernel tells it (io_ranges.h): inside an I/O
// range of a PCI function of the parallel-port class, at a legacy base (0378, 0278,
// 03BC) that nothing in /proc/ioports has, or at a base that the kernel lists under
// /proc/sys/dev/parport; never where /proc/ioports gives one of the port's three
// registers to another device. VQLISP_DIRECT_ANY_ADDRESS=1 lifts the check for
// someone who knows their card.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "portio/io_ranges.h"
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

// AttachPort reads the facts of io_ranges.h from sysRoot and refuses, before ioperm, a
// base that a kernel parallel port driver has (ParportDriverOwning) or that
// DirectAddressRefusal refuses. It then asks the kernel for the port's three I/O
// addresses and sets the port up: the run-mode byte on the data register, the
// control register, the ECR where there is one, and a check that the data register
// keeps what is written to it. The ECR at base + 0402 (bases below 0400) is left
// alone when /proc/ioports gives that address to another device, unless anyAddress. sysRoot also prefixes /sys/kernel/security/lockdown, read to
// explain a refusal; "" means the real system. anyAddress is the value of
// VQLISP_DIRECT_ANY_ADDRESS (nullptr when unset): "1" lifts DirectAddressRefusal and
// the ECR's check.
// On builds for other processors than x86 every AttachPort throws PortError.
// The port's lock file (port_lock.h) is taken after the checks and before ioperm, in
// the first of lockFolders that serves; empty: <sysRoot>/run/lock.
std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot,
                                       const char* anyAddress = nullptr,
                                       std::vector<std::string> lockFolders = {});
// The same over io instead of the processor's instructions, on every processor.
std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot, const char* anyAddress,
                                       std::unique_ptr<DirectIo> io,
                                       std::vector<std::string> lockFolders = {});

// The kernel driver that owns the I/O address base in ioports (/proc/ioports,
// "  0378-037a : parport0"), when it is a parallel port driver ("parport0"); nothing
// otherwise.
std::optional<std::string> ParportDriverOwning(const std::vector<IoRange>& ioports,
                                               std::uint16_t base);

// Why the direct back end must not write to base, for the port the configuration file
// calls name; nothing when it may. Refused: a base whose registers base..base+2
// overlap a range of facts.ioports that belongs to another device than a parallel
// port (ForeignRange). Accepted then: a base whose registers lie in an I/O range of a
// PCI parallel port, a legacy base (0378, 0278, 03BC) that no range but bus windows
// overlaps, and a base in facts.kernelPorts (not 0, where USB printer adapters are
// listed). Everything else is refused. anyAddress lets every address pass.
std::optional<std::string> DirectAddressRefusal(std::string_view name, std::uint16_t base,
                                                const IoFacts& facts, bool anyAddress);

// What to tell the operator when ioperm for the port failed with errno error, given
// the contents of the kernel's lockdown file ("" when it is missing) and the
// effective user id.
std::string DirectPortRefusedText(std::string_view name, std::uint16_t base,
                                  std::string_view lockdown, unsigned euid, int error);

}  // namespace vql
