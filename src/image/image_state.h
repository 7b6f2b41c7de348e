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
  // The image holds what a Read Chip got from a chip that may not have shown its code
  // (a chip that missed the enable, or one whose lock bits may hide it): comparing
  // the chip with it shows nothing.
  bool FromUnvouchedRead = false;
};

}  // namespace vql
