// The programming cable's pin map: which printer-port register bit carries which
// line. The link drives and reads the lines by bit number; the simulated cable and
// the tests look at whole register values through the masks.
#pragma once

#include <cstdint>

namespace vql {

// Data register bits (lines to the cable and the target).
inline constexpr std::int32_t kMode3Bit = 3;
inline constexpr std::int32_t kRstBit = 4;
inline constexpr std::int32_t kMosiBit = 5;
inline constexpr std::int32_t kSckBit = 6;
inline constexpr std::int32_t kMode7Bit = 7;
// Status register bits (lines from the cable and the target).
inline constexpr std::int32_t kSenseBit = 4;
inline constexpr std::int32_t kMisoBit = 6;

// The same lines as register masks.
namespace cable {
constexpr std::uint8_t Mask(std::int32_t bit) { return static_cast<std::uint8_t>(1u << bit); }

inline constexpr std::uint8_t kMode3 = Mask(kMode3Bit);
inline constexpr std::uint8_t kRst = Mask(kRstBit);
inline constexpr std::uint8_t kMosi = Mask(kMosiBit);
inline constexpr std::uint8_t kSck = Mask(kSckBit);
inline constexpr std::uint8_t kMode7 = Mask(kMode7Bit);
inline constexpr std::uint8_t kSense = Mask(kSenseBit);
inline constexpr std::uint8_t kMiso = Mask(kMisoBit);
}  // namespace cable

}  // namespace vql
