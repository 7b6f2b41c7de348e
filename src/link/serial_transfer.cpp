// Clocking one byte to the target, b7 first, and sampling its answer.
//
// MOSI is set while SCK is low, SCK rises (the target samples MOSI), MISO is read
// while SCK is high, SCK falls (the target moves to its next answer bit).
#include "link/programmer_link.h"

namespace vql {

BitFlag ProgrammerLink::ClockBit() {
  SetDataBit(dataPort_, kSckBit);
  WaitScaled(BitDelay);
  const bool sample = ReadStatusBit(StatusPort(), kMisoBit);
  ClearDataBit(dataPort_, kSckBit);
  WaitScaled(BitDelay);
  return sample ? 1 : 0;
}

void ProgrammerLink::ClockOut(const ByteFlags& bits) {
  for (std::size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] == 1) {
      SetDataBit(dataPort_, kMosiBit);
    } else {
      ClearDataBit(dataPort_, kMosiBit);
    }
    ReceivedBits[i] = ClockBit();
  }
}

bool ProgrammerLink::SendByteDigits(char high, char low) {
  HexDigitToBits(high, SentBits[0], SentBits[1], SentBits[2], SentBits[3]);
  HexDigitToBits(low, SentBits[4], SentBits[5], SentBits[6], SentBits[7]);
  if (!PortUsable()) return false;
  if (!ReadStatusBit(StatusPort(), kSenseBit)) {
    // A port that failed in the read has shown its own problem.
    if (PortUsable()) window_.ShowMessageBox("Device have not in program mode");
    return false;
  }
  ClockOut(SentBits);
  return PortUsable();
}

bool ProgrammerLink::SendByteBits(BitFlag b7, BitFlag b6, BitFlag b5, BitFlag b4, BitFlag b3,
                                  BitFlag b2, BitFlag b1, BitFlag b0) {
  if (!PortUsable() || !ReadStatusBit(StatusPort(), kSenseBit)) return false;
  ClockOut({b7, b6, b5, b4, b3, b2, b1, b0});
  return PortUsable();
}

}  // namespace vql
