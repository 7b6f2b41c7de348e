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
// Bytes out and in, MSB first: out on the falling edge and in on the rising one, or
// out on the rising edge and in on the falling one. AN_108 (its clock operation and
// data shifting commands) puts the first bit on DO before the first clock either way,
// and moves DO on at the edge the command writes on.
constexpr std::uint8_t kShiftOutFallInRise = 0x31;
constexpr std::uint8_t kShiftOutRiseInFall = 0x34;
// A command MPSSE does not know, with bit 7 set: it answers FA and the command
// (FTDI's knowledge base, "Bad Commands": only for a command with bit 7 set), which shows that the command stream and the
// answers are in step.
constexpr std::uint8_t kBogus = 0xAA;
constexpr std::uint8_t kBadCommand = 0xFA;

// Command bytes per instruction byte (81, the shift command with its two length
// bytes, the byte) and the answers it brings (the pins, the byte read); what else a
// chunk may carry: the divisor's four bytes, an 80 that sets SCK's resting level,
// and the closing 87.
constexpr std::size_t kCommandsPerByte = 5;
constexpr std::size_t kAnswersPerByte = 2;
constexpr std::size_t kChunkExtras = 4 + 3 + 1;

}  // namespace

std::vector<std::uint8_t> MpsseEngine::ByteCommands(std::uint8_t byte, SpiMode mode) {
  return {kReadLowBits, mode == SpiMode::Mode1 ? kShiftOutRiseInFall : kShiftOutFallInRise, 0x00,
          0x00, byte};
}

std::size_t MpsseEngine::BytesPerChunk(FtdiChip chip, std::int32_t halfUs) {
  // Two chunks are in the adapter at once: one being clocked, the next written behind
  // it. Both fit its buffer from the host, so a write never waits for room, and the
  // answers of both fit its buffer towards the host, so it never stops for want of a
  // read (AN_108, and the buffers of the chip's data sheet).
  const FtdiBuffers buffers = BuffersOf(chip);
  const std::size_t byRoom = (buffers.fromHost / 2 - kChunkExtras) / kCommandsPerByte;
  const std::size_t byAnswers = buffers.toHost / (2 * kAnswersPerByte);
  // And the clocking of a chunk takes at most a quarter of libftdi's timeout, so that
  // a transfer that waits behind both still ends well inside it: at slow clocks the
  // chunks shrink, down to one byte (16 half periods, 160 ms at the slowest).
  const Clock clock = ClockFor(halfUs);
  const std::uint64_t basePerUs = clock.slowBase ? kMpsseSlowBaseHz / 1'000'000 : kMpsseFastBaseHz / 1'000'000;
  const std::uint64_t byteNs = 16 * (std::uint64_t{1} + clock.divisor) * 1000 / basePerUs;
  const std::uint64_t budgetNs = std::uint64_t{kFtdiUsbTimeoutMs} * 1'000'000 / 4;
  const auto byTime = static_cast<std::size_t>(budgetNs / std::max<std::uint64_t>(byteNs, 1));
  return std::max<std::size_t>(1, std::min({byRoom, byAnswers, byTime}));
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
  const std::size_t perChunk = BytesPerChunk(io_.Chip(), halfUs_);
  std::vector<std::vector<std::uint8_t>> chunks;
  std::vector<std::size_t> answerSizes;
  for (std::size_t start = 0; start < out.size(); start += perChunk) {
    const std::size_t count = std::min(perChunk, out.size() - start);
    std::vector<std::uint8_t>& commands = chunks.emplace_back();
    TakePendingClock(commands);
    // SCK rests where the mode wants it before the first byte: low for a mode-0 chip,
    // high for a mode-1 chip. A rise made here, with RST high, is the first bit's
    // leading edge to a mode-1 chip, which moves MISO on at it.
    const bool restHigh = mode_ == SpiMode::Mode1;
    if (sck_ != restHigh) {
      sck_ = restHigh;
      commands.insert(commands.end(), {kSetLowBits, PinsByte(), pins_.outputs});
    }
    for (std::size_t i = start; i < start + count; ++i) {
      const auto byte = ByteCommands(out[i], mode_);
      commands.insert(commands.end(), byte.begin(), byte.end());
    }
    commands.push_back(kSendImmediate);
    answerSizes.push_back(kAnswersPerByte * count);
  }
  std::size_t refusedIn = chunks.size();  // the chunk with a byte that SENSE refused
  const bool ok = TransferChunks(chunks, answerSizes, [&](std::size_t k, std::span<std::uint8_t> answers) {
    const std::size_t start = k * perChunk;
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
    // SCK is back at its resting level and MOSI holds the last bit of the last chunk
    // written: the one after a refused one went out too.
    const std::size_t lastChunk = std::min(chunks.size() - 1, refusedIn + 1);
    const std::size_t lastByte = std::min(out.size(), (lastChunk + 1) * perChunk) - 1;
    mosi_ = (out[lastByte] & 1u) != 0;
  }
  return refusedIn < chunks.size() ? Exchanged::Refused : Exchanged::Done;
}

}  // namespace vql
