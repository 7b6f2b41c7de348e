#include "cli/listings.h"

#include <string>

#include "devices/device_table.h"
#include "link/config_file.h"

namespace vql {

namespace {

void PrintValue(std::FILE* out, const char* name, std::int32_t value) {
  // A group with a character that is no digit weighs -1 and can make a value negative.
  if (value >= 0) {
    std::fprintf(out, "%-12s %04X (%d)\n", name, static_cast<unsigned>(value), value);
  } else {
    std::fprintf(out, "%-12s (%d)\n", name, value);
  }
}

std::string Hex4(std::int32_t value) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(value));
  return hex;
}

}  // namespace

void PrintDeviceTable(std::FILE* out) {
  std::fprintf(out, "%-10s %9s %12s  %-12s %s\n", "DEVICE", "CODE SIZE", "LAST ADDRESS",
               "INSTRUCTIONS", "FUSE");
  for (const DeviceInfo& device : kDevices) {
    const std::string name(device.name);
    std::fprintf(out, "%-10s %9d %12s  %-12s %s\n", name.c_str(), device.codeSize,
                 Hex4(device.lastAddress).c_str(),
                 std::string(SetInfo(device.set).name).c_str(),
                 device.hasFuse ? "yes" : "no");
  }
}

void PrintUsedRows(const CodeImage& image, std::FILE* out) {
  for (std::size_t row = 0; row < static_cast<std::size_t>(kImageSize); row += 16) {
    std::string line;
    bool used = false;
    for (std::size_t a = row; a < row + 16; ++a) {
      used = used || image.HighDigits[a] != 'F' || image.LowDigits[a] != 'F';
      line += ' ';
      line += image.HighDigits[a];
      line += image.LowDigits[a];
    }
    if (used) std::fprintf(out, "%04zX%s\n", row, line.c_str());
  }
  std::fflush(out);
}

void PrintConfiguration(Programmer& programmer, std::FILE* out) {
  const ProgrammerLink& link = programmer.Link;
  std::int32_t delayScale = 0, bitDelay = 0, unused = 0, lpt1 = 0, lpt2 = 0;
  ReadConfigFile(delayScale, bitDelay, unused, lpt1, lpt2, link.ConfigPath);
  std::fprintf(out, "%-12s %s\n", "File", link.ConfigPath.c_str());
  // After a lookup (no --config), every place in its order: the file in use is the
  // first of them that exists, and a file put in an earlier one would win.
  if (link.ConfigPlaces.size() > 1) {
    const char* label = "Lookup";
    for (const std::string& place : link.ConfigPlaces) {
      std::fprintf(out, "%-12s %s\n", label, place.c_str());
      label = "";
    }
  }
  PrintValue(out, "DelayScale", delayScale);
  PrintValue(out, "BitDelay", bitDelay);
  PrintValue(out, "Unused", unused);
  PrintValue(out, "LPT1 base", lpt1);
  PrintValue(out, "LPT2 base", lpt2);
  std::fprintf(out, "%-12s %s, %s%s\n", "Port menu", link.PortCaption(1).c_str(),
               link.PortCaption(2).c_str(),
               link.HasAdapter() ? (", " + link.PortCaption(ProgrammerLink::kUsbPort)).c_str() : "");
  std::fprintf(out, "%-12s %s\n", "Port in use", programmer.Link.Port().Description().c_str());
  std::fprintf(out, "%-12s LoopCalibration %d, PollDelay %d\n", "Calibration",
               link.LoopCalibration, link.PollDelay);
  std::fflush(out);
}

}  // namespace vql
