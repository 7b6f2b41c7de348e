// The programmer fuzzer's watchers on the simulated cable: the port as the program
// sees it, and the instructions as they go down the lines. They see every port
// access and every line change, so they live in a file of their own that the fuzz
// build compiles without the sanitizers (fuzz/CMakeLists.txt).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "devices/device_table.h"
#include "portio/port_io.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_serial.h"
#include "sim/sim_target.h"

namespace vql::fuzz {

// Reports a broken promise and aborts, so that libFuzzer keeps the input.
[[noreturn]] void Broken(const char* promise, const std::string& detail);

// The port as the program sees it, remembering the last write to the cable's data
// register.
class WatchedPort final : public PortIo {
 public:
  WatchedPort(PortIo& inner, std::uint16_t dataRegister) : inner_(inner), dataRegister_(dataRegister) {}
  void AttachPort(std::string_view name, std::uint16_t base) override;
  void DetachPort(std::uint16_t base) override;
  std::uint16_t Inport(std::uint16_t address) override;
  void Outport(std::uint16_t address, std::uint16_t value) override;
  std::string Failure() const override;
  bool Failed() const override;
  std::string Description() const override;

  std::optional<std::uint8_t> lastData;

 private:
  PortIo& inner_;
  std::uint16_t dataRegister_;
};

// Sits between the cable and the real target and reads the instructions off the
// lines as the program sent them, before any crystal or contact spoils them.
class WatchTarget final : public SimTarget {
 public:
  WatchTarget(std::unique_ptr<SimTarget> inner, const DeviceInfo& device)
      : inner_(std::move(inner)), device_(device) {}

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t us) override;

  SimChip* Chip() { return dynamic_cast<SimChip*>(inner_.get()); }

 private:
  void ByteReceived(std::uint8_t byte);

  std::unique_ptr<SimTarget> inner_;
  const DeviceInfo& device_;
  SimSerialShifter shifter_;
  std::array<std::uint8_t, 4> bytes_{};
  std::size_t count_ = 0;
  std::size_t inSession_ = 0;  // bytes since the reset
};

}  // namespace vql::fuzz
