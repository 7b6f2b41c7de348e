// The direct back end: printer port registers through the x86 in and out
// instructions, after ioperm. Needs root and a kernel that is not locked down, but
// reaches cards that the kernel's parallel port driver does not take.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "portio/port_io.h"

namespace vql {

// AttachPort asks the kernel for the port's three I/O addresses. sysRoot prefixes
// /sys/kernel/security/lockdown, read to explain a refusal; "" means the real system.
// On builds for other processors than x86 every AttachPort throws PortError.
std::unique_ptr<PortIo> MakeDirectPort(const std::string& sysRoot);

// What to tell the operator when ioperm for the port failed with errno error, given
// the contents of the kernel's lockdown file ("" when it is missing) and the
// effective user id.
std::string DirectPortRefusedText(std::string_view name, std::uint16_t base,
                                  std::string_view lockdown, unsigned euid, int error);

}  // namespace vql
