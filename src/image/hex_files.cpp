#include "image/hex_files.h"

#include "image/hex_reader.h"

#include <utility>

namespace vql {

void RefreshGrid(ImageState& state, WindowServices& window) {
  ResetAddressCounter(state.Counter);
  window.ShowImage(state.Image);
  window.PumpMessages();
}

std::int32_t LoadHexFromDialog(ImageState& state, WindowServices& window) {
  ClearCodeImage(state.Image);  // before the dialog: a cancelled load leaves an empty image
  std::int32_t extent = 0;
  if (auto chosen = window.ChooseHexFile()) {
    state.HexFilePath = std::move(*chosen);
    FileCharStream in(state.HexFilePath);
    window.ShowFileName(state.HexFilePath);
    extent = ReadHexRecords(in, state.Image);
  }
  RefreshGrid(state, window);
  return extent;
}

std::int32_t ReloadHexFile(ImageState& state, WindowServices& window) {
  ClearCodeImage(state.Image);
  std::int32_t extent = 0;
  if (state.HexFilePath.empty()) {
    window.ShowMessageBox("The file name does not indentify!!");
  } else {
    FileCharStream in(state.HexFilePath);
    extent = ReadHexRecords(in, state.Image);
  }
  RefreshGrid(state, window);
  return extent;
}

}  // namespace vql
