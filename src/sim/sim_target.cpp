#include "sim/sim_target.h"

#include <string>
#include <string_view>
#include <utility>

#include "portio/port_io.h"
#include "sim/sim_board_line.h"
#include "sim/sim_chip.h"
#include "sim/sim_chip_table.h"

namespace vql {

std::string DescribeSimTarget(const SimTarget& target) {
  if (dynamic_cast<const NoTarget*>(&target) != nullptr) return std::string();
  if (const auto* chip = dynamic_cast<const SimChip*>(&target)) return std::string(chip->Model().name);
  if (const auto* line = dynamic_cast<const SimBoardLine*>(&target)) {
    return std::string(line->Model().name);
  }
  if (dynamic_cast<const LoopbackTarget*>(&target) != nullptr) return "loop-back plug";
  if (const auto* plug = dynamic_cast<const MosiLoopbackTarget*>(&target)) {
    return plug->Lags() ? "loop-back plug (MOSI to MISO, one bit late)"
                        : "loop-back plug (MOSI to MISO)";
  }
  return "test target";
}

void MosiLoopbackTarget::LinesChanged(const TargetLines& lines, std::uint64_t) {
  // The cable shows an edge with MOSI as it was, and moves MOSI as a change of its own.
  if (sck_ && !lines.sck) atFall_ = lines.mosi;
  sck_ = lines.sck;
  mosi_ = lines.mosi;
}

void SimSocket::Update(const TargetLines& driven, bool enabled, std::uint64_t us) {
  const TargetLines lines = Drives(enabled) ? driven : TargetLines{};
  if (lines != lines_) {
    lines_ = lines;
    target_->LinesChanged(lines, us);
  }
  if (enabled == enabled_) return;
  enabled_ = enabled;
  target_->BufferSwitched(enabled);
}

void SimSocket::Replace(std::unique_ptr<SimTarget> target, std::uint64_t us) {
  target_ = std::move(target);
  target_->LinesChanged(lines_, us);
  if (enabled_) target_->BufferSwitched(true);
}

std::unique_ptr<SimTarget> MakeSimTarget(std::string_view name) {
  SimOptions options;
  options.target = std::string(name);
  return MakeSimTarget(options);
}

namespace {

// Line options that only mean something with boards=N, given without it.
void RefuseLineOptionsWithoutBoards(const SimOptions& options) {
  if (options.boards) return;
  const auto item = options.items.find("board-fault-rate");
  if (item == options.items.end()) return;
  throw PortError("VQLISP_SIM item \"" + item->first + "=" + item->second +
                  "\": only a line of boards takes it; give boards=N too.");
}

// A lag asked of a plug that is not there would pass unnoticed. (A printer port
// built beside the adapter, as the tests' benches have it, is not the cable asked for.)
void RefuseMisoLagWithoutPlug(const SimOptions& options, SimCable cable) {
  if (!options.misoLag ||
      (options.target == "loopback" && (cable == SimCable::kUsbAdapter || options.adapter))) {
    return;
  }
  throw PortError(
      "VQLISP_SIM item \"miso-lag=1\": only the USB adapters' loop-back plug (MOSI to MISO) "
      "takes it; give adapter= and target=loopback.");
}

}  // namespace

std::unique_ptr<SimTarget> MakeSimTarget(const SimOptions& options, SimCable cable) {
  RefuseMisoLagWithoutPlug(options, cable);
  const std::string& name = options.target;
  if (const SimChipModel* chip = FindSimChip(name)) {
    RefuseLineOptionsWithoutBoards(options);
    if (options.boards) {
      return std::make_unique<SimBoardLine>(*chip, options.chip, *options.boards,
                                            options.boardFaultRate);
    }
    return std::make_unique<SimChip>(*chip, options.chip);
  }
  if (name != "none" && name != "loopback") {
    throw PortError("VQLISP_SIM item \"target=" + name +
                    "\": unknown target. Valid targets: none, loopback, " + SimChipNames() + ".");
  }
  // Faults asked of a chip that is not there would pass unnoticed.
  for (const std::string_view key : SimChipKeys()) {
    const auto item = options.items.find(key);
    if (item == options.items.end()) continue;
    if (key == "seed" && options.items.contains("usb-jitter")) continue;
    throw PortError("VQLISP_SIM item \"" + item->first + "=" + item->second +
                    "\": only a chip takes it, but the target is " + name +
                    ". Valid chips: " + SimChipNames() + ".");
  }
  if (name == "none") return std::make_unique<NoTarget>();
  if (cable == SimCable::kUsbAdapter) return std::make_unique<MosiLoopbackTarget>(options.misoLag);
  return std::make_unique<LoopbackTarget>();
}

}  // namespace vql
