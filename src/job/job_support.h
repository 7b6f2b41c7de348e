// What the job file and the serial-number state have in common: their key=value
// text, decimal numbers, the serial field's names, and small files read whole and
// replaced whole, so that a crash leaves the old file or the new one, never half.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job/job_file.h"

namespace vql::job_io {

// text in double quotes, for messages.
std::string Quoted(std::string_view text);
// text without the blanks (spaces, tabs, a CR) at either end.
std::string_view Trim(std::string_view text);
// A number of decimal digits only (no sign, no blanks) that fits in 64 bits.
std::optional<std::uint64_t> ParseDecimal(std::string_view text);

// One line of a key=value text that is neither blank nor a comment (first
// non-blank character "#"). Without "=", key and value are empty.
struct TextLine {
  std::int32_t number = 0;  // from 1
  std::string_view text;    // the line, trimmed
  bool hasEquals = false;
  std::string_view key;    // trimmed
  std::string_view value;  // trimmed
};
std::vector<TextLine> KeyValueLines(std::string_view text);

// "be", "le" or "bcd".
std::string_view SerialFormatName(SerialFormat format);
// "300 does not fit in 1 byte (be)"
std::string NoFitText(const SerialField& field, std::uint64_t number);

// A descriptor, closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return fd_; }

 private:
  int fd_;
};

// The calls that put a file on the disk, in one place so that a test can record
// their order. Each returns what the system call returns, with errno set.
class FileCalls {
 public:
  virtual ~FileCalls() = default;
  virtual ssize_t Write(int fd, const void* data, std::size_t size);
  virtual int Fsync(int fd);  // a file's or a folder's
  virtual int Rename(const char* from, const char* to);
  // A second name for a file that never replaces an existing one (EEXIST then): a hard
  // link, or where the file system has none (FAT), a rename that does not replace.
  virtual int LinkNew(const char* from, const char* to);
};
// The system's calls, for everything but tests.
FileCalls& SystemFileCalls();

// The whole file, or nothing when it does not exist. Throws JobError when it cannot
// be opened or read, or holds more than limit bytes (a job file is a few lines;
// anything bigger is some other file): "<path>" is over 64 KiB: too big for <what>.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit,
                                         std::string_view what);
// The same for a file already open as fd (read from where it stands); path names it
// in messages.
std::string ReadSmallFile(int fd, const std::string& path, std::size_t limit, std::string_view what);
// Replaces path's contents with text: a new file beside it, on the disk (fsync)
// before it takes the name, and the folder on the disk after, so that the new name
// outlives a power cut. An existing file's permission bits are kept. Throws
// JobError: Cannot write "<path>": <reason>.
void ReplaceFile(const std::string& path, std::string_view text,
                 FileCalls& calls = SystemFileCalls());
// Gives path the text, the same way, unless path exists already: false then, and
// nothing changed. A reader never sees path half written. Throws JobError as
// ReplaceFile does.
bool CreateNewFile(const std::string& path, std::string_view text,
                   FileCalls& calls = SystemFileCalls());

}  // namespace vql::job_io
