// The serial numbers of a job, shared by every process that runs it, under whatever
// name: a state file beside the job holds the next number never handed out and the
// numbers given back by chips that failed before they got theirs. A number is
// taken, and given back, under an exclusive lock of the state file itself, and the
// state is replaced through a rename, so that a crash at any point never hands a
// number out twice: at worst a number taken by a process that died is skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "job/job_file.h"

namespace vql {

class SerialState {
 public:
  // The state of the job at jobPath. Nothing is read or created until a number is
  // taken.
  SerialState(std::string jobPath, const SerialField& field);

  // Hands out a number: the smallest given back, or else the next (first + k * step
  // for the next k never handed out), and records that it is taken. Throws JobError
  // naming the file when the state cannot be read, locked or written, when it is
  // damaged, and when the number does not fit in the field.
  std::uint64_t Take();
  // A chip that failed before its number was written gives it back, for the next
  // chip to take. Throws JobError as Take does.
  void GiveBack(std::uint64_t number);

  // The number the next chip would get as the state stands: the smallest given back,
  // else the next; nothing when the job has no state yet. Reads without locking or
  // changing anything. Throws JobError as Take does.
  std::optional<std::uint64_t> Peek() const;
  // Removes the state, under its lock: the next number taken is the field's first.
  void Restart();

  // The state file: the job's real path (symbolic links and relative paths
  // resolved) + ".serial". A job with hard links keeps one state for all its names:
  // beside the name that has one already, else beside the first name in byte order.
  // Throws JobError when that cannot be settled: a name in another folder, or states
  // beside two of the names.
  std::string Path() const;

 private:
  std::string jobPath_;
  SerialField field_;
};

}  // namespace vql
