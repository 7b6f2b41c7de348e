// Text and file helpers shared by the job file and the serial-number state.
#include "job/job_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>

#include "image/char_stream.h"

namespace vql::job_io {
namespace {

// A new file beside path under a name no other process uses, removed again unless
// it has taken path's name. A process killed meanwhile leaves it behind, named
// path.<pid>-<n>.tmp for whoever takes path's lock next to find.
class TempFile {
 public:
  TempFile(const std::string& path, FileCalls& calls) : calls_(calls) {
    for (int attempt = 0; fd_ < 0; ++attempt) {
      name_ = path + "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
      // 0666: a new file's permissions are the umask's, as for any other file.
      fd_ = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
        name_.clear();
        throw JobError(FileErrorText("write", path, errno));
      }
    }
  }
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!name_.empty()) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  // Writes text, puts it on the disk and closes the file; returns errno or 0.
  int Fill(std::string_view text) {
    while (!text.empty()) {
      const ssize_t written = calls_.Write(fd_, text.data(), text.size());
      if (written < 0) return errno;
      text.remove_prefix(static_cast<std::size_t>(written));
    }
    if (calls_.Fsync(fd_) != 0) return errno;
    const int closed = ::close(fd_);
    fd_ = -1;
    return closed == 0 ? 0 : errno;
  }
  int KeepModeOf(const std::string& path) const {
    struct stat old {};
    if (::stat(path.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return 0;
    return ::fchmod(fd_, old.st_mode & 07777) == 0 ? 0 : errno;
  }
  // Gives the filled file path's name; returns errno or 0.
  int Rename(const std::string& path) {
    if (calls_.Rename(name_.c_str(), path.c_str()) != 0) return errno;
    name_.clear();
    return 0;
  }
  // Gives the filled file path's name too, unless path exists; returns errno
  // (EEXIST then) or 0. The temporary name goes at the end of the scope.
  int LinkNew(const std::string& path) const {
    return calls_.LinkNew(name_.c_str(), path.c_str()) == 0 ? 0 : errno;
  }

 private:
  FileCalls& calls_;
  std::string name_;
  int fd_ = -1;
};

// Puts path's folder on the disk, with the name just given in it; returns errno or 0.
// A file system that cannot sync a folder (EINVAL) keeps its names its own way.
int SyncFolderOf(const std::string& path, FileCalls& calls) {
  std::string folder = std::filesystem::path(path).parent_path().string();
  if (folder.empty()) folder = ".";
  const Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Get() < 0) return errno;
  if (calls.Fsync(dir.Get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

}  // namespace

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\f\v";
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

std::optional<std::uint64_t> ParseDecimal(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::vector<TextLine> KeyValueLines(std::string_view text) {
  std::vector<TextLine> lines;
  std::int32_t number = 0;
  while (!text.empty()) {
    const auto end = std::min(text.find('\n'), text.size());
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (line.empty() || line.front() == '#') continue;
    TextLine entry{number, line, false, {}, {}};
    if (const auto equals = line.find('='); equals != std::string_view::npos) {
      entry.hasEquals = true;
      entry.key = Trim(line.substr(0, equals));
      entry.value = Trim(line.substr(equals + 1));
    }
    lines.push_back(entry);
  }
  return lines;
}

std::string_view SerialFormatName(SerialFormat format) {
  switch (format) {
    case SerialFormat::BigEndian:
      return "be";
    case SerialFormat::LittleEndian:
      return "le";
    case SerialFormat::Bcd:
      return "bcd";
  }
  return "?";
}

std::string NoFitText(const SerialField& field, std::uint64_t number) {
  return std::to_string(number) + " does not fit in " + std::to_string(field.length) +
         (field.length == 1 ? " byte (" : " bytes (") +
         std::string(SerialFormatName(field.format)) + ")";
}

ssize_t FileCalls::Write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

int FileCalls::Fsync(int fd) { return ::fsync(fd); }

int FileCalls::Rename(const char* from, const char* to) { return ::rename(from, to); }

int FileCalls::LinkNew(const char* from, const char* to) {
  if (::link(from, to) == 0) return 0;
  if (errno != EPERM && errno != EOPNOTSUPP) return -1;
  return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

FileCalls& SystemFileCalls() {
  static FileCalls calls;
  return calls;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit,
                                         std::string_view what) {
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.Get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw JobError(FileErrorText("open", path, errno));
  }
  return ReadSmallFile(file.Get(), path, limit, what);
}

std::string ReadSmallFile(int fd, const std::string& path, std::size_t limit, std::string_view what) {
  std::string text;
  char buffer[4096];
  for (;;) {
    // A stop signal interrupts a read that waits (a FIFO nobody writes): it ends here.
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) throw JobError(FileErrorText("read", path, errno));
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > limit) {
      throw JobError(Quoted(path) + " is over " + std::to_string(limit / 1024) +
                     " KiB: too big for " + std::string(what));
    }
  }
}

void ReplaceFile(const std::string& path, std::string_view text, FileCalls& calls) {
  TempFile temp(path, calls);
  int error = temp.KeepModeOf(path);
  if (error == 0) error = temp.Fill(text);
  if (error == 0) error = temp.Rename(path);
  if (error == 0) error = SyncFolderOf(path, calls);
  if (error != 0) throw JobError(FileErrorText("write", path, error));
}

bool CreateNewFile(const std::string& path, std::string_view text, FileCalls& calls) {
  TempFile temp(path, calls);
  int error = temp.Fill(text);
  if (error == 0) error = temp.LinkNew(path);
  if (error == EEXIST) return false;
  if (error == 0) error = SyncFolderOf(path, calls);
  if (error != 0) throw JobError(FileErrorText("write", path, error));
  return true;
}

}  // namespace vql::job_io
