// The cable loop test: with a loop-back plug in place of the target, MISO follows
// SCK; ten pulses tell a working cable and port from a dead one.
#include <string>

#include "link/programmer_link.h"

namespace vql {

bool ProgrammerLink::RunLoopTest() {
  if (!CheckPort()) return false;
  std::int32_t failedCycle = 0;
  for (std::int32_t cycle = 1; cycle <= 10 && failedCycle == 0; ++cycle) {
    SetDataBit(dataPort_, kSckBit);
    if (!ReadStatusBit(StatusPort(), kMisoBit)) {
      failedCycle = cycle;
      break;
    }
    ClearDataBit(dataPort_, kSckBit);
    if (ReadStatusBit(StatusPort(), kMisoBit)) {
      failedCycle = cycle;
      break;
    }
    window_.PumpMessages();
  }
  if (!PortUsable()) return false;  // the port failed on the way and has said so
  if (failedCycle == 0) {
    window_.ShowNotice("Ok...");
  } else {
    window_.ShowMessageBox("Error test loop : " + std::to_string(failedCycle));
  }
  ClearDataBit(dataPort_, kSckBit);
  return failedCycle == 0;
}

}  // namespace vql
