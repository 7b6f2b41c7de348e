// SHA-256 (FIPS 180-4), for naming a code image by its content: a log line or a job
// records which image went into a chip.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vql {

// The digest of bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace vql
