#include "link/ft232r_engine.h"

#include <algorithm>
#include <array>

namespace vql {

namespace {

// The bit-bang clock's range as the library sets it: its baud rates run from about
// 183 to 3 000 000, and it multiplies the value it is given by 4 in bit-bang.
constexpr int kLowestBaud = 46;
constexpr int kHighestBaud = 750'000;
// Ticks written per transfer: every one brings a sample back, and the samples of a
// transfer must fit the FT232R's buffer towards the host (128 bytes, DS_FT232R),
// which the host reads only once the transfer is written; a chip whose buffer is
// full stops clocking and would stretch a half period for as long as the host takes.
constexpr std::size_t kTicksPerTransfer = BuffersOf(FtdiChip::FT232R).toHost;

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
  // What a pin that ftdi_set_bitmode makes an output drives before the first byte is
  // written is not documented. So the enable stays an input, which the cable's
  // pull-up holds off, until the idle byte (RST, SCK and MOSI low, the enable high)
  // has been written with the other lines as outputs behind the switched-off buffer;
  // then the enable becomes an output too, and the idle byte goes out again.
  const auto withoutEnable = static_cast<std::uint8_t>(pins_.outputs & ~PinMask(pins_.enable));
  if (!io_.SetBitmode(0, ftdi_mode::kReset) || !io_.SetBitmode(withoutEnable, ftdi_mode::kSyncBitBang) ||
      !io_.SetLatencyTimer(1) || !io_.Purge()) {
    return Fail();
  }
  if (!SendClock() || !WritePins(PinsByte())) return false;
  if (!io_.SetBitmode(pins_.outputs, ftdi_mode::kSyncBitBang)) return Fail();
  return WritePins(PinsByte());
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
  if (out.empty()) return Exchanged::Done;
  const auto ticks = static_cast<std::size_t>(clock_.ticks);
  const std::size_t perByte = 16 * ticks;
  std::vector<std::uint8_t> stream;
  stream.reserve(out.size() * perByte + 1);
  for (const std::uint8_t byte : out) {
    for (unsigned mask = 0x80; mask != 0; mask >>= 1) {
      sck_ = false;
      stream.push_back(PinsByte());
      mosi_ = (byte & mask) != 0;
      stream.insert(stream.end(), ticks - 1, PinsByte());
      sck_ = true;
      stream.insert(stream.end(), ticks, PinsByte());
    }
  }
  // SCK falls; this tick's sample is the last bit's MISO.
  sck_ = false;
  stream.push_back(PinsByte());

  // The stream goes out a transfer at a time, and each byte is judged once its
  // samples are all in: its SENSE (the sample before its first tick) and its bits.
  // A refused byte ends the exchange after the transfer it was found in, whose ticks
  // went out already; the lines are then as its last tick left them.
  std::vector<std::uint8_t> samples(stream.size());
  std::size_t sent = 0;
  while (sent < stream.size()) {
    const std::size_t count = std::min(kTicksPerTransfer, stream.size() - sent);
    if (!Transfer(std::span(stream).subspan(sent, count), std::span(samples).subspan(sent, count))) {
      return Exchanged::Failed;
    }
    sent += count;
    for (; clocked < out.size() && (clocked + 1) * perByte < sent; ++clocked) {
      const std::size_t first = clocked * perByte;
      if ((samples[first] & PinMask(pins_.sense)) == 0) {
        const std::uint8_t last = stream[sent - 1];
        sck_ = (last & PinMask(pins_.sck)) != 0;
        mosi_ = (last & PinMask(pins_.mosi)) != 0;
        return Exchanged::Refused;
      }
      unsigned answer = 0;
      for (std::size_t bit = 0; bit < 8; ++bit) {
        // The sample taken as the next tick after the high phase applies.
        const std::size_t at = first + (2 * bit + 2) * ticks;
        answer = answer << 1 | ((samples[at] & PinMask(pins_.miso)) != 0 ? 1u : 0u);
      }
      in[clocked] = static_cast<std::uint8_t>(answer);
    }
  }
  return Exchanged::Done;
}

}  // namespace vql
