// Buffered character input for the text files the program reads (the configuration
// file and Intel HEX files), with the old text-file idea of the end: the physical
// end of the data or the first Ctrl-Z (0x1A), whichever comes first.
//
// The readers take one character at a time; the buffer makes that cheap, and a
// file of any size streams through in a fixed amount of memory.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vql {

// A file that cannot be opened or read. The text names the file and the reason, for
// the operator: Cannot open "/home/ann/CONFIG.VQL": No such file or directory
class FileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Cannot <verb> "<path>": <strerror(error)>
std::string FileErrorText(std::string_view verb, std::string_view path, int error);

inline constexpr char kEndOfFileChar = '\x1A';

class CharStream {
 public:
  explicit CharStream(std::size_t bufferSize);
  virtual ~CharStream() = default;
  CharStream(const CharStream&) = delete;
  CharStream& operator=(const CharStream&) = delete;

  // True at the physical end or when the next character is a Ctrl-Z. Nothing after
  // a Ctrl-Z is ever read.
  bool AtEnd() {
    if (pos_ == len_ && !Refill()) return true;
    return buffer_[pos_] == kEndOfFileChar;
  }

  // The next character. At the end it returns Ctrl-Z and stays at the end.
  char Get() {
    if (AtEnd()) return kEndOfFileChar;
    return buffer_[pos_++];
  }

 protected:
  // Fills buffer with 1..capacity bytes, or returns 0 at the physical end. Throws
  // FileError when the source cannot be read.
  virtual std::size_t ReadSome(char* buffer, std::size_t capacity) = 0;

 private:
  bool Refill();

  std::vector<char> buffer_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool exhausted_ = false;
};

// A file on disk, opened by the constructor and closed by the destructor.
class FileCharStream final : public CharStream {
 public:
  static constexpr std::size_t kDefaultBufferSize = 64 * 1024;

  // Throws FileError (Cannot open "...") when the file cannot be opened.
  explicit FileCharStream(std::string path, std::size_t bufferSize = kDefaultBufferSize);
  ~FileCharStream() override;

  const std::string& Path() const { return path_; }

 protected:
  std::size_t ReadSome(char* buffer, std::size_t capacity) override;

 private:
  std::string path_;
  int fd_ = -1;
};

// Characters held in memory, handed out chunkSize at a time, so that tests and fuzz
// targets can cut the same input at every possible place.
class MemoryCharStream final : public CharStream {
 public:
  explicit MemoryCharStream(std::string_view data, std::size_t chunkSize = 4096);

 protected:
  std::size_t ReadSome(char* buffer, std::size_t capacity) override;

 private:
  std::string_view rest_;
};

}  // namespace vql
