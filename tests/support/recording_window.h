// A window for tests: answers the file dialog from a script and records what the
// core showed, so tests can check what the operator would have seen.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/code_image.h"
#include "services/window_services.h"

namespace vql::testing {

class RecordingWindow final : public WindowServices {
 public:
  void PumpMessages() override { ++pumps; }
  void ShowMessageBox(std::string_view text) override { messageBoxes.emplace_back(text); }
  std::optional<std::string> ChooseHexFile() override { return nextChoice; }
  void ShowFileName(std::string_view path) override { fileName = path; }
  void ShowImage(const CodeImage& image) override {
    grid = std::make_unique<CodeImage>(image);
    ++gridRefreshes;
  }

  std::optional<std::string> nextChoice;  // what the dialog answers; nothing = Cancel

  int pumps = 0;
  std::vector<std::string> messageBoxes;
  std::string fileName;
  std::unique_ptr<CodeImage> grid;  // what the grid shows; null until the first refresh
  int gridRefreshes = 0;
};

}  // namespace vql::testing
