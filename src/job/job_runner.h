// A production job on the programmer: the job's file loaded and checked against its
// checksum, the job's settings put on the operator's controls, and then chip after
// chip - wait for a board on the cable, auto-program it with the file and its own
// serial number, append its log line, wait for the board to go. Both front ends run
// jobs through this; it reports each chip as it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "commands/programmer.h"
#include "job/job_file.h"
#include "job/serial_state.h"

namespace vql {

// What became of one chip.
struct ChipReport {
  std::int64_t count = 0;  // its place in this run, from 1
  Outcome outcome = Outcome::Done;
  // The log's reason token: ReasonToken(outcome) ("stopped" and "port-lost" among
  // them, also around the serial write), "serial-not-written" for a chip that took the
  // file but not its whole serial number, or "unvouched" for a Done that nothing on
  // the wire could check, where the job requires vouched chips.
  std::string reason = "ok";
  // A Done with no caveat (CommandResult::Vouched).
  bool vouched = false;
  // A Done, and a vouched one where the job requires it.
  bool passed = false;
  // The number written into the chip: on a pass (or a Done failed as unvouched), and
  // on a chip whose serial write began (that number is never handed out again).
  std::optional<std::uint64_t> serial;
  // Whether the chip holds that number whole, as its serial field read back; a write
  // that was cut leaves part of it ("partial:N" in the log).
  bool serialWhole = false;
  double seconds = 0.0;
  std::string logLine;

  bool Passed() const { return passed; }
};

// Whether the job fits the device, with extent the end of its file's data and
// recorded the addresses its data records give: the file and the serial field within
// the device's range, the serial field clear of the file's data unless the job says
// it may lie over it, the x2 fuse only where the device has one. Throws JobError
// saying what does not fit.
void CheckJobFits(const Job& job, const DeviceInfo& device, std::int32_t extent,
                  const std::vector<bool>& recorded);

// The chip's line for the operator: "Chip 3: passed, serial 1282, 1.4 s", "Chip 5:
// passed (unvouched), serial 1283, 1.4 s", or "Chip 4: FAILED (mismatch), no serial
// number, 0.9 s".
std::string ChipText(const ChipReport& report);

// Why a loop ended.
enum class LoopEnd {
  Count,    // the chips asked for are done
  Stopped,  // the operator stopped it
  NoBoard,  // no board can come any more: the simulated line is over, or the cable is gone
  Fault,    // the job cannot go on: FaultText() says why
};

class JobRunner {
 public:
  // logPath: where the chips' lines go; empty: the log the job names, if any.
  JobRunner(Programmer& programmer, Job job, std::string logPath = {});

  // Selects the job's device and sets its lock level, x2 fuse and speed, loads its
  // file and checks it against the job's checksum and the device. Throws JobError
  // saying what does not fit; the chip is not touched. Opens the log too, and puts
  // the lines waiting in the job's pending file into it (PrepareLog).
  void Open();

  // Auto-programs the chip on the cable now with the file and the next serial number,
  // then releases it to run, and appends its log line. A fault that ends the job (the
  // serial numbers, the log) is kept in FaultText(); nothing when it came before the
  // chip was touched (no serial number could be taken).
  std::optional<ChipReport> RunChip();

  // Waits, reading SENSE in program mode, until a board is on the cable (on) or gone
  // (off); a new board must show for kSettleMs before it counts. False when stopped,
  // and when no board can come (the simulated line is over, the port failed).
  static constexpr std::int32_t kPollMs = 20;
  static constexpr std::int32_t kSettleMs = 100;
  bool WaitForBoard(bool on);

  // Chip after chip until count chips (unset: no end), a stop, or a fault; onChip
  // hears of each chip as it ends.
  LoopEnd RunLoop(std::optional<std::int64_t> count,
                  const std::function<void(const ChipReport&)>& onChip);

  // On: a chip whose Done carries a caveat fails (reason "unvouched"), and counts so.
  void SetRequireVouched(bool on) { requireVouched_ = on; }

  // Ends the wait for a board, or stops the chip being programmed at its next safe point.
  void RequestStop();
  bool StopRequested() const { return stop_; }

  const Job& TheJob() const { return job_; }
  const std::string& LogPath() const { return logPath_; }
  std::int64_t Passed() const { return passed_; }
  std::int64_t Failed() const { return failed_; }
  const std::string& FaultText() const { return fault_; }

 private:
  void LoadFile(const DeviceInfo& device);
  void ApplySettings();
  // Between Auto-program's verify and its lock bits: the serial number's bytes,
  // written and read back.
  Outcome WriteSerial();
  // Whether the chip's serial field holds the number's bytes whole, as read back now;
  // nothing when it cannot be read.
  std::optional<bool> SerialFieldWhole();
  // The chip's log line, appended; a log that cannot be written is a fault, and the
  // line waits in the pending file (LogChipLine).
  void Log(ChipReport& report);

  Programmer& programmer_;
  Job job_;
  std::string logPath_;
  std::optional<SerialState> serials_;
  std::vector<bool> imageCompared_;  // the file's records, less the serial field
  std::int32_t extent_ = 0;
  std::optional<std::uint64_t> number_;  // the number of the chip being programmed
  bool serialTried_ = false;  // its write has begun: the number is the chip's now
  bool serialVerified_ = false;  // and its bytes were read back whole
  // What the log's sha256 key and value are: the job's file, or, where the serial
  // field lies over its data, what every chip holds without its field.
  std::string digestKey_ = "sha256";
  std::string digest_;
  bool stop_ = false;
  bool requireVouched_ = false;
  std::int64_t count_ = 0;
  std::int64_t passed_ = 0;
  std::int64_t failed_ = 0;
  std::string fault_;
};

}  // namespace vql
