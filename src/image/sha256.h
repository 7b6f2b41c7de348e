// SHA-256 (FIPS 180-4), for naming a code image by its content: a log line or a job
// records which image went into a chip.
#pragma once

#include <cstdint>
#include <span>
#include <optional>
#include <string>

#include "image/code_image.h"

namespace vql {

// The digest of bytes as 64 lower-case hexadecimal digits.
std::string Sha256Hex(std::span<const std::uint8_t> bytes);

// The digest of the image's bytes from 0 to last, as a chip of that size holds them;
// nothing when an entry there holds no hex digits.
std::optional<std::string> ImageSha256(const CodeImage& image, std::int32_t last);

}  // namespace vql
