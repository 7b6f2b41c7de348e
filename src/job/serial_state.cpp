// The serial numbers a job has handed out, kept in a state file beside the job and
// changed only under an exclusive lock, so that processes running the same job at
// once never hand out a number twice.
#include "job/serial_state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "image/char_stream.h"
#include "job/job_support.h"

namespace vql {
namespace {

using job_io::Quoted;

constexpr std::string_view kStateSuffix = ".serial";
// A state file holds two lines; a long list of numbers given back is still far below.
constexpr std::size_t kStateFileLimit = 1024 * 1024;

namespace fs = std::filesystem;

using job_io::Descriptor;  // closed, and so unlocked, at the end of its scope

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

// The number the next chip gets from numbers.
std::uint64_t NextOf(const Numbers& numbers) {
  return numbers.free.empty() ? numbers.next : *numbers.free.begin();
}

void WriteNumbers(const std::string& path, const Numbers& numbers) {
  const auto jobFileName = fs::path(JobPathOf(path)).filename().string();
  job_io::ReplaceFile(path, StateText(numbers, jobFileName));
}

JobError UsedUp(const std::string& statePath, const std::string& why) {
  return JobError("the serial numbers of " + Quoted(JobPathOf(statePath)) + " are used up: " + why);
}

// The temporary files of a state's replacement (STATE.<pid>-<n>.tmp) whose process
// is gone: killed between making one and renaming it. Under the state's lock no
// live process writes one, but a state being made for the first time is written
// without it, so a live process's file stays.
void RemoveLeftovers(const std::string& statePath) {
  const fs::path state(statePath);
  const std::string prefix = state.filename().string() + ".";
  std::error_code error;
  fs::directory_iterator entry(state.parent_path(), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
    const std::string_view middle =
        std::string_view(name).substr(prefix.size(), name.size() - prefix.size() - 4);
    const auto dash = middle.find('-');
    const auto pid = job_io::ParseDecimal(middle.substr(0, dash));
    if (dash == std::string_view::npos || !pid || !job_io::ParseDecimal(middle.substr(dash + 1)) ||
        *pid == 0 || *pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) {
      continue;
    }
    if (::kill(static_cast<pid_t>(*pid), 0) == -1 && errno == ESRCH) ::unlink(entry->path().c_str());
  }
}

// A state file that keeps being replaced or removed between its opening and its
// lock is given this many tries; each replacement is another process's take.
constexpr int kLockTries = 10000;

// The numbers of the state file open as fd.
Numbers ReadNumbers(int fd, const std::string& path) {
  return ParseState(job_io::ReadSmallFile(fd, path, kStateFileLimit, "a serial-number state file"),
                    path);
}

// Runs change with the state file locked, on its descriptor. The lock is the state
// file's own: a replacement renames a new file over it while the lock is held, so
// whoever waited for the old file finds, once it has the lock, that the name is no
// longer the file it locked, and tries again with the new one. Nothing beside the
// state takes part, so a clean-up that deletes files beside it cannot part two
// takes. A missing state is first made with the field's first number (when
// create), in one step that never replaces one made meanwhile.
template <typename ChangeState>
void UnderLock(const std::string& path, const SerialField& field, bool create, ChangeState change) {
  int madeMeanwhile = 0;
  for (int tries = 0; tries < kLockTries; ++tries) {
    const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
      if (errno != ENOENT) throw JobError(FileErrorText("open", path, errno));
      if (!create) return;
      const auto jobFileName = fs::path(JobPathOf(path)).filename().string();
      // Made by another process meanwhile, unless the name leads nowhere (a
      // symbolic link to nothing): then it can never be opened.
      if (!job_io::CreateNewFile(path, StateText(Numbers{field.first, {}}, jobFileName)) &&
          ++madeMeanwhile > 3) {
        throw JobError(FileErrorText("open", path, ENOENT));
      }
      continue;
    }
    // A stop signal ends the wait: FileErrorText says so for EINTR.
    if (::flock(file.Get(), LOCK_EX) != 0) throw JobError(FileErrorText("lock", path, errno));
    struct stat locked {};
    struct stat named {};
    if (::fstat(file.Get(), &locked) != 0) throw JobError(FileErrorText("lock", path, errno));
    if (::stat(path.c_str(), &named) != 0) {
      if (errno == ENOENT) continue;
      throw JobError(FileErrorText("open", path, errno));
    }
    if (!SameFile(locked, named)) continue;
    RemoveLeftovers(path);
    change(file.Get());
    return;
  }
  throw JobError(FileErrorText("lock", path, EAGAIN) + " (it was replaced " +
                 std::to_string(kLockTries) + " times while it was being locked)");
}

// The job's path with symbolic links, "." and ".." resolved, as far as it exists.
fs::path RealPath(const std::string& jobPath) {
  std::error_code error;
  fs::path real = fs::canonical(jobPath, error);
  if (!error) return real;
  real = fs::weakly_canonical(jobPath, error);
  if (!error) return real;
  return fs::absolute(jobPath).lexically_normal();
}

std::string StatePathOf(const std::string& jobPath) {
  const fs::path job = RealPath(jobPath);
  struct stat self {};
  if (::stat(job.c_str(), &self) != 0 || !S_ISREG(self.st_mode) || self.st_nlink < 2) {
    return job.string() + std::string(kStateSuffix);
  }
  // Hard links: every name of the job in its folder, in byte order.
  std::vector<std::string> names;
  std::error_code error;
  fs::directory_iterator entry(job.parent_path(), error);
  for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
    struct stat other {};
    if (::lstat(entry->path().c_str(), &other) == 0 && SameFile(self, other)) {
      names.push_back(entry->path().string());
    }
  }
  if (error) throw JobError(FileErrorText("read", job.parent_path().string(), error.value()));
  if (names.size() < self.st_nlink) {
    throw JobError(Quoted(job.string()) + " has " + std::to_string(self.st_nlink) +
                   " names (hard links), not all in its folder: their serial numbers cannot be "
                   "kept together (link it symbolically instead)");
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> states;
  for (const auto& name : names) {
    struct stat state {};
    const std::string path = name + std::string(kStateSuffix);
    if (::lstat(path.c_str(), &state) == 0) states.push_back(path);
  }
  if (states.size() > 1) {
    throw JobError(Quoted(job.string()) + " has serial-number states under two of its names " +
                   "(hard links), " + Quoted(states[0]) + " and " + Quoted(states[1]) + ": keep one");
  }
  return states.empty() ? names.front() + std::string(kStateSuffix) : states.front();
}

}  // namespace

SerialState::SerialState(std::string jobPath, const SerialField& field)
    : jobPath_(std::move(jobPath)), field_(field) {}

std::string SerialState::Path() const { return StatePathOf(jobPath_); }

std::uint64_t SerialState::Take() {
  const std::string path = Path();
  // A step of 0 would hand the same number out again and again.
  if (field_.step == 0) throw JobError(Quoted(JobPathOf(path)) + ": the serial step is 0");
  std::uint64_t number = 0;
  UnderLock(path, field_, true, [&](int fd) {
    Numbers numbers = ReadNumbers(fd, path);
    number = NextOf(numbers);
    if (!numbers.free.empty()) {
      numbers.free.erase(numbers.free.begin());
    } else if (numbers.next > std::numeric_limits<std::uint64_t>::max() - field_.step) {
      throw UsedUp(path, "the next after " + std::to_string(number) + " is past 64 bits");
    } else {
      numbers.next += field_.step;
    }
    if (!SerialBytes(field_, number)) throw UsedUp(path, job_io::NoFitText(field_, number));
    WriteNumbers(path, numbers);
  });
  return number;
}

void SerialState::GiveBack(std::uint64_t number) {
  const std::string path = Path();
  // No state: nothing was handed out, so nothing can come back.
  UnderLock(path, field_, false, [&](int fd) {
    Numbers numbers = ReadNumbers(fd, path);
    // A number never handed out cannot come back: the next chip gets it from next.
    if (number >= numbers.next || !numbers.free.insert(number).second) return;
    WriteNumbers(path, numbers);
  });
}

std::optional<std::uint64_t> SerialState::Peek() const {
  const std::string path = Path();
  // The state is only ever replaced whole: a read without the lock sees one state.
  const auto text = job_io::ReadSmallFile(path, kStateFileLimit, "a serial-number state file");
  if (!text) return std::nullopt;
  return NextOf(ParseState(*text, path));
}

void SerialState::Restart() {
  const std::string path = Path();
  // A damaged state goes as well: it is not read.
  UnderLock(path, field_, false, [&](int) {
    if (::unlink(path.c_str()) != 0) throw JobError(FileErrorText("remove", path, errno));
  });
}

}  // namespace vql
