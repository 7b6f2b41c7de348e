// The programmer fuzzer's watcher on the simulated cable: the instructions as they go
// down the lines. It sees every line change, so it lives in a file of its own that
// the fuzz build compiles without the sanitizers (fuzz/CMakeLists.txt).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "devices/device_table.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_serial.h"
#include "sim/sim_target.h"

namespace vql::fuzz {

// Reports a broken promise and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Broken(const char* promise, const std::string& detail);

// Sits between the cable and the real target and reads the instructions off the
// lines as the program sent them, before any crystal or contact spoils them.
class WatchTarget final : public SimTarget {
 public:
  // The watcher reads MOSI as the device's chip takes it: a USB cable's MPSSE moves
  // MOSI on the other edge.
  WatchTarget(std::unique_ptr<SimTarget> inner, const DeviceInfo& device)
      : inner_(std::move(inner)),
        device_(device),
        shifter_(device.spiMode == SpiMode::Mode1 ? SimSpiMode::kMode1 : SimSpiMode::kMode0) {}

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t us) override;

  SimChip* Chip() { return dynamic_cast<SimChip*>(inner_.get()); }
  // What the target saw last.
  const TargetLines& Lines() const { return lines_; }

 private:
  void ByteReceived(std::uint8_t byte);
  // A byte of an instruction, counted into it.
  void Take(std::uint8_t byte);

  std::unique_ptr<SimTarget> inner_;
  const DeviceInfo& device_;
  SimSerialShifter shifter_;
  TargetLines lines_;
  std::array<std::uint8_t, 4> bytes_{};
  std::size_t count_ = 0;
  std::size_t pageLeft_ = 0;  // data bytes of a page instruction still to come
  std::size_t inSession_ = 0;  // bytes since the reset
  // The first bytes of a session on a three-byte device, held until they show whether
  // it is the four-byte probe (a read of 0000, the four-byte enable, signature reads).
  std::array<std::uint8_t, 6> head_{};
  bool probe_ = false;
};

}  // namespace vql::fuzz
