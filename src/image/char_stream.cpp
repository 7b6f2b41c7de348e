#include "image/char_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vql {

std::string FileErrorText(std::string_view verb, std::string_view path, int error) {
  std::string text = "Cannot ";
  text += verb;
  text += " \"";
  text += path;
  text += "\": ";
  // The front ends' stop signals interrupt a wait on a FIFO or a device, and only they.
  text += error == EINTR ? "stopped by a signal while it waited" : std::strerror(error);
  return text;
}

CharStream::CharStream(std::size_t bufferSize) : buffer_(std::max<std::size_t>(bufferSize, 1)) {}

bool CharStream::Refill() {
  if (exhausted_) return false;
  pos_ = 0;
  len_ = ReadSome(buffer_.data(), buffer_.size());
  if (len_ == 0) exhausted_ = true;
  return len_ != 0;
}

FileCharStream::FileCharStream(std::string path, std::size_t bufferSize)
    : CharStream(bufferSize), path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw FileError(FileErrorText("open", path_, errno));
}

FileCharStream::~FileCharStream() { ::close(fd_); }

std::size_t FileCharStream::ReadSome(char* buffer, std::size_t capacity) {
  const ssize_t got = ::read(fd_, buffer, capacity);
  if (got >= 0) return static_cast<std::size_t>(got);
  // A stop signal interrupts a read that waits (a FIFO nobody writes): it ends here.
  throw FileError(FileErrorText("read", path_, errno));
}

MemoryCharStream::MemoryCharStream(std::string_view data, std::size_t chunkSize)
    : CharStream(chunkSize), rest_(data) {}

std::size_t MemoryCharStream::ReadSome(char* buffer, std::size_t capacity) {
  const std::size_t n = std::min(capacity, rest_.size());
  std::copy_n(rest_.data(), n, buffer);
  rest_.remove_prefix(n);
  return n;
}

}  // namespace vql
