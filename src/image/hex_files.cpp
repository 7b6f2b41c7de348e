#include "image/hex_files.h"

#include "image/hex_reader.h"

#include <utility>

namespace vql {

void RefreshGrid(ImageState& state, WindowServices& window) {
  ResetAddressCounter(state.Counter);
  window.ShowImage(state.Image);
  window.PumpMessages();
}

// GCC 12 at -O3 inlines the "\n" + string and " " + string below into std::string's
// replace and then warns that its memcpy may overlap, with lengths near SIZE_MAX that
// no string can have: a false positive of that compiler version (-Wrestrict).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
std::string HexReportText(const std::string& path, const HexLoadReport& report) {
  std::string text = "\"" + path + "\", line " + std::to_string(report.firstLine) + ": " +
                     report.firstProblem + ":\n" + report.firstText;
  if (report.badLines > 1) {
    text += "\n" + std::to_string(report.badLines) + " lines of the file have such problems.";
  } else {
    text += "\nNo other line has a problem.";
  }
  if (report.droppedBytes > 0) {
    text += " " + std::to_string(report.droppedBytes) + " data bytes at 64 KiB or above were not loaded.";
  }
  text += " The image holds the records as they were read; bytes that are no hex digits are "
          "never sent to a chip.";
  return text;
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

namespace {

std::int32_t ReadFile(ImageState& state, WindowServices& window, FileCharStream& in,
                      bool always) {
  HexLoadReport report;
  const std::int32_t extent = ReadHexRecords(in, state.Image, report);
  if (!report.Clean() && (always || !(report == state.LastReport))) {
    window.ShowMessageBox(HexReportText(state.HexFilePath, report));
  }
  state.LastReport = report;
  return extent;
}

}  // namespace

std::int32_t LoadHexFromDialog(ImageState& state, WindowServices& window) {
  ClearCodeImage(state.Image);  // before the dialog: a cancelled load leaves an empty image
  std::int32_t extent = 0;
  if (auto chosen = window.ChooseHexFile()) {
    state.HexFilePath = std::move(*chosen);
    state.LastReport = {};
    FileCharStream in(state.HexFilePath);
    window.ShowFileName(state.HexFilePath);
    extent = ReadFile(state, window, in, true);
  } else {
    state.LastReport = {};
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
    extent = ReadFile(state, window, in, false);
  }
  RefreshGrid(state, window);
  return extent;
}

}  // namespace vql
