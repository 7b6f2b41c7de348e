#include "portio/ftdi_selector.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "portio/help_text.h"
#include "portio/port_io.h"

namespace vql {
namespace {

constexpr std::string_view kForm =
    "The form is VID:PID (four hexadecimal digits each), serial=SERIAL and "
    "interface=A|B|C|D, comma-separated, e.g. VQLISP_FTDI=0403:6010,serial=FT4ABC12,"
    "interface=B.";

[[noreturn]] void BadItem(std::string_view item, std::string_view why) {
  throw PortError("VQLISP_FTDI item \"" + std::string(item) + "\": " + std::string(why) + ". " +
                  std::string(kForm));
}

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::optional<std::uint16_t> FourHexDigits(std::string_view text) {
  std::uint16_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 16);
  if (text.size() != 4 || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

FtdiUsbId ParseUsbId(std::string_view item) {
  const auto colon = item.find(':');
  const auto vid = FourHexDigits(item.substr(0, colon));
  const auto pid = FourHexDigits(item.substr(colon + 1));
  if (!vid || !pid) BadItem(item, "a USB id is two groups of four hexadecimal digits");
  // libftdi takes vendor 0 as "any FTDI adapter": no id to ask for.
  if (*vid == 0) BadItem(item, "0000 is no USB vendor id");
  return {*vid, *pid};
}

FtdiInterface ParseInterface(std::string_view item, std::string_view value) {
  if (value.size() == 1) {
    const char letter = static_cast<char>(value.front() & ~0x20);
    if (letter >= 'A' && letter <= 'D') return static_cast<FtdiInterface>(letter - 'A');
  }
  BadItem(item, "the interface is one letter, A, B, C or D");
}

}  // namespace

char FtdiInterfaceLetter(FtdiInterface interface) {
  return static_cast<char>('A' + static_cast<int>(interface));
}

std::string FtdiUsbIdText(FtdiUsbId id) {
  char text[10];
  std::snprintf(text, sizeof text, "%04x:%04x", static_cast<unsigned>(id.vid),
                static_cast<unsigned>(id.pid));
  return text;
}

std::optional<FtdiChip> KnownFtdiChip(FtdiUsbId id) {
  const auto known = std::ranges::find(kKnownFtdiAdapters, id, &KnownFtdiAdapter::id);
  if (known == kKnownFtdiAdapters.end()) return std::nullopt;
  return known->chip;
}

bool FtdiChipHasInterface(FtdiChip chip, FtdiInterface interface) {
  return interface == FtdiInterface::A ||
         (chip == FtdiChip::FT2232H && interface == FtdiInterface::B);
}

FtdiSelector ParseFtdiSelector(std::string_view text) {
  FtdiSelector selector;
  bool idSeen = false, serialSeen = false, interfaceSeen = false;
  const auto once = [](std::string_view item, bool& seen) {
    // Two of one kind would leave the operator guessing which counts.
    if (seen) BadItem(item, "given twice");
    seen = true;
  };
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;

    const auto equals = item.find('=');
    if (equals == std::string_view::npos) {
      if (item.find(':') == std::string_view::npos) {
        BadItem(item, "neither a USB id VID:PID nor key=value");
      }
      once(item, idSeen);
      selector.id = ParseUsbId(item);
      continue;
    }
    const std::string_view key = Trim(item.substr(0, equals));
    const std::string_view value = Trim(item.substr(equals + 1));
    if (key == "serial") {
      once(item, serialSeen);
      if (value.empty()) BadItem(item, "the serial number is empty");
      selector.serial = value;
    } else if (key == "interface") {
      once(item, interfaceSeen);
      selector.interface = ParseInterface(item, value);
    } else {
      BadItem(item, "unknown key");
    }
  }
  return selector;
}

std::string FtdiEnvironmentHelp() {
  constexpr std::size_t kIndent = 6;
  std::string known;
  for (std::size_t i = 0; i < kKnownFtdiAdapters.size(); ++i) {
    if (i > 0) known += i + 1 < kKnownFtdiAdapters.size() ? ", " : " and ";
    known += FtdiUsbIdText(kKnownFtdiAdapters[i].id) + " (" +
             std::string(FtdiChipName(kKnownFtdiAdapters[i].chip)) + ")";
  }
  return "  VQLISP_FTDI\n" + std::string(kIndent, ' ') +
         IndentHelp(WrapHelp("The USB programming cable, with VQLISP_PORT=ftdi: comma-separated, "
                             "VID:PID (four hexadecimal digits each), serial=SERIAL (the "
                             "adapter's USB serial number) and interface=A|B|C|D (default A; "
                             "the FT2232H has A and B), for example "
                             "0403:6010,serial=FT4ABC12,interface=B. Unset or empty: the first "
                             "adapter found of " +
                                 known +
                                 ", on interface A. The adapter's USB device must be writable: "
                                 "the package's udev rule gives it to the plugdev group and to "
                                 "the user at the desktop.",
                             kIndent, kIndent, 80),
                    kIndent);
}

}  // namespace vql
