// The cable loop test: with a loop-back plug in place of the target, MISO follows
// SCK; ten pulses tell a working cable and port from a dead one.
#include <string>

#include "link/programmer_link.h"

namespace vql {

bool ProgrammerLink::RunLoopTest() {
  if (!CheckPort()) return false;
  std::int32_t failedCycle = 0;
  for (std::int32_t cycle = 1; cycle <= 10 && failedCycle == 0; ++cycle) {
    SetLine(Line::Sck, true);
    if (!ReadMiso()) {
      failedCycle = cycle;
      break;
    }
    SetLine(Line::Sck, false);
    if (ReadMiso()) {
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
  SetLine(Line::Sck, false);
  return failedCycle == 0;
}

}  // namespace vql
