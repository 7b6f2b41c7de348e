// The serial numbers a job has handed out, kept in a state file beside the job and
// changed only under an exclusive lock, so that processes running the same job at
// once never hand out a number twice.
#include "job/serial_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <set>

#include "image/char_stream.h"
#include "job/job_support.h"

namespace vql {
namespace {

using job_io::Quoted;

constexpr std::string_view kStateSuffix = ".serial";
// A state file holds two lines; a long list of numbers given back is still far below.
constexpr std::size_t kStateFileLimit = 1024 * 1024;

// The lock file opened (made if missing) and locked exclusively, waiting for any
// other holder; closing the descriptor at the end of the scope unlocks it.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(const std::string& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw JobError(FileErrorText("open", path, errno));
    // A stop signal ends the wait: FileErrorText says so for EINTR.
    if (::flock(fd_, LOCK_EX) != 0) {
      const int error = errno;
      ::close(fd_);
      throw JobError(FileErrorText("lock", path, error));
    }
  }
  ~ExclusiveLock() { ::close(fd_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  int fd_;
};

struct Numbers {
  std::uint64_t next = 0;        // never handed out yet
  std::set<std::uint64_t> free;  // handed out and given back, all below next
};

// A free= list: numbers separated by commas, possibly none.
bool ParseFreeList(std::string_view text, std::set<std::uint64_t>& free) {
  while (!text.empty()) {
    const auto comma = text.find(',');
    const auto number = job_io::ParseDecimal(job_io::Trim(text.substr(0, comma)));
    if (!number) return false;
    free.insert(*number);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (text.empty()) return false;  // a trailing comma
  }
  return true;
}

// The state file's numbers. Anything else in it means it was damaged or edited by
// hand: it is reported, never started afresh, which would hand numbers out again.
Numbers ParseState(std::string_view text, const std::string& path) {
  Numbers numbers;
  bool haveNext = false;
  bool haveFree = false;
  for (const auto& line : job_io::KeyValueLines(text)) {
    const auto fail = [&](const std::string& what) {
      return JobError(Quoted(path) + " line " + std::to_string(line.number) + ": " + what +
                      " (the serial numbers' state is damaged: mend or remove it)");
    };
    if (!line.hasEquals || (line.key != "next" && line.key != "free")) {
      throw fail("unknown line " + Quoted(line.text));
    }
    bool& seen = line.key == "next" ? haveNext : haveFree;
    if (seen) throw fail(Quoted(std::string(line.key) + "=") + " given twice");
    seen = true;
    if (line.key == "next") {
      const auto next = job_io::ParseDecimal(line.value);
      if (!next) throw fail(Quoted(line.value) + " is not a number");
      numbers.next = *next;
    } else if (!ParseFreeList(line.value, numbers.free)) {
      throw fail(Quoted(line.value) + " is not a list of numbers separated by commas");
    }
  }
  if (!haveNext) {
    throw JobError(Quoted(path) + ": no \"next=\" line (the serial numbers' state is damaged)");
  }
  if (!numbers.free.empty() && *numbers.free.rbegin() >= numbers.next) {
    throw JobError(Quoted(path) + ": the free number " + std::to_string(*numbers.free.rbegin()) +
                   " was never handed out (the serial numbers' state is damaged)");
  }
  return numbers;
}

std::string StateText(const Numbers& numbers, std::string_view jobFileName) {
  std::string text = "# VQL-ISP serial numbers of " + std::string(jobFileName) +
                     ": next is the next number never handed out; free lists numbers given back\n";
  text += "next=" + std::to_string(numbers.next) + "\n";
  if (numbers.free.empty()) return text;
  std::string list;
  for (const auto number : numbers.free) list += (list.empty() ? "" : ",") + std::to_string(number);
  return text + "free=" + list + "\n";
}

std::string JobPathOf(const std::string& statePath) {
  return statePath.substr(0, statePath.size() - kStateSuffix.size());
}

// The numbers as the state file holds them, or as a job that never handed one out
// starts: at field's first number.
Numbers ReadNumbers(const std::string& path, const SerialField& field) {
  const auto text = job_io::ReadSmallFile(path, kStateFileLimit, "a serial-number state file");
  if (!text) return Numbers{field.first, {}};
  return ParseState(*text, path);
}

void WriteNumbers(const std::string& path, const Numbers& numbers) {
  const auto jobFileName = std::filesystem::path(JobPathOf(path)).filename().string();
  job_io::ReplaceFile(path, StateText(numbers, jobFileName));
}

JobError UsedUp(const std::string& statePath, const std::string& why) {
  return JobError("the serial numbers of " + Quoted(JobPathOf(statePath)) + " are used up: " + why);
}

}  // namespace

SerialState::SerialState(const std::string& jobPath, const SerialField& field)
    : path_(jobPath + std::string(kStateSuffix)), lockPath_(path_ + ".lock"), field_(field) {}

std::uint64_t SerialState::Take() {
  // A step of 0 would hand the same number out again and again.
  if (field_.step == 0) throw JobError(Quoted(JobPathOf(path_)) + ": the serial step is 0");
  const ExclusiveLock lock(lockPath_);
  Numbers numbers = ReadNumbers(path_, field_);
  std::uint64_t number = numbers.next;
  if (!numbers.free.empty()) {
    number = *numbers.free.begin();
    numbers.free.erase(numbers.free.begin());
  } else if (numbers.next > std::numeric_limits<std::uint64_t>::max() - field_.step) {
    throw UsedUp(path_, "the next after " + std::to_string(number) + " is past 64 bits");
  } else {
    numbers.next += field_.step;
  }
  if (!SerialBytes(field_, number)) throw UsedUp(path_, job_io::NoFitText(field_, number));
  WriteNumbers(path_, numbers);
  return number;
}

void SerialState::GiveBack(std::uint64_t number) {
  const ExclusiveLock lock(lockPath_);
  Numbers numbers = ReadNumbers(path_, field_);
  // A number never handed out cannot come back: the next chip gets it from next.
  if (number >= numbers.next || !numbers.free.insert(number).second) return;
  WriteNumbers(path_, numbers);
}

}  // namespace vql
