// The Intel HEX record reader.
//
// A plain reader: a record is whatever follows a ":" - two characters of count, four
// of address and two of type, then 2 x count data characters taken by position and
// stored into the image verbatim. Types are not interpreted, checksums are not
// checked and line ends mean nothing; every other character between records is
// skipped. Stored files rely on exactly this behaviour.
#pragma once

#include <cstdint>

#include "image/char_stream.h"
#include "image/code_image.h"

namespace vql {

// Reads every record up to the end of input (physical end or Ctrl-Z) into image and
// returns the extent: the largest count + address over the records, or 0 when there
// were none. Data that would land outside 0000..FFFF (past the top, or at an address
// made negative by a non-digit) is dropped; the extent is computed all the same.
// Throws FileError when the input cannot be read.
std::int32_t ReadHexRecords(CharStream& in, CodeImage& image);

}  // namespace vql
