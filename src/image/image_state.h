// The code image with what belongs to it: the address counter, the HEX file last
// chosen, and what was wrong with that file's records. One per program run.
#pragma once

#include <string>
#include <vector>

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
  // Per address, whether the data records of the last load or reload gave it a byte;
  // empty until a file is loaded.
  std::vector<bool> Recorded;
  // Set (kImageSize entries): Verify, and Auto-program's verify, compare only the
  // addresses marked here, such as the records of a file whose gaps the chip may fill
  // with other data. Empty: every address up to the image's end, the gaps as FF.
  std::vector<bool> CompareOnly;
};

}  // namespace vql
