// The machine's I/O addresses as the kernel tells them: the ranges that
// /proc/ioports gives to drivers and devices, the PCI functions with their classes
// and I/O ranges, and the parallel ports under /proc/sys/dev/parport. The direct back
// end checks a base address against them before it writes there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "portio/parport_lookup.h"

namespace vql {

// One line of /proc/ioports, "  0378-037a : parport0": the addresses first..last
// belong to owner. depth counts the two-space indents; a range sits inside the line
// above it with a smaller depth.
struct IoRange {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::string owner;
  int depth = 0;
};

struct IoSpan {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

// A PCI function under /sys/bus/pci/devices: its name ("0000:02:00.0", which is also
// how /proc/ioports names its ranges), its class ("0x070101": base class 07,
// subclass 01, a parallel port) and the I/O ranges of its base address registers.
struct PciFunction {
  std::string name;
  std::uint32_t classCode = 0;
  std::vector<IoSpan> io;
};

// What the kernel tells of the I/O addresses, read once per attach.
struct IoFacts {
  std::vector<IoRange> ioports;
  std::vector<PciFunction> pci;  // sorted by name
  std::vector<KnownParport> kernelPorts;
};

// The facts from <sysRoot>/proc/ioports, <sysRoot>/sys/bus/pci/devices/*/{class,resource}
// and <sysRoot>/proc/sys/dev/parport; sysRoot "" means the real system. Without root
// the kernel shows every range of /proc/ioports as 0000-0000, which tells nothing:
// such ranges are left out. The PCI files are readable by everyone.
IoFacts ReadIoFacts(const std::string& sysRoot);

// Class 0701xx: a parallel port, whatever its programming interface (SPP, EPP, ECP).
bool IsParallelClass(std::uint32_t classCode);

// The innermost range of facts.ioports that overlaps first..last and belongs to
// something other than a parallel port; nullptr when there is none. Parallel ports
// are owners named "parport..." and PCI functions of class 0701xx. Bus windows ("PCI
// Bus 0000:00"), which hold everything behind a bridge, belong to no one.
const IoRange* ForeignRange(const IoFacts& facts, std::uint32_t first, std::uint32_t last);

// Whether a range of ioports other than a bus window overlaps first..last.
bool Claimed(const std::vector<IoRange>& ioports, std::uint32_t first, std::uint32_t last);

// Whether first..last lies inside one I/O range of a PCI function of class 0701xx.
bool OnParallelCard(const std::vector<PciFunction>& pci, std::uint32_t first,
                    std::uint32_t last);

}  // namespace vql
