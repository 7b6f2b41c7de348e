#include "image/hex_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "image/hex_digits.h"

namespace vql {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void AppendByte(std::string& text, std::int32_t value) {
  text += kDigits[(value >> 4) & 0xF];
  text += kDigits[value & 0xF];
}

std::string Hex4(std::int32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

void AppendRecord(std::string& text, const CodeImage& image, std::int32_t address,
                  std::int32_t count) {
  text += ':';
  AppendByte(text, count);
  AppendByte(text, address >> 8);
  AppendByte(text, address & 0xFF);
  AppendByte(text, 0x00);  // data record
  std::int32_t sum = count + (address >> 8) + (address & 0xFF);
  for (std::int32_t n = address; n < address + count; ++n) {
    const auto a = static_cast<std::size_t>(n);
    const char high = image.HighDigits[a];
    const char low = image.LowDigits[a];
    const std::int32_t value = HexPairValue(high, low);
    if (HexDigitValue(high) < 0 || HexDigitValue(low) < 0) {
      throw std::invalid_argument("the image byte at " + Hex4(n) + " is \"" +
                                  std::string{high, low} +
                                  "\", not two upper-case hexadecimal digits");
    }
    text += high;
    text += low;
    sum += value;
  }
  AppendByte(text, (0x100 - (sum & 0xFF)) & 0xFF);
  text += '\n';
}

// GCC 12 at -O3 inlines the "." + string below into std::string's replace and then
// warns that its memcpy may overlap, with lengths near SIZE_MAX that no string can
// have: a false positive of that compiler version (-Wrestrict), silenced here alone.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
// A name in the same directory that nobody else uses: the rename must not cross file
// systems, and a leading dot keeps the half-written file out of plain listings.
std::string TempNameFor(const std::filesystem::path& path, int attempt) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string name = "." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                     "-" + std::to_string(stamp) + "-" + std::to_string(attempt);
  return (path.parent_path() / name).string();
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

// The same limit as the kernel's: a longer chain is taken for a loop.
constexpr int kMaxSymlinkHops = 40;

// The name that path leads to through symlinks in its last part, a chain of them
// included, as the kernel follows them; that name need not exist yet. A relative
// target counts from the link's directory. Returns 0 or the errno of the failure.
int FollowSymlinks(const std::filesystem::path& path, std::filesystem::path& name) {
  name = path;
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (::lstat(name.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISLNK(info.st_mode)) return 0;
    if (hops == kMaxSymlinkHops) return ELOOP;
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(name, error);
    if (error) return error.value();
    // Not normalised: the kernel resolves ".." against the directory it is in,
    // which differs from the text before it when that goes through a symlink.
    name = target.is_absolute() ? target : name.parent_path() / target;
  }
}

// 0 or the errno of the failure.
int WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t wrote = ::write(fd, text.data(), text.size());
    if (wrote < 0) return errno;  // EINTR too: a stop signal ends a write that waits
    text.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return 0;
}

}  // namespace

std::string IntelHexText(const CodeImage& image, std::int32_t last) {
  if (last < -1 || last >= kImageSize) {
    throw std::out_of_range("last address " + std::to_string(last) + " is outside the image");
  }
  std::string text;
  const std::int32_t records = (last + kHexBytesPerRecord) / kHexBytesPerRecord;
  text.reserve(static_cast<std::size_t>(records) * 44 + 12);
  for (std::int32_t address = 0; address <= last; address += kHexBytesPerRecord) {
    const std::int32_t count = std::min(kHexBytesPerRecord, last + 1 - address);
    AppendRecord(text, image, address, count);
  }
  text += ":00000001FF\n";
  return text;
}

HexFileWriter::HexFileWriter(std::string path) : path_(std::move(path)) {
  if (std::filesystem::path(path_).filename().empty()) {
    throw FileError(FileErrorText("write", path_, EISDIR));
  }
  struct stat info {};
  const bool exists = ::stat(path_.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) throw FileError(FileErrorText("write", path_, errno));
  if (exists && S_ISDIR(info.st_mode)) throw FileError(FileErrorText("write", path_, EISDIR));
  if (exists && !S_ISREG(info.st_mode)) {
    // A socket cannot be opened at all; say so now rather than after the work.
    if (!S_ISCHR(info.st_mode) && !S_ISBLK(info.st_mode) && !S_ISFIFO(info.st_mode)) {
      throw FileError(FileErrorText("write", path_, ENXIO));
    }
    direct_ = true;
  }
  if (!direct_) {
    std::filesystem::path name;
    if (const int error = FollowSymlinks(path_, name); error != 0) {
      throw FileError(FileErrorText("write", path_, error));
    }
    if (name.filename().empty()) throw FileError(FileErrorText("write", path_, EISDIR));
    finalName_ = name.string();
    // The chain can end in a name that is not the file itself: /dev/stdout sent to a
    // file that has since been deleted ends in "/proc/self/fd/1 -> /x (deleted)".
    // Such a file can only be written into.
    struct stat named {};
    if (exists && (::lstat(finalName_.c_str(), &named) != 0 || named.st_dev != info.st_dev ||
                   named.st_ino != info.st_ino)) {
      direct_ = true;
      truncate_ = true;
    }
  }
  if (direct_) {
    if (::access(path_.c_str(), W_OK) != 0) throw FileError(FileErrorText("write", path_, errno));
    return;
  }
  const std::filesystem::path target(finalName_);
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tempPath_ = TempNameFor(target, attempt);
    // 0666 leaves the permissions to the umask, as for any new file.
    fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
      if (!exists) throw FileError(FileErrorText("write", path_, errno));
      // The file is written under a temporary name beside it: say that this failed,
      // not the file itself, which exists (a file in /proc, say).
      throw FileError("Cannot write \"" + path_ + "\": the temporary file \"" + tempPath_ +
                      "\" beside it cannot be created: " + std::strerror(errno));
    }
  }
}

HexFileWriter::~HexFileWriter() { Discard(); }

void HexFileWriter::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}

void HexFileWriter::Fail(int error) {
  Discard();
  throw FileError(FileErrorText("write", path_, error));
}

void HexFileWriter::Commit(const CodeImage& image, std::int32_t last) {
  if (used_) throw FileError("Cannot write \"" + path_ + "\": written already");
  used_ = true;
  std::string text;
  try {
    text = IntelHexText(image, last);
  } catch (const std::invalid_argument& error) {
    Discard();
    throw FileError("Cannot write \"" + path_ + "\": " + error.what());
  }
  if (direct_) {
    WriteInto(text);
  } else {
    ReplaceWith(text);
  }
}

void HexFileWriter::ReplaceWith(const std::string& text) {
  if (const int error = WriteAll(fd_, text); error != 0) Fail(error);
  // The file being replaced keeps its permission bits; a new one keeps the umask's.
  struct stat old {};
  if (::lstat(finalName_.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
      ::fchmod(fd_, old.st_mode & 07777) != 0) {
    Fail(errno);
  }
  // On the disk before the name: a crash must not leave an empty file under it.
  if (::fsync(fd_) != 0) Fail(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) Fail(errno);
  if (::rename(tempPath_.c_str(), finalName_.c_str()) != 0) Fail(errno);
  tempPath_.clear();
}

void HexFileWriter::WriteInto(const std::string& text) {
  // Opened only now: a FIFO blocks here until its reader comes. No fsync, which a
  // pipe or a terminal refuses and which a device does not need.
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | (truncate_ ? O_TRUNC : 0);
  const int fd = ::open(path_.c_str(), flags);
  if (fd < 0) Fail(errno);
  const int error = WriteAll(fd, text);
  const int closed = ::close(fd);
  if (error != 0) Fail(error);
  if (closed != 0) Fail(errno);
}

void WriteHexFile(const CodeImage& image, std::int32_t last, const std::string& path) {
  HexFileWriter(path).Commit(image, last);
}

}  // namespace vql
