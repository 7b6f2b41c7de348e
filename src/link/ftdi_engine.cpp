#include "link/ftdi_engine.h"

#include <cstdio>
#include <utility>

namespace vql {

FtdiEngine::FtdiEngine(FtdiIo& io, MicrosecondClock& clock)
    : io_(io), clock_(clock), pins_(PinsOf(io.Chip())) {}

FtdiEngine::~FtdiEngine() {
  if (Failed()) return;
  rst_ = false;
  sck_ = false;
  mosi_ = false;
  mode7_ = mode3_ = true;
  // Only the pins: a derived engine is gone already, so this writes the byte itself
  // in the form both engines' adapters take (MPSSE's set-bits command, or one
  // bit-bang byte whose sample is left unread before the adapter closes).
  const std::uint8_t pins = PinsByte();
  if (io_.Chip() == FtdiChip::FT232R) {
    const std::uint8_t byte[1]{pins};
    io_.Write(byte);
  } else {
    const std::uint8_t command[3]{0x80, pins, pins_.outputs};
    io_.Write(command);
  }
  io_.Close();
}

std::uint8_t FtdiEngine::PinsByte() const {
  std::uint8_t pins = pins_.idle & static_cast<std::uint8_t>(~(PinMask(pins_.sck) | PinMask(pins_.mosi) |
                                                               PinMask(pins_.rst) | PinMask(pins_.enable)));
  if (sck_) pins |= PinMask(pins_.sck);
  if (mosi_) pins |= PinMask(pins_.mosi);
  if (rst_) pins |= PinMask(pins_.rst);
  if (mode7_ || mode3_) pins |= PinMask(pins_.enable);  // active low
  return pins;
}

bool FtdiEngine::Fail() {
  if (failure_.empty()) failure_ = io_.Error();
  if (failure_.empty()) failure_ = "The USB adapter " + io_.Name() + " stopped answering.";
  return false;
}

bool FtdiEngine::Fail(std::string why) {
  if (failure_.empty()) failure_ = std::move(why);
  return false;
}

bool FtdiEngine::Transfer(std::span<const std::uint8_t> out, std::span<std::uint8_t> in) {
  if (Failed()) return false;
  if (!out.empty() && !io_.Write(out)) return Fail();
  if (!in.empty() && !io_.Read(in)) return Fail();
  return true;
}

bool FtdiEngine::TransferChunks(
    const std::vector<std::vector<std::uint8_t>>& chunks, const std::vector<std::size_t>& answerSizes,
    const std::function<bool(std::size_t, std::span<std::uint8_t>)>& take) {
  if (Failed()) return false;
  if (chunks.empty()) return true;
  if (!io_.Write(chunks[0])) return Fail();
  std::vector<std::uint8_t> answers;
  for (std::size_t k = 0; k < chunks.size(); ++k) {
    const bool more = k + 1 < chunks.size();
    if (more && !io_.Write(chunks[k + 1])) return Fail();
    answers.assign(answerSizes[k], 0);
    if (!io_.Read(answers)) return Fail();
    if (!take(k, answers)) {
      if (more) {
        answers.assign(answerSizes[k + 1], 0);
        if (!io_.Read(answers)) return Fail();
      }
      return true;
    }
  }
  return true;
}

bool FtdiEngine::SetLine(Line line, bool high) {
  if (Failed()) return false;
  switch (line) {
    case Line::Rst:
      // A chip starts a session only with SCK low as RST rises. SCK may still rest
      // high from a mode-1 exchange (MPSSE, see mpsse_engine.h): it comes down first,
      // while RST is still low and the chip does not listen.
      if (high && !rst_ && sck_) {
        sck_ = false;
        if (!WritePins(PinsByte())) return false;
      }
      rst_ = high;
      break;
    case Line::Sck:
      sck_ = high;
      break;
    case Line::Mosi:
      mosi_ = high;
      break;
    case Line::Mode7:
      mode7_ = high;
      break;
    case Line::Mode3:
      mode3_ = high;
      break;
  }
  return WritePins(PinsByte());
}

bool FtdiEngine::PulseRstLow() {
  if (!SetLine(Line::Rst, false)) return false;
  // The write is under way once it returns; the next one starts a transfer later
  // still, so RST stays low at least the half period.
  clock_.WaitUntil(clock_.NowMicroseconds() + static_cast<std::uint64_t>(halfUs_));
  return SetLine(Line::Rst, true);
}

bool FtdiEngine::ReadMiso(bool& high) {
  const auto pins = ReadPins();
  if (!pins) return false;
  high = (*pins & PinMask(pins_.miso)) != 0;
  return true;
}

bool FtdiEngine::ReadSense(bool& high) {
  const auto pins = ReadPins();
  if (!pins) return false;
  high = (*pins & PinMask(pins_.sense)) != 0;
  return true;
}

}  // namespace vql
