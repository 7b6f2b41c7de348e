#include "image/hex_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// A name in the same directory that nobody else uses: the rename must not cross file
// systems, and a leading dot keeps the half-written file out of plain listings.
std::string TempNameFor(const std::filesystem::path& path, int attempt) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string name = "." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                     "-" + std::to_string(stamp) + "-" + std::to_string(attempt);
  return (path.parent_path() / name).string();
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
  const std::filesystem::path target(path_);
  std::error_code ignored;
  if (target.filename().empty() || std::filesystem::is_directory(target, ignored)) {
    throw FileError(FileErrorText("write", path_, EISDIR));
  }
  for (int attempt = 0; fd_ < 0; ++attempt) {
    tempPath_ = TempNameFor(target, attempt);
    // 0666 leaves the permissions to the umask, as for any new file.
    fd_ = ::open(tempPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && (errno != EEXIST || attempt == 100)) {
      throw FileError(FileErrorText("write", path_, errno));
    }
  }
}

HexFileWriter::~HexFileWriter() {
  if (!committed_) Discard();
}

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
  if (committed_ || fd_ < 0) throw FileError("Cannot write \"" + path_ + "\": written already");
  std::string text;
  try {
    text = IntelHexText(image, last);
  } catch (const std::invalid_argument& error) {
    Discard();
    throw FileError("Cannot write \"" + path_ + "\": " + error.what());
  }
  std::string_view rest = text;
  while (!rest.empty()) {
    const ssize_t wrote = ::write(fd_, rest.data(), rest.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
    }
    rest.remove_prefix(static_cast<std::size_t>(wrote));
  }
  // On the disk before the name: a crash must not leave an empty file under it.
  if (::fsync(fd_) != 0) Fail(errno);
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) Fail(errno);
  if (::rename(tempPath_.c_str(), path_.c_str()) != 0) Fail(errno);
  committed_ = true;
}

void WriteHexFile(const CodeImage& image, std::int32_t last, const std::string& path) {
  HexFileWriter(path).Commit(image, last);
}

}  // namespace vql
