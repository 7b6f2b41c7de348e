// The cable loop tests. The printer-port cable's plug wires SCK back to MISO: ten
// pulses tell a working cable and port from a dead one. A USB cable's is a jumper from
// MOSI to MISO on the target's side of the buffer: a pattern clocked through it, at
// the speed and in the SPI mode that a chip would get, must come back bit for bit,
// since the engine samples MISO where the chip would have moved it on and MOSI
// stands still from before the edge the chip would take it on until after it.
#include <array>
#include <cstdio>
#include <string>

#include "link/programmer_link.h"

namespace vql {

namespace {

// Every bit both ways after each level, runs and single bits, both halves.
constexpr std::array<std::uint8_t, 14> kLoopPattern{0x00, 0xFF, 0x55, 0xAA, 0x01, 0x80, 0x0F,
                                                    0xF0, 0x3C, 0xC3, 0x96, 0x69, 0xA5, 0x5A};

std::string Hex(std::uint8_t byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// What the bytes read back say about the loop, or "" when they are the bytes sent.
std::string JudgeLoop(std::span<const std::uint8_t> sent, std::span<const std::uint8_t> read) {
  bool same = true;
  bool allLow = true;
  bool allHigh = true;
  bool lags = true;   // every bit read is the one sent a bit before
  bool leads = true;  // every bit read is the one sent a bit after
  std::size_t firstWrong = sent.size();
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (read[i] != sent[i] && firstWrong == sent.size()) firstWrong = i;
    same = same && read[i] == sent[i];
    allLow = allLow && read[i] == 0x00;
    allHigh = allHigh && read[i] == 0xFF;
    // The bit before the first byte is MOSI's level before the test: not judged.
    lags = lags && (read[i] & 0x7F) == sent[i] >> 1 && (i == 0 || read[i] >> 7 == (sent[i - 1] & 1));
    leads = leads && (read[i] & 0xFE) == (sent[i] << 1 & 0xFE);
  }
  if (same) return {};
  if (allLow || allHigh) {
    return std::string("MISO stays at ") + (allLow ? "0" : "1") +
           " whatever MOSI does: check the jumper from MOSI to MISO on the target's side, "
           "and MISO's wire back to the adapter.";
  }
  const std::string example = " Sent " + Hex(sent[firstWrong]) + ", read " + Hex(read[firstWrong]) + ".";
  if (lags) {
    return "MISO lags MOSI by one bit: the adapter's clock edges do not match the device's SPI "
           "mode." + example;
  }
  if (leads) {
    return "MISO leads MOSI by one bit: the adapter moves MOSI on before it takes MISO, so a "
           "chip would take every bit a place early. The adapter's clock edges do not match "
           "the device's SPI mode." + example;
  }
  return "MISO does not follow MOSI:" + example +
         " Check the jumper from MOSI to MISO, the buffer's wiring, and the cable's length.";
}

}  // namespace

bool ProgrammerLink::RunLoopTest() {
  if (!CheckPort()) return false;
  if (selectedLpt_ == kUsbPort) return RunDataLoopTest();
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

bool ProgrammerLink::RunDataLoopTest() {
  // The buffer on, with RST low: the jumper stands where a chip would, and nothing
  // else on the target's side is told anything.
  const bool mode7 = lineHigh_[static_cast<std::size_t>(Line::Mode7)];
  const bool mode3 = lineHigh_[static_cast<std::size_t>(Line::Mode3)];
  SetLine(Line::Rst, false);
  SetLine(Line::Mode7, false);
  SetLine(Line::Mode3, false);
  std::array<std::uint8_t, kLoopPattern.size()> read{};
  std::size_t clocked = 0;
  const bool done = ExchangeBytes(kLoopPattern, read, false, clocked);
  if (!PortUsable()) return false;  // the adapter failed on the way and has said so
  std::string fault;
  if (!done) {
    fault = "SENSE reads 0 with the buffer enabled: the buffer has no power from the target's "
            "side, or SENSE is not wired. The loop-back test needs the buffer powered as for a "
            "chip, with MOSI jumpered to MISO in the chip's place.";
  } else {
    fault = JudgeLoop(kLoopPattern, read);
  }
  const std::string how = " (" + std::to_string(kLoopPattern.size()) + " bytes through " + PortName() +
                          ", SPI mode " + (ChipSpiMode == SpiMode::Mode1 ? "1" : "0") +
                          ", SCK half period " + std::to_string(SckHalfPeriodUs) + " us)";
  SetLine(Line::Sck, false);
  SetLine(Line::Mosi, false);
  SetLine(Line::Mode7, mode7);
  SetLine(Line::Mode3, mode3);
  if (!PortUsable()) return false;
  if (fault.empty()) {
    window_.ShowNotice("Ok...");
    return true;
  }
  window_.ShowMessageBox("Error test loop: " + fault + how);
  return false;
}

}  // namespace vql
