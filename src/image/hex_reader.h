// The Intel HEX record reader.
//
// A record is whatever follows a ":" - two characters of count, four of address and
// two of type, then 2 x count data characters taken by position; line ends mean
// nothing, and every other character between records is skipped. Data records
// (type 00) store their pairs into the image; the extended-address records (02 and
// 04) set the upper part of the address for the data records after them; the end
// record (01) and the start-address records (03, 05) store nothing, and the records
// after an end record load too. Lower-case digits are stored as upper case.
//
// What is wrong with a record is counted and described, never fixed: a checksum
// that does not match, a character that is no hex digit, a record whose line ends
// before its data does (its data then takes the next line's characters, by
// position), data that lands at 64 KiB or above (dropped).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/char_stream.h"
#include "image/code_image.h"

namespace vql {

// What was wrong with the records read, for one message to the operator.
struct HexLoadReport {
  std::int32_t badLines = 0;   // records with anything wrong, each counted once
  std::int32_t firstLine = 0;  // the line (1-based) where the first of them begins
  std::string firstText;       // that line's text from its ":", cut short
  std::string firstProblem;    // what is wrong with it, in plain words
  std::int32_t droppedBytes = 0;  // data bytes at or above 64 KiB, not stored

  bool Clean() const { return badLines == 0; }
  bool operator==(const HexLoadReport&) const = default;
};

// Reads every record up to the end of input (physical end or Ctrl-Z) into image and
// returns the extent: the largest address + count over the data records (with their
// upper address), or 0 when there were none. Throws FileError when the input cannot
// be read.
std::int32_t ReadHexRecords(CharStream& in, CodeImage& image, HexLoadReport& report);
// The same, marking in recorded (kImageSize entries, left as they are elsewhere) every
// address that a data record stored a byte at.
std::int32_t ReadHexRecords(CharStream& in, CodeImage& image, HexLoadReport& report,
                            std::vector<bool>& recorded);
std::int32_t ReadHexRecords(CharStream& in, CodeImage& image);

// One message for the operator about a report that is not clean: the file, the first
// bad line with its number and text, what is wrong with it, how many lines are.
std::string HexReportText(const std::string& path, const HexLoadReport& report);

}  // namespace vql
