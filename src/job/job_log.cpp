#include "job/job_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "image/char_stream.h"
#include "job/job_file.h"

namespace vql {
namespace {

// The lines waiting for the log are a few, one a run that stopped at a full disk;
// anything bigger is no such file.
constexpr std::size_t kPendingLimit = 1024 * 1024;

// A log file (or the pending one) opened for appending and locked exclusively, so
// that runs of the same job on several cables, appending to one log, never cut off
// each other's lines; closing the descriptor unlocks it.
class LockedFile {
 public:
  // what: "the log " or "" - how messages name the file before its path. Throws
  // JobError when path cannot be opened or locked, or is no regular file. Without
  // create, a missing file leaves the object closed (Missing()).
  LockedFile(const std::string& path, std::string_view what, bool create)
      : path_(path), what_(what) {
    struct stat status {};
    // A FIFO or a device is refused before it is opened: opening a FIFO would wait
    // for a reader, and a device such as /dev/full takes no line to a disk.
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) NotRegular();
    for (;;) {
      const int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT : 0);
      fd_ = ::open(path.c_str(), flags, 0644);
      if (fd_ < 0) {
        if (!create && errno == ENOENT) return;
        Fail("open", errno);
      }
      if (::fstat(fd_, &status) != 0) Fail("open", errno);
      if (!S_ISREG(status.st_mode)) NotRegular();
      // A stop signal ends the wait: FileErrorText says so for EINTR.
      if (::flock(fd_, LOCK_EX) != 0) Fail("lock", errno);
      if (::fstat(fd_, &status) != 0) Fail("open", errno);
      // Removed while this waited for the lock (a pending file whose lines another
      // run has just put into the log): a line put there now would be lost.
      if (status.st_nlink > 0) break;
      Close();
    }
    size_ = status.st_size;
  }
  ~LockedFile() { Close(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  bool Missing() const { return fd_ < 0; }

  // The whole file, read under the lock.
  std::string Text() {
    std::string text;
    char buffer[4096];
    for (;;) {
      const ssize_t got = ::pread(fd_, buffer, sizeof buffer, static_cast<off_t>(text.size()));
      if (got < 0) Fail("read", errno);
      if (got == 0) return text;
      text.append(buffer, static_cast<std::size_t>(got));
      if (text.size() > kPendingLimit) {
        throw JobError("\"" + path_ + "\" is over " + std::to_string(kPendingLimit / 1024) +
                       " KiB: too big for lines waiting for a log");
      }
    }
  }

  // Appends text in one write and puts it on the disk. Text the disk took only in
  // part, or could not put on it, is cut off again: the file ends where it ended.
  void Append(std::string_view text, const LogWrite& write) {
    const ssize_t wrote =
        write ? write(fd_, text.data(), text.size()) : ::write(fd_, text.data(), text.size());
    int error = wrote < 0 ? errno : 0;
    if (wrote >= 0 && static_cast<std::size_t>(wrote) != text.size()) error = ENOSPC;
    if (error == 0 && ::fdatasync(fd_) != 0) error = errno;
    if (error == 0) return;
    if (!CutBack()) {
      Fail("write to", error,
           "; the end of its last line could not be cut off again: mend it by hand");
    }
    Fail("write to", error);
  }

  // Cuts the file back to where it ended when it was locked.
  bool CutBack() { return ::ftruncate(fd_, size_) == 0 && ::fdatasync(fd_) == 0; }

 private:
  // Closes the file (it may not be whole yet, so no destructor would) and throws.
  [[noreturn]] void Fail(std::string_view verb, int error, std::string_view more = {}) {
    Close();
    // Cannot <verb> the log "<path>": <reason>
    std::string text = FileErrorText(verb, path_, error);
    text.insert(std::string_view("Cannot ").size() + verb.size() + 1, what_);
    throw JobError(text.append(more));
  }
  [[noreturn]] void NotRegular() {
    Close();
    throw JobError("Cannot use " + std::string(what_) + "\"" + path_ +
                   "\": it is no regular file, and a log must be one");
  }

  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  std::string_view what_;
  int fd_ = -1;
  off_t size_ = 0;
};

}  // namespace

std::string LogValue(const std::string& text) {
  if (text.empty()) return "-";
  std::string value;
  for (const char c : text) {
    if (c == '%' || c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      value += escaped;
    } else {
      value += c;
    }
  }
  return value;
}

std::string PendingLogPath(const std::string& jobPath) { return jobPath + ".log.pending"; }

void PrepareLog(const std::string& path, const std::string& pending) {
  LockedFile log(path, "the log ", true);
  LockedFile waiting(pending, "", false);
  if (waiting.Missing()) return;
  std::string text = waiting.Text();
  // Lines are put there whole; only a crash in the middle of one leaves it without
  // its end, and the next line must not be glued onto it.
  if (!text.empty() && text.back() != '\n') text += '\n';
  try {
    if (!text.empty()) log.Append(text, {});
  } catch (const JobError& error) {
    throw JobError("The lines waiting in \"" + pending + "\" cannot go into the log: " +
                   error.what());
  }
  // Still under both locks: no other run puts a line there, or takes these, meanwhile.
  if (::unlink(pending.c_str()) != 0) {
    const int error = errno;
    // Left there, the lines would go into the log a second time.
    log.CutBack();
    throw JobError(FileErrorText("remove", pending, error) +
                   " after its lines went into the log; they were taken out again");
  }
}

void AppendLogLine(const std::string& path, const std::string& line, const LogWrite& write) {
  LockedFile log(path, "the log ", true);
  log.Append(line + "\n", write);
}

void LogChipLine(const std::string& path, const std::string& pending, const std::string& line,
                 const LogWrite& write) {
  std::string why;
  try {
    AppendLogLine(path, line, write);
    return;
  } catch (const JobError& error) {
    why = error.what();
  }
  try {
    LockedFile waiting(pending, "", true);
    waiting.Append(line + "\n", {});
  } catch (const JobError& error) {
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    throw JobError(why + "; nor can the chip's line wait for it (" + error.what() +
                   "): the line is on standard error");
  }
  throw JobError(why + "; the chip's line waits in \"" + pending +
                 "\" and goes into the log first at the next run");
}

}  // namespace vql
