// The code image with what belongs to it: the address counter, the HEX file last
// chosen, and what was wrong with that file's records. One per program run.
#pragma once

#include <string>

#include "image/code_image.h"
#include "image/hex_reader.h"

namespace vql {

struct ImageState {
  CodeImage Image;
  AddressCounter Counter;
  std::string HexFilePath;  // the file last chosen in the dialog; empty until then
  HexLoadReport LastReport;  // what was wrong with the records of the last load or reload
};

}  // namespace vql
