// The ppdev back end: printer port registers through Linux /dev/parportN, which
// needs no root, only access to the device node (the lp group). The configured base
// address picks the device by the kernel's list of parallel ports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "portio/port_io.h"

namespace vql {

// Opens nothing until AttachPort, which opens <sysRoot>/dev/parportN, claims it
// exclusively and keeps it until the object goes. sysRoot "" means the real system.
std::unique_ptr<PortIo> MakePpdevPort(const std::string& sysRoot);

// What to tell the operator when opening devicePath for the port failed with errno
// error, or when claiming it did.
std::string PpdevOpenErrorText(std::string_view name, std::uint16_t base,
                               std::string_view devicePath, int error);
std::string PpdevClaimErrorText(std::string_view name, std::uint16_t base,
                                std::string_view devicePath, int error);

}  // namespace vql
