// A production line of boards behind the simulated cable, played as an operator
// plays it: each board carries a fresh chip of one model, one board sits in the
// socket at a time, a board the programmer is done with is taken off and the next
// one is put in. Both simulated cables (the printer port's and the USB adapter's)
// reach it through the SimTarget interface, so these rules live here alone:
//
// - Board 1 is in the socket from the start. The board in the socket is the target,
//   and it powers the cable: SENSE reads 1 while the buffer is enabled.
// - A board is taken off when the cable's buffer goes from enabled to disabled
//   while it is in the socket: the programmer drove it and let it go to run mode.
//   Its chip is destroyed then, which saves its state file.
// - An empty socket powers nothing: SENSE reads 0, MISO its pull-up, and the lines
//   reach nobody. The next board is put in at the first SENSE read that follows one
//   that found the socket empty, with no time passing, and that read sees it. After
//   the last board the socket stays empty.
// - The fault rate is the share of boards whose chip has a dead cell (a cell that
//   never programs) at an address from 0000 to 000F, where every program's reset
//   vector and first code sit. Each board takes two numbers from a 64-bit Mersenne
//   Twister seeded with the options' seed, the first for whether it is faulty and
//   the second for the address, faulty or not: the same seed gives the same faulty
//   boards on every platform, and a higher rate only adds faulty boards.
// - With a state folder, board n keeps its memory in <folder>/board-<n>.state. The
//   line removes its boards' files of an earlier run at the start, so every board
//   starts erased.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "sim/sim_chip.h"
#include "sim/sim_chip_table.h"
#include "sim/sim_options.h"
#include "sim/sim_target.h"

namespace vql {

class SimBoardLine final : public SimTarget {
 public:
  // settings: what every board's chip takes; its stateFile names the state folder
  // (made when missing), empty for none, and its seed draws the faults. The model
  // must outlive the line (the rows of kSimChips do). Puts board 1 in. Throws
  // PortError naming the folder or file when the folder cannot be made or read, or
  // an earlier run's file cannot be removed.
  SimBoardLine(const SimChipModel& model, SimChipSettings settings, std::uint32_t boards,
               double faultRate);

  void LinesChanged(const TargetLines& lines, std::uint64_t us) override;
  bool Miso(std::uint64_t us) override;
  bool Powered() const override { return board_ != nullptr; }
  void BufferSwitched(bool enabled) override;
  bool SenseRead() override;
  SimTarget* InSocket() override { return board_.get(); }
  bool Ended() const override { return board_ == nullptr && plugged_ == boards_; }

  const SimChipModel& Model() const { return model_; }
  // The board in the socket, counted from 1; 0 while the socket is empty.
  std::uint32_t BoardNumber() const { return board_ != nullptr ? plugged_ : 0; }
  std::uint32_t Boards() const { return boards_; }
  // The state file of board n (from 1); empty without a state folder.
  std::string StateFile(std::uint32_t board) const;

 private:
  void MakeStateFolder() const;
  void PutNextBoardIn();

  const SimChipModel& model_;
  SimChipSettings settings_;
  std::uint32_t boards_;
  double faultRate_;
  std::mt19937_64 faults_;
  std::unique_ptr<SimChip> board_;
  std::uint32_t plugged_ = 0;  // boards put in so far; the one in the socket is the last
  bool seenEmpty_ = false;     // a SENSE read found the socket empty since the last board left
};

}  // namespace vql
