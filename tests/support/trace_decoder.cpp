#include "support/trace_decoder.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <stdexcept>

namespace vql::testing {

namespace {

// The data register's bits by number, as the cable names them.
constexpr std::array<std::string_view, 8> kLineNames{"D0",  "D1",   "D2",  "MODE3",
                                                     "RST", "MOSI", "SCK", "MODE7"};
constexpr std::uint8_t kMosi = 0x20;
constexpr std::uint8_t kSck = 0x40;
constexpr std::uint8_t kMiso = 0x40;  // in the status register

bool IsUpperHex(std::string_view digits) {
  return std::ranges::all_of(
      digits, [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

template <typename T>
bool ParseNumber(std::string_view text, int base, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc{} && end == text.data() + text.size();
}

// One line in the tracer's exact format, or false.
bool ParseLine(std::string_view line, TraceAccess& access) {
  const auto space = line.find(' ');
  if (space == std::string_view::npos || space == 0) return false;
  const std::string_view us = line.substr(0, space);
  const std::string_view rest = line.substr(space + 1);
  // "R AAAA VV"
  if (rest.size() != 9 || rest[1] != ' ' || rest[6] != ' ') return false;
  if (rest[0] != 'R' && rest[0] != 'W') return false;
  const std::string_view address = rest.substr(2, 4);
  const std::string_view value = rest.substr(7, 2);
  if (!std::ranges::all_of(us, [](char c) { return c >= '0' && c <= '9'; })) return false;
  if (!IsUpperHex(address) || !IsUpperHex(value)) return false;
  access.write = rest[0] == 'W';
  return ParseNumber(us, 10, access.us) && ParseNumber(address, 16, access.address) &&
         ParseNumber(value, 16, access.value);
}

std::size_t LineIndex(std::string_view line) {
  const auto found = std::ranges::find(kLineNames, line);
  if (found == kLineNames.end()) {
    throw std::invalid_argument("no data register line is called \"" + std::string(line) + "\"");
  }
  return static_cast<std::size_t>(found - kLineNames.begin());
}

// One rising edge of SCK and what happened until the next.
struct ClockedBit {
  std::uint64_t riseUs = 0;
  std::uint64_t fallUs = 0;
  bool mosi = false;
  bool mosiStable = true;
  bool misoSeen = false;
  bool miso = false;
};

}  // namespace

std::vector<TraceAccess> ParseTrace(std::string_view text) {
  std::vector<TraceAccess> accesses;
  std::size_t number = 0;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    ++number;
    if (line.empty()) continue;
    TraceAccess access{};
    if (!ParseLine(line, access)) {
      throw std::runtime_error("bad trace line " + std::to_string(number) + ": \"" +
                               std::string(line) + "\"");
    }
    accesses.push_back(access);
  }
  return accesses;
}

DecodedTrace DecodeTrace(const std::vector<TraceAccess>& accesses, std::uint16_t dataPort) {
  const auto statusPort = static_cast<std::uint16_t>(dataPort + 1);
  DecodedTrace decoded;
  std::vector<ClockedBit> bits;
  std::uint8_t data = 0;
  bool dataKnown = false;  // by a read or a write

  for (const auto& access : accesses) {
    if (access.address == statusPort && !access.write) {
      ++decoded.statusReads;
      // Every high phase of SCK starts with a rising edge that made the last bit.
      if ((data & kSck) != 0 && !bits.empty()) {
        bits.back().misoSeen = true;
        bits.back().miso = (access.value & kMiso) != 0;
      }
      continue;
    }
    if (access.address != dataPort) continue;
    if (!access.write) {
      ++decoded.dataReads;
      if (!dataKnown) data = access.value;
      dataKnown = true;
      continue;
    }

    ++decoded.dataWrites;
    dataKnown = true;
    const std::uint8_t changed = data ^ access.value;
    for (std::size_t bit = 0; bit < kLineNames.size(); ++bit) {
      if ((changed >> bit) & 1) {
        decoded.changes.push_back(
            {access.us, std::string(kLineNames[bit]), ((access.value >> bit) & 1) != 0});
      }
    }
    const bool wasHigh = (data & kSck) != 0;
    const bool isHigh = (access.value & kSck) != 0;
    const bool mosiChanged = (changed & kMosi) != 0;
    if (!wasHigh && isHigh) {
      bits.push_back({.riseUs = access.us, .fallUs = access.us,
                      .mosi = (access.value & kMosi) != 0, .mosiStable = !mosiChanged});
    } else if (wasHigh && !isHigh && !bits.empty()) {
      bits.back().fallUs = access.us;
    } else if (wasHigh && isHigh && mosiChanged && !bits.empty()) {
      bits.back().mosiStable = false;
    }
    data = access.value;
  }

  for (std::size_t first = 0; first + 8 <= bits.size(); first += 8) {
    ClockedByte byte;
    for (std::size_t i = 0; i < 8; ++i) {
      const ClockedBit& bit = bits[first + i];
      const auto weight = static_cast<std::uint8_t>(0x80 >> i);
      if (bit.mosi) byte.mosi |= weight;
      if (bit.miso) byte.miso |= weight;
      byte.mosiStableWhileHigh = byte.mosiStableWhileHigh && bit.mosiStable;
      byte.misoSampledEveryBit = byte.misoSampledEveryBit && bit.misoSeen;
    }
    byte.firstUs = bits[first].riseUs;
    byte.lastUs = bits[first + 7].fallUs;
    decoded.bytes.push_back(byte);
  }
  decoded.leftoverBits = static_cast<int>(bits.size() % 8);
  return decoded;
}

std::vector<std::uint8_t> DecodedTrace::MosiBytes() const {
  std::vector<std::uint8_t> out;
  for (const auto& byte : bytes) out.push_back(byte.mosi);
  return out;
}

std::vector<std::uint8_t> DecodedTrace::MisoBytes() const {
  std::vector<std::uint8_t> out;
  for (const auto& byte : bytes) out.push_back(byte.miso);
  return out;
}

std::vector<std::string> DecodedTrace::ChangesOf(std::string_view line) const {
  const std::string_view name = kLineNames[LineIndex(line)];
  std::vector<std::string> levels;
  for (const auto& change : changes) {
    if (change.line == name) levels.emplace_back(change.level ? "1" : "0");
  }
  return levels;
}

std::string DecodedTrace::LevelsOf(std::string_view line) const {
  std::string levels;
  for (const auto& level : ChangesOf(line)) levels += level;
  return levels;
}

}  // namespace vql::testing
