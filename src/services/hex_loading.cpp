#include "services/hex_loading.h"

#include <utility>

#include "image/char_stream.h"
#include "image/hex_reader.h"

namespace vql {

void RefreshGrid(ImageState& state, WindowServices& window) {
  ResetAddressCounter(state.Counter);
  window.ShowImage(state.Image);
  window.PumpMessages();
}

namespace {

std::int32_t ReadFile(ImageState& state, WindowServices& window, FileCharStream& in,
                      bool always) {
  HexLoadReport report;
  state.Recorded.assign(kImageSize, false);
  const std::int32_t extent = ReadHexRecords(in, state.Image, report, state.Recorded);
  if (!report.Clean() && (always || !(report == state.LastReport))) {
    window.ShowMessageBox(HexReportText(state.HexFilePath, report));
  }
  state.LastReport = report;
  return extent;
}

}  // namespace

std::optional<std::int32_t> LoadHexFromDialog(ImageState& state, WindowServices& window) {
  // The image is emptied only once a file is chosen: a cancelled dialog must not cost
  // the operator the image that the grid and the file box still show.
  auto chosen = window.ChooseHexFile();
  if (!chosen) return std::nullopt;
  ClearCodeImage(state.Image);
  state.FromUnvouchedRead = false;
  state.CompareOnly.clear();  // chosen for the file before
  state.HexFilePath = std::move(*chosen);
  state.LastReport = {};
  FileCharStream in(state.HexFilePath);
  window.ShowFileName(state.HexFilePath);
  const std::int32_t extent = ReadFile(state, window, in, true);
  RefreshGrid(state, window);
  return extent;
}

std::int32_t ReloadHexFile(ImageState& state, WindowServices& window) {
  ClearCodeImage(state.Image);
  state.FromUnvouchedRead = false;
  state.Recorded.clear();
  std::int32_t extent = 0;
  if (state.HexFilePath.empty()) {
    window.ShowMessageBox("The file name does not indentify!!");
  } else {
    FileCharStream in(state.HexFilePath);
    extent = ReadFile(state, window, in, false);
  }
  RefreshGrid(state, window);
  return extent;
}

}  // namespace vql
