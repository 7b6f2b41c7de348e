#include "portio/ftdi_io.h"

namespace vql {

std::string_view FtdiChipName(FtdiChip chip) {
  switch (chip) {
    case FtdiChip::FT232H:
      return "FT232H";
    case FtdiChip::FT2232H:
      return "FT2232H";
    case FtdiChip::FT232R:
      return "FT232R";
  }
  return "FT232H";
}

}  // namespace vql
