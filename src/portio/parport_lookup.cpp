#include "portio/parport_lookup.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

namespace vql {
namespace {

namespace fs = std::filesystem;

// N of "parportN"; nothing for other entries, such as the kernel's "default" folder.
std::optional<unsigned> ParportNumber(std::string_view name) {
  constexpr std::string_view prefix = "parport";
  if (!name.starts_with(prefix) || name.size() == prefix.size()) return std::nullopt;
  const std::string_view digits = name.substr(prefix.size());
  unsigned number = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return number;
}

// The first decimal number in the file: base-addr holds the base and, after a tab,
// the upper range that ECP ports have.
std::optional<std::uint32_t> ReadBaseAddress(const fs::path& file) {
  std::ifstream in(file);
  std::uint32_t base = 0;
  if (!(in >> base)) return std::nullopt;
  return base;
}

}  // namespace

std::vector<KnownParport> ListKernelParports(const std::string& sysRoot) {
  struct Numbered {
    unsigned number;
    KnownParport port;
  };
  std::vector<Numbered> found;
  std::error_code error;
  for (fs::directory_iterator it(sysRoot + "/proc/sys/dev/parport", error), end;
       !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    const auto number = ParportNumber(name);
    if (!number) continue;
    const auto base = ReadBaseAddress(it->path() / "base-addr");
    if (!base) continue;
    found.push_back({*number, {name, *base}});
  }
  std::ranges::sort(found, {}, &Numbered::number);
  std::vector<KnownParport> ports;
  ports.reserve(found.size());
  for (auto& entry : found) ports.push_back(std::move(entry.port));
  return ports;
}

bool OnlyUsbPrinterAdapters(const std::string& sysRoot) {
  bool usbPrinter = false;
  std::error_code error;
  for (fs::directory_iterator it(sysRoot + "/dev/usb", error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().starts_with("lp")) {
      usbPrinter = true;
      break;
    }
  }
  // A USB adapter's driver may list its own port, at base 0: that counts as none.
  return usbPrinter && std::ranges::all_of(ListKernelParports(sysRoot),
                                           [](const KnownParport& port) { return port.base == 0; });
}

std::string PortLabel(std::string_view name, std::uint16_t base) {
  char digits[5];
  std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(base));
  return std::string(name) + " at " + digits;
}

}  // namespace vql
