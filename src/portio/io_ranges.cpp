#include "portio/io_ranges.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <utility>

namespace vql {
namespace {

namespace fs = std::filesystem;

// The flag of an I/O range (IORESOURCE_IO) in the third column of a PCI function's
// resource file; memory ranges have 0x200 instead.
constexpr std::uint64_t kIoResourceIo = 0x100;

std::optional<std::uint32_t> HexNumber(std::string_view digits) {
  std::uint32_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

// "  0378-037a : parport0"; nothing for a line that is no range.
std::optional<IoRange> ParseIoPortsLine(std::string_view line) {
  const auto start = line.find_first_not_of(' ');
  const auto dash = line.find('-', start);
  const auto colon = line.find(" : ", dash);
  if (start == std::string_view::npos || dash == std::string_view::npos ||
      colon == std::string_view::npos) {
    return std::nullopt;
  }
  const auto first = HexNumber(line.substr(start, dash - start));
  const auto last = HexNumber(line.substr(dash + 1, colon - dash - 1));
  if (!first || !last || *last < *first) return std::nullopt;
  return IoRange{*first, *last, std::string(line.substr(colon + 3)), static_cast<int>(start / 2)};
}

std::vector<IoRange> ReadIoPorts(const std::string& sysRoot) {
  std::vector<IoRange> ranges;
  std::ifstream in(sysRoot + "/proc/ioports");
  for (std::string line; std::getline(in, line);) {
    const auto range = ParseIoPortsLine(line);
    // 0000-0000 is how the kernel hides a range from a user without root.
    if (range && range->last != 0) ranges.push_back(*range);
  }
  return ranges;
}

// The resource file has a line "start end flags" in hex for each base address
// register, the expansion ROM and, on bridges, the windows; unused ones are all 0.
std::vector<IoSpan> ReadIoBars(const fs::path& file) {
  std::vector<IoSpan> spans;
  std::ifstream in(file);
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint64_t flags = 0;
  while (in >> std::hex >> start >> end >> flags) {
    if ((flags & kIoResourceIo) != 0 && start != 0 && start <= end && end <= 0xFFFF) {
      spans.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
    }
  }
  return spans;
}

std::vector<PciFunction> ListPciFunctions(const std::string& sysRoot) {
  std::vector<PciFunction> functions;
  std::error_code error;
  for (fs::directory_iterator it(sysRoot + "/sys/bus/pci/devices", error), end;
       !error && it != end; it.increment(error)) {
    PciFunction function{it->path().filename().string(), 0, {}};
    std::ifstream classFile(it->path() / "class");
    if (!(classFile >> std::hex >> function.classCode)) continue;
    function.io = ReadIoBars(it->path() / "resource");
    functions.push_back(std::move(function));
  }
  std::ranges::sort(functions, {}, &PciFunction::name);
  return functions;
}

bool IsBusWindow(std::string_view owner) {
  return owner.starts_with("PCI Bus") || owner.starts_with("PCI CardBus");
}

bool IsParallelOwner(const IoFacts& facts, std::string_view owner) {
  if (owner.starts_with("parport")) return true;
  const auto it = std::ranges::find(facts.pci, owner, &PciFunction::name);
  return it != facts.pci.end() && IsParallelClass(it->classCode);
}

bool Overlaps(const IoRange& range, std::uint32_t first, std::uint32_t last) {
  return range.first <= last && first <= range.last;
}

}  // namespace

IoFacts ReadIoFacts(const std::string& sysRoot) {
  return {ReadIoPorts(sysRoot), ListPciFunctions(sysRoot), ListKernelParports(sysRoot)};
}

bool IsParallelClass(std::uint32_t classCode) { return (classCode >> 8) == 0x0701; }

const IoRange* ForeignRange(const IoFacts& facts, std::uint32_t first, std::uint32_t last) {
  const IoRange* found = nullptr;
  for (const IoRange& range : facts.ioports) {
    if (!Overlaps(range, first, last) || IsBusWindow(range.owner) ||
        IsParallelOwner(facts, range.owner)) {
      continue;
    }
    // A pnp reservation lists the ACPI blocks inside it: the innermost names the device.
    if (found == nullptr || range.depth > found->depth) found = &range;
  }
  return found;
}

bool Claimed(const std::vector<IoRange>& ioports, std::uint32_t first, std::uint32_t last) {
  return std::ranges::any_of(ioports, [first, last](const IoRange& range) {
    return Overlaps(range, first, last) && !IsBusWindow(range.owner);
  });
}

bool OnParallelCard(const std::vector<PciFunction>& pci, std::uint32_t first,
                    std::uint32_t last) {
  return std::ranges::any_of(pci, [first, last](const PciFunction& function) {
    return IsParallelClass(function.classCode) &&
           std::ranges::any_of(function.io, [first, last](const IoSpan& span) {
             return span.first <= first && last <= span.last;
           });
  });
}

}  // namespace vql
