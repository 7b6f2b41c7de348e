// A whole programmer over the simulated cable with a simulated chip (or any other
// target) behind it, every port access traced into memory, on the virtual clock.
// The port is LPT1 at 0378, the lines are in program mode, and the delays are not
// calibrated (PollDelay 0), so tests of whole chips run in a fraction of a second.
#pragma once

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "commands/programmer.h"
#include "devices/device_table.h"
#include "sim/sim_chip.h"
#include "sim/sim_ftdi.h"
#include "support/cable_bench.h"

namespace vql::testing {

class ProgrammerWorld : public CableBench {
 public:
  static constexpr std::uint8_t kFourByteEnable[] = {0xAC, 0x53, 0x55, 0x55};

  // device: the device chosen in the program; simOptions: what sits behind the
  // cable. Whole-chip tests switch the trace off: it grows by megabytes per pass.
  explicit ProgrammerWorld(std::string_view device, std::string_view simOptions = "",
                           bool traced = true, std::uint64_t pumpStepNs = 100'000)
      : CableBench(simOptions, VirtualWindow::Settings{pumpStepNs, 0}, traced),
        usb(MakeAdapter(simOptions)),
        app(std::make_unique<Programmer>(port, window, window)) {
    // With adapter= in the options the chip sits behind a simulated USB cable, which
    // start-up selects instead of LPT1.
    if (usb != nullptr) app->Link.AttachAdapter(*usb);
    SetUpPorts(app->Link);
    app->Cmd.SetOperatingMode(true);
    app->Selection.Select(DeviceIndexOf(device));
    app->Controls.AutoReloadFile = false;  // tests of the reload rule turn it on
    window.statuses.clear();
    ClearTrace();
  }

  // A world whose chip is the device chosen in the program.
  static std::string ChipOptions(std::string_view device, std::string_view more = "") {
    std::string options = "target=" + std::string(device);
    if (!more.empty()) options += "," + std::string(more);
    return options;
  }

  // The chip behind the cable in use (nullptr when there is none).
  SimChip* ChipIfAny() { return usb != nullptr ? usb->TargetAs<SimChip>() : sim->TargetAs<SimChip>(); }
  SimChip& Chip() { return *ChipIfAny(); }
  DeviceOps& Ops() { return app->Ops; }
  CodeImage& Image() { return app->Image.Image; }

  DecodedTrace Decode() const { return DecodeFor(kLpt1); }

  // The bytes clocked to the target since the last ClearTrace, cut into
  // instructions of the given length (3 or 4), each as spaced hex: "40 2A BC 5A".
  // A three-byte operation opens with one four-byte enable, AC 53 55 55, that looks
  // for a chip of the other set: it comes out whole.
  std::vector<std::string> Instructions(std::size_t length) const {
    const auto bytes = Decode().MosiBytes();
    std::vector<std::string> out;
    std::size_t i = 0;
    if (length == 3 && bytes.size() >= 4 &&
        std::equal(bytes.begin(), bytes.begin() + 4, std::begin(kFourByteEnable))) {
      out.emplace_back("AC 53 55 55");
      i = 4;
    }
    for (; i + length <= bytes.size(); i += length) {
      std::string text;
      for (std::size_t j = 0; j < length; ++j) {
        char hex[4];
        std::snprintf(hex, sizeof hex, j == 0 ? "%02X" : " %02X", bytes[i + j]);
        text += hex;
      }
      out.push_back(text);
    }
    return out;
  }

  // How many of the instructions begin with prefix.
  static std::size_t Count(const std::vector<std::string>& instructions, std::string_view prefix) {
    return static_cast<std::size_t>(std::count_if(
        instructions.begin(), instructions.end(),
        [&](const std::string& i) { return i.starts_with(prefix); }));
  }

  // Puts byte at address of the image as two digits.
  void SetImageByte(std::int32_t address, std::uint8_t byte) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    Image().HighDigits[static_cast<std::size_t>(address)] = kDigits[byte >> 4];
    Image().LowDigits[static_cast<std::size_t>(address)] = kDigits[byte & 0xF];
  }

  std::unique_ptr<SimulatedFtdi> usb;  // declared before app, which drives it
  std::unique_ptr<Programmer> app;

 private:
  std::unique_ptr<SimulatedFtdi> MakeAdapter(std::string_view simOptions) {
    SimOptions options = ParseSimOptions(simOptions);
    if (!options.adapter) return nullptr;
    return std::make_unique<SimulatedFtdi>(window, std::move(options));
  }
};

}  // namespace vql::testing
