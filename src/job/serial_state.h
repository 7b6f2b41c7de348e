// The serial numbers of a job, shared by every process that runs it: a state file
// beside the job holds the next number never handed out and the numbers given back
// by chips that failed before they got theirs. A number is taken, and given back,
// under an exclusive lock of a lock file beside it, and the state is replaced
// through a rename, so that a crash at any point never hands a number out twice:
// at worst a number taken by a process that died is skipped.
#pragma once

#include <cstdint>
#include <string>

#include "job/job_file.h"

namespace vql {

class SerialState {
 public:
  // The state of the job at jobPath: jobPath + ".serial", locked through jobPath +
  // ".serial.lock". Nothing is read or created until a number is taken.
  SerialState(const std::string& jobPath, const SerialField& field);

  // Hands out a number: the smallest given back, or else the next (first + k * step
  // for the next k never handed out), and records that it is taken. Throws JobError
  // naming the file when the state cannot be read, locked or written, when it is
  // damaged, and when the number does not fit in the field.
  std::uint64_t Take();
  // A chip that failed before its number was written gives it back, for the next
  // chip to take. Throws JobError as Take does.
  void GiveBack(std::uint64_t number);

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string lockPath_;
  SerialField field_;
};

}  // namespace vql
