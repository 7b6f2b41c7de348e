// Finding the parallel ports that the Linux kernel knows, and their I/O base
// addresses, so that a base address from the configuration file can be matched to a
// /dev/parportN device and messages can list what there is instead.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vql {

struct KnownParport {
  std::string name;     // "parport0": the name under /proc/sys/dev/parport and /dev
  std::uint32_t base;   // I/O base address of the data register

  bool operator==(const KnownParport&) const = default;
};

// Parallel ports the kernel knows, from <sysRoot>/proc/sys/dev/parport/parportN/base-addr
// (its first number is the base, decimal), sorted by N. Entries that cannot be read
// are left out. sysRoot "" means the real system.
std::vector<KnownParport> ListKernelParports(const std::string& sysRoot);

// True when only USB printer-class devices (<sysRoot>/dev/usb/lp*) exist and the
// kernel knows no parallel port but such adapters' own, which it lists at base 0.
bool OnlyUsbPrinterAdapters(const std::string& sysRoot);

// How messages name a port: "LPT1 at 0378", the address in the four upper-case digits
// that the configuration file takes.
std::string PortLabel(std::string_view name, std::uint16_t base);

}  // namespace vql
