#include "link/mpsse_engine.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace vql {

namespace {

// AN_108's commands.
constexpr std::uint8_t kSetLowBits = 0x80;
constexpr std::uint8_t kReadLowBits = 0x81;
constexpr std::uint8_t kSetHighBits = 0x82;
constexpr std::uint8_t kSetDivisor = 0x86;
constexpr std::uint8_t kSendImmediate = 0x87;
constexpr std::uint8_t kDivideBy5Off = 0x8A;
constexpr std::uint8_t kDivideBy5On = 0x8B;
constexpr std::uint8_t kThreePhaseOff = 0x8D;
constexpr std::uint8_t kAdaptiveOff = 0x97;
constexpr std::uint8_t kLoopbackOff = 0x85;
// Bytes out and in, MSB first: out on the falling edge and in on the rising one
// (mode 0), or out on the rising edge and in on the falling one (mode 1).
constexpr std::uint8_t kShiftMode0 = 0x31;
constexpr std::uint8_t kShiftMode1 = 0x34;
// A command MPSSE does not know: it answers FA and the command, which shows that the
// command stream and the answers are in step.
constexpr std::uint8_t kBogus = 0xAA;
constexpr std::uint8_t kBadCommand = 0xFA;

// Instruction bytes per transfer. Each brings two bytes back (the pins and the
// answer), and the adapter may hold the answers of two transfers at once: 768 bytes,
// inside the smallest adapter's buffer (the FT232H's 1 KiB), which must never fill
// while the host is still writing.
constexpr std::size_t kBytesPerTransfer = 192;

}  // namespace

std::vector<std::uint8_t> MpsseEngine::ByteCommands(std::uint8_t byte, SpiMode mode) {
  return {kReadLowBits, mode == SpiMode::Mode1 ? kShiftMode1 : kShiftMode0, 0x00, 0x00, byte};
}

MpsseEngine::Clock MpsseEngine::ClockFor(std::int32_t halfUs) {
  // SCK = base / ((1 + divisor) * 2): the half period is (1 + divisor) base periods.
  const std::int64_t half = std::max<std::int64_t>(halfUs, 1);
  const std::int64_t fast = half * (kMpsseFastBaseHz / 1'000'000) - 1;
  if (fast <= 0xFFFF) return {false, static_cast<std::uint16_t>(fast)};
  // Beyond 1092 us the 12 MHz base; beyond 5461 us its slowest, which still serves
  // the slowest crystal these chips run from.
  const std::int64_t slow = half * (kMpsseSlowBaseHz / 1'000'000) - 1;
  return {true, static_cast<std::uint16_t>(std::min<std::int64_t>(slow, 0xFFFF))};
}

void MpsseEngine::SetSckHalfPeriodUs(std::int32_t us) {
  halfUs_ = us;
  const Clock wanted = ClockFor(us);
  if (wanted.slowBase != clock_.slowBase || wanted.divisor != clock_.divisor) {
    clock_ = wanted;
    clockSent_ = false;
  }
}

void MpsseEngine::TakePendingClock(std::vector<std::uint8_t>& commands) {
  if (clockSent_) return;
  clockSent_ = true;
  commands.insert(commands.end(),
                  {clock_.slowBase ? kDivideBy5On : kDivideBy5Off, kSetDivisor,
                   static_cast<std::uint8_t>(clock_.divisor & 0xFF),
                   static_cast<std::uint8_t>(clock_.divisor >> 8)});
}

bool MpsseEngine::Start() {
  if (!io_.SetBitmode(0, ftdi_mode::kReset) || !io_.SetBitmode(0, ftdi_mode::kMpsse) ||
      !io_.SetLatencyTimer(1) || !io_.Purge()) {
    return Fail();
  }
  // In step: a bogus command comes back as FA and itself.
  const std::array<std::uint8_t, 2> bogus{kBogus, kSendImmediate};
  std::array<std::uint8_t, 2> answer{};
  if (!Transfer(bogus, answer)) return false;
  if (answer[0] != kBadCommand || answer[1] != kBogus) {
    char got[8];
    std::snprintf(got, sizeof got, "%02X %02X", answer[0], answer[1]);
    return Fail("The USB adapter " + io_.Name() +
                " does not answer as an MPSSE engine: a bogus command came back as " + got +
                " instead of FA AA. Unplug it, plug it in again and retry.");
  }
  std::vector<std::uint8_t> setup{kThreePhaseOff, kAdaptiveOff, kLoopbackOff,
                                  kSetLowBits,    PinsByte(),   pins_.outputs,
                                  kSetHighBits,   0x00,         0x00};
  TakePendingClock(setup);
  return Transfer(setup, {});
}

bool MpsseEngine::WritePins(std::uint8_t pins) {
  std::vector<std::uint8_t> commands;
  TakePendingClock(commands);
  commands.insert(commands.end(), {kSetLowBits, pins, pins_.outputs});
  return Transfer(commands, {});
}

std::optional<std::uint8_t> MpsseEngine::ReadPins() {
  const std::array<std::uint8_t, 2> commands{kReadLowBits, kSendImmediate};
  std::array<std::uint8_t, 1> pins{};
  if (!Transfer(commands, pins)) return std::nullopt;
  return pins[0];
}

Exchanged MpsseEngine::Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                                std::size_t& clocked) {
  clocked = 0;
  std::vector<std::vector<std::uint8_t>> chunks;
  std::vector<std::size_t> answerSizes;
  for (std::size_t start = 0; start < out.size(); start += kBytesPerTransfer) {
    const std::size_t count = std::min(kBytesPerTransfer, out.size() - start);
    std::vector<std::uint8_t>& commands = chunks.emplace_back();
    TakePendingClock(commands);
    for (std::size_t i = start; i < start + count; ++i) {
      const auto byte = ByteCommands(out[i], mode_);
      commands.insert(commands.end(), byte.begin(), byte.end());
    }
    commands.push_back(kSendImmediate);
    answerSizes.push_back(2 * count);
  }
  std::size_t refusedIn = chunks.size();  // the chunk with a byte that SENSE refused
  const bool ok = TransferChunks(chunks, answerSizes, [&](std::size_t k, std::span<std::uint8_t> answers) {
    const std::size_t start = k * kBytesPerTransfer;
    for (std::size_t i = 0; i < answers.size() / 2; ++i) {
      if ((answers[2 * i] & PinMask(pins_.sense)) == 0) {
        refusedIn = k;
        return false;
      }
      in[start + i] = answers[2 * i + 1];
      ++clocked;
    }
    return true;
  });
  if (!ok) return Exchanged::Failed;
  if (!chunks.empty()) {
    // SCK is low and MOSI holds the last bit of the last chunk written: the one after
    // a refused one went out too.
    const std::size_t lastChunk = std::min(chunks.size() - 1, refusedIn + 1);
    const std::size_t lastByte = std::min(out.size(), (lastChunk + 1) * kBytesPerTransfer) - 1;
    mosi_ = (out[lastByte] & 1u) != 0;
  }
  return refusedIn < chunks.size() ? Exchanged::Refused : Exchanged::Done;
}

}  // namespace vql
