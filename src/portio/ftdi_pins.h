// The USB cables' pin maps: which adapter pin carries which line, one table per
// adapter. As on the printer-port cable, the target's lines pass a buffer (a 74HCT
// part powered by the target, so that 3.3 V outputs meet the 5 V chips' levels), and
// the buffer drives the target only while its enable, an active-low output, is low.
// SENSE reads 1 while the buffer has power from the target and is enabled.
#pragma once

#include <cstdint>

#include "portio/ftdi_io.h"

namespace vql {

struct FtdiPins {
  // Bit numbers in the byte that 80/81 (MPSSE, ADBUS) or the bit-bang byte carries.
  std::int32_t sck;
  std::int32_t mosi;
  std::int32_t miso;
  std::int32_t rst;
  std::int32_t enable;  // the buffer's enable, active low
  std::int32_t sense;
  // Pins driven by the adapter: SCK, MOSI, RST and the enable (in MPSSE, ADBUS3 too,
  // the unused chip select, held high).
  std::uint8_t outputs;
  // The byte written while nothing is driven towards the target: the buffer off, RST
  // low, SCK and MOSI low, (MPSSE) ADBUS3 high.
  std::uint8_t idle;
};

constexpr std::uint8_t PinMask(std::int32_t bit) { return static_cast<std::uint8_t>(1u << bit); }

// FT232H and FT2232H (channel A): MPSSE's own SCK, DO and DI on ADBUS0..2, ADBUS3
// (its chip select) unused, then RST, the buffer enable and SENSE on GPIOL0..2.
inline constexpr FtdiPins kMpssePins{
    .sck = 0, .mosi = 1, .miso = 2, .rst = 4, .enable = 5, .sense = 6,
    .outputs = PinMask(0) | PinMask(1) | PinMask(3) | PinMask(4) | PinMask(5),
    .idle = PinMask(3) | PinMask(5)};

// FT232R in synchronous bit-bang: D0 (TXD) SCK, D1 (RXD) MOSI, D2 (RTS#) MISO,
// D3 (CTS#) RST, D4 (DTR#) the buffer enable, D5 (DSR#) SENSE.
inline constexpr FtdiPins kFt232rPins{
    .sck = 0, .mosi = 1, .miso = 2, .rst = 3, .enable = 4, .sense = 5,
    .outputs = PinMask(0) | PinMask(1) | PinMask(3) | PinMask(4),
    .idle = PinMask(4)};

constexpr const FtdiPins& PinsOf(FtdiChip chip) {
  return chip == FtdiChip::FT232R ? kFt232rPins : kMpssePins;
}

}  // namespace vql
