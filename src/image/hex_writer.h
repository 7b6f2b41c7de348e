// Writing the code image as an Intel HEX file that any tool reads back: data records
// of 16 bytes with upper-case digits and correct checksums, LF line ends, and an
// end-of-file record. A file appears whole or not at all: it is written under a
// temporary name in the same directory and renamed into place. A symlink is followed
// to the file it names, and a device or pipe is written into as it is.
#pragma once

#include <cstdint>
#include <string>

#include "image/char_stream.h"
#include "image/code_image.h"

namespace vql {

inline constexpr std::int32_t kHexBytesPerRecord = 16;

// The image from address 0 to last, inclusive, as Intel HEX text; last -1 gives the
// end-of-file record alone. Every address is written, FF bytes included.
// Throws std::out_of_range for a last outside -1..FFFF, and std::invalid_argument,
// naming the address, for an image entry that is not two upper-case hexadecimal
// digits: such a byte has no Intel HEX spelling, and guessing one would put a
// different program into the file than the image holds.
std::string IntelHexText(const CodeImage& image, std::int32_t last);

// A HEX file being written. What path names decides how:
//  - a regular file, or nothing yet: the constructor creates a temporary file beside
//    it, so that a directory that is missing or not writable shows before any work is
//    done; Commit fills it and renames it into place. A file that is replaced keeps
//    its permission bits; a new one gets 0666 less the umask.
//  - a symlink, or a chain of them: the same for the file at the end of the chain,
//    which need not exist yet; the symlinks stay as they are.
//  - a character or block device or a FIFO (/dev/null, /dev/stdout on a pipe): the
//    constructor only checks that it may be written; Commit opens it and writes the
//    text into it, since opening a FIFO waits for its reader.
// A writer that is destroyed without a successful Commit, or whose Commit fails,
// removes its temporary file and leaves whatever path names untouched.
class HexFileWriter {
 public:
  // Throws FileError (Cannot write "<path>": <reason>).
  explicit HexFileWriter(std::string path);
  ~HexFileWriter();
  HexFileWriter(const HexFileWriter&) = delete;
  HexFileWriter& operator=(const HexFileWriter&) = delete;

  // Writes IntelHexText(image, last): into the temporary file, which it flushes to the
  // disk and renames into place, or straight into the device or FIFO. Throws
  // FileError naming path and the reason, a byte that cannot be written included;
  // the image is checked before anything is opened or written. Commit once.
  void Commit(const CodeImage& image, std::int32_t last);

  const std::string& Path() const { return path_; }

 private:
  void Discard();
  [[noreturn]] void Fail(int error);
  void ReplaceWith(const std::string& text);
  void WriteInto(const std::string& text);

  std::string path_;       // as the user gave it, for the messages
  std::string finalName_;  // the file that path leads to through its symlinks
  std::string tempPath_;
  int fd_ = -1;
  bool direct_ = false;    // written into as it is, not replaced
  bool truncate_ = false;  // a direct write into a regular file: empty it first
  bool used_ = false;
};

// HexFileWriter(path).Commit(image, last) in one call.
void WriteHexFile(const CodeImage& image, std::int32_t last, const std::string& path);

}  // namespace vql
