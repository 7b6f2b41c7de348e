// Exchanging instruction bytes with the target through the serial engine, and the
// single-byte sends built on it.
#include <algorithm>
#include <array>

#include "link/programmer_link.h"

namespace vql {

namespace {

ByteFlags FlagsOf(std::uint8_t byte) {
  ByteFlags flags{};
  for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = (byte >> (7 - i)) & 1;
  return flags;
}

std::uint8_t ByteOf(const ByteFlags& flags) {
  std::uint8_t byte = 0;
  for (const BitFlag flag : flags) byte = static_cast<std::uint8_t>(byte << 1 | (flag == 1));
  return byte;
}

}  // namespace

bool ProgrammerLink::ExchangeBytes(std::span<const std::uint8_t> out, std::span<std::uint8_t> in,
                                   bool tellRefusal, std::size_t& clocked) {
  clocked = 0;
  SerialEngine* engine = ReadyEngine();
  if (engine == nullptr) return false;
  const Exchanged how = engine->Exchange(out, in, clocked);
  sinceRstRise_ += clocked;
  if (clocked > 0) ReceivedBits = FlagsOf(in[clocked - 1]);
  if (EngineFailed()) return false;
  if (how == Exchanged::Refused) {
    if (tellRefusal) window_.ShowMessageBox("Device have not in program mode");
    return false;
  }
  return true;
}

bool ProgrammerLink::Exchange(std::span<const std::uint8_t> out, std::span<std::uint8_t> in) {
  if (out.empty()) return PortUsable();
  std::size_t clocked = 0;
  const bool done = ExchangeBytes(out, in, true, clocked);
  // The byte the exchange ended at is the last one sent, clocked or refused.
  SentBits = FlagsOf(out[std::min(clocked, out.size() - 1)]);
  return done;
}

bool ProgrammerLink::SendByteDigits(char high, char low) {
  HexDigitToBits(high, SentBits[0], SentBits[1], SentBits[2], SentBits[3]);
  HexDigitToBits(low, SentBits[4], SentBits[5], SentBits[6], SentBits[7]);
  const std::array<std::uint8_t, 1> out{ByteOf(SentBits)};
  std::array<std::uint8_t, 1> in{};
  std::size_t clocked = 0;
  return ExchangeBytes(out, in, true, clocked);
}

bool ProgrammerLink::SendByteBits(BitFlag b7, BitFlag b6, BitFlag b5, BitFlag b4, BitFlag b3,
                                  BitFlag b2, BitFlag b1, BitFlag b0) {
  const std::array<std::uint8_t, 1> out{ByteOf({b7, b6, b5, b4, b3, b2, b1, b0})};
  std::array<std::uint8_t, 1> in{};
  std::size_t clocked = 0;
  return ExchangeBytes(out, in, false, clocked);
}

}  // namespace vql
