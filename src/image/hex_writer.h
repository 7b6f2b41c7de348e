// Writing the code image as an Intel HEX file that any tool reads back: data records
// of 16 bytes with upper-case digits and correct checksums, LF line ends, and an
// end-of-file record. A file appears whole or not at all: it is written under a
// temporary name in the same directory and renamed into place.
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

// A HEX file being written. The constructor creates the temporary file beside path,
// so that a directory that is missing or not writable shows before any work is
// done; Commit fills it and renames it into place. A writer that is destroyed
// without a successful Commit removes its temporary file and leaves path untouched.
class HexFileWriter {
 public:
  // Throws FileError (Cannot write "<path>": <reason>).
  explicit HexFileWriter(std::string path);
  ~HexFileWriter();
  HexFileWriter(const HexFileWriter&) = delete;
  HexFileWriter& operator=(const HexFileWriter&) = delete;

  // Writes IntelHexText(image, last), flushes it to the disk and renames it to path.
  // Throws FileError naming path and the reason, a byte that cannot be written
  // included. Commit once.
  void Commit(const CodeImage& image, std::int32_t last);

  const std::string& Path() const { return path_; }

 private:
  void Discard();
  [[noreturn]] void Fail(int error);

  std::string path_;
  std::string tempPath_;
  int fd_ = -1;
  bool committed_ = false;
};

// HexFileWriter(path).Commit(image, last) in one call.
void WriteHexFile(const CodeImage& image, std::int32_t last, const std::string& path);

}  // namespace vql
