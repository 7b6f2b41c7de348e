#include "link/ft232r_engine.h"

#include <algorithm>
#include <array>

namespace vql {

namespace {

// The bit-bang clock's range as the library sets it: its baud rates run from about
// 183 to 3 000 000, and it multiplies the value it is given by 4 in bit-bang.
constexpr int kLowestBaud = 46;
constexpr int kHighestBaud = 750'000;
// Bytes written per transfer: the samples they bring back must never overfill the
// FT232R's 256-byte buffer towards the host while the host is still writing (the
// chip stops clocking when it is full, and the host would wait for it for ever).
constexpr std::size_t kTicksPerTransfer = 256;

}  // namespace

Ft232rEngine::Clock Ft232rEngine::ClockFor(std::int32_t halfUs) {
  const std::int64_t half = std::max<std::int32_t>(halfUs, 1);
  // Two ticks a half period where the clock can go that fast or slow; more beyond.
  // SCK falls with MOSI held for one tick, so that a chip that takes MOSI as SCK
  // falls gets it steady, and MOSI moves on in the tick after.
  std::int64_t baud = 2'000'000 / (half * kFt232rBytesPerBaud);
  baud = std::clamp<std::int64_t>(baud, kLowestBaud, kHighestBaud);
  const std::int64_t tickNs = 1'000'000'000 / (baud * kFt232rBytesPerBaud);
  const std::int64_t ticks = (half * 1000 + tickNs - 1) / tickNs;
  return {static_cast<int>(baud), static_cast<int>(std::max<std::int64_t>(ticks, 2))};
}

void Ft232rEngine::SetSckHalfPeriodUs(std::int32_t us) {
  halfUs_ = us;
  const Clock wanted = ClockFor(us);
  if (wanted.baud != clock_.baud || wanted.ticks != clock_.ticks) {
    clock_ = wanted;
    clockSent_ = false;
  }
}

bool Ft232rEngine::SendClock() {
  if (clockSent_) return true;
  if (clock_.baud == 0) clock_ = ClockFor(halfUs_);
  if (!io_.SetBaudRate(clock_.baud)) return Fail();
  clockSent_ = true;
  return true;
}

bool Ft232rEngine::Start() {
  if (!io_.SetBitmode(pins_.outputs, ftdi_mode::kReset) ||
      !io_.SetBitmode(pins_.outputs, ftdi_mode::kSyncBitBang) || !io_.SetLatencyTimer(1) ||
      !io_.Purge()) {
    return Fail();
  }
  return SendClock() && WritePins(PinsByte());
}

bool Ft232rEngine::WritePins(std::uint8_t pins) {
  if (!SendClock()) return false;
  // Every byte written brings its sample back, which must be taken.
  const std::array<std::uint8_t, 1> out{pins};
  std::array<std::uint8_t, 1> sample{};
  return Transfer(out, sample);
}

std::optional<std::uint8_t> Ft232rEngine::ReadPins() {
  if (!SendClock()) return std::nullopt;
  const std::array<std::uint8_t, 1> out{PinsByte()};
  std::array<std::uint8_t, 1> sample{};
  if (!Transfer(out, sample)) return std::nullopt;
  return sample[0];
}

Exchanged Ft232rEngine::Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                                 std::size_t& clocked) {
  clocked = 0;
  if (Failed() || !SendClock()) return Exchanged::Failed;
  const auto ticks = static_cast<std::size_t>(clock_.ticks);
  const std::size_t perByte = 16 * ticks;
  // The last tick, SCK falling, comes on top of the bytes' own.
  const std::size_t bytesPerTransfer = std::max<std::size_t>(1, (kTicksPerTransfer - 1) / perByte);
  std::vector<std::uint8_t> stream;
  std::vector<std::uint8_t> samples;
  for (std::size_t start = 0; start < out.size(); start += bytesPerTransfer) {
    const std::size_t count = std::min(bytesPerTransfer, out.size() - start);
    stream.clear();
    for (std::size_t i = start; i < start + count; ++i) {
      for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
        sck_ = false;
        stream.push_back(PinsByte());
        mosi_ = (out[i] & mask) != 0;
        stream.insert(stream.end(), ticks - 1, PinsByte());
        sck_ = true;
        stream.insert(stream.end(), ticks, PinsByte());
      }
    }
    // SCK falls; this tick's sample is the last bit's MISO.
    sck_ = false;
    stream.push_back(PinsByte());
    samples.assign(stream.size(), 0);
    if (!Transfer(stream, samples)) return Exchanged::Failed;
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t first = (i * perByte);
      if ((samples[first] & PinMask(pins_.sense)) == 0) return Exchanged::Refused;
      unsigned answer = 0;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        // The sample taken as the next tick after the high phase applies.
        const std::size_t at = first + (2 * bit + 2) * ticks;
        answer = answer << 1 | ((samples[at] & PinMask(pins_.miso)) != 0 ? 1u : 0u);
      }
      in[start + i] = static_cast<std::uint8_t>(answer);
      ++clocked;
    }
  }
  return Exchanged::Done;
}

}  // namespace vql
