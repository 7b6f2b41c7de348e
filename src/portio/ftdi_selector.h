// Which USB programming cable to open: the adapters the program knows, and VQLISP_FTDI,
// which narrows the choice to one USB id, one serial number and one interface. No
// libftdi here, so that every build can parse the variable and show its help.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "portio/ftdi_io.h"

namespace vql {

// The FTDI chips' interfaces (libftdi's INTERFACE_A to D). The FT232H and FT232R have
// A only, the FT2232H A and B.
enum class FtdiInterface { A, B, C, D };

// 'A' to 'D'.
char FtdiInterfaceLetter(FtdiInterface interface);

struct FtdiUsbId {
  std::uint16_t vid = 0;
  std::uint16_t pid = 0;
  bool operator==(const FtdiUsbId&) const = default;
};

// "0403:6014".
std::string FtdiUsbIdText(FtdiUsbId id);

// An adapter with FTDI's own USB id for its chip.
struct KnownFtdiAdapter {
  FtdiUsbId id;
  FtdiChip chip;
};

// Looked for in this order when VQLISP_FTDI names no USB id.
inline constexpr std::array kKnownFtdiAdapters{
    KnownFtdiAdapter{{0x0403, 0x6014}, FtdiChip::FT232H},
    KnownFtdiAdapter{{0x0403, 0x6010}, FtdiChip::FT2232H},
    KnownFtdiAdapter{{0x0403, 0x6001}, FtdiChip::FT232R},
};

// The chip behind a known USB id; nothing for another id.
std::optional<FtdiChip> KnownFtdiChip(FtdiUsbId id);

// Whether the chip has the interface at all.
bool FtdiChipHasInterface(FtdiChip chip, FtdiInterface interface);

struct FtdiSelector {
  // Nothing: the known adapters, in the table's order.
  std::optional<FtdiUsbId> id;
  // Empty: any serial number.
  std::string serial;
  FtdiInterface interface = FtdiInterface::A;
  bool operator==(const FtdiSelector&) const = default;
};

// Parses VQLISP_FTDI: comma-separated items, each one of VID:PID (four hexadecimal
// digits each), serial=SERIAL and interface=A|B|C|D, each at most once. Empty text
// selects the first known adapter found. Throws PortError naming the bad item and
// showing the form.
FtdiSelector ParseFtdiSelector(std::string_view text);

// The manual's entry for VQLISP_FTDI, laid out as PortEnvironmentHelp's entries are:
// the name indented by two, the text by six, and a '\n' at the end.
std::string FtdiEnvironmentHelp();

}  // namespace vql
