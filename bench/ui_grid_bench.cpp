// The cost of a grid refresh, on Qt's offscreen platform (unless the environment
// names another one). The goal is a millisecond or less for each.
//
//   ShowImage              the snapshot of 65,536 bytes handed to the grid: the copy
//                          and the one change notice, no painting
//   ShowImage+Repaint      the same, then a synchronous repaint of the cells the
//                          grid shows at its size in the main window (361 x 305)
//   ShowImage+Grab         the same, then the whole grid (header, scroll bars and
//                          frame included) rendered into a picture
//
// "cells" counts the cells a repaint draws.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QHeaderView>
#include <QPixmap>

#include <array>
#include <cstddef>

#include "image/code_image.h"
#include "ui/code_grid.h"

namespace {

// Two different images, so that each refresh really changes what the grid shows.
const std::array<vql::CodeImage, 2>& Images() {
  static const std::array<vql::CodeImage, 2> images = [] {
    std::array<vql::CodeImage, 2> made{};
    constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t a = 0; a < vql::kImageSize; ++a) {
      made[1].HighDigits[a] = kDigits[(a >> 4) & 0xF];
      made[1].LowDigits[a] = kDigits[a & 0xF];
    }
    return made;
  }();
  return images;
}

struct ShownGrid {
  ShownGrid() {
    grid.setGeometry(0, 0, 361, 305);
    grid.show();
    QApplication::processEvents();
  }
  vql::ui::CodeGrid grid;
};

void BM_ShowImage(benchmark::State& state) {
  vql::ui::CodeGrid grid;
  std::size_t i = 0;
  for (auto _ : state) grid.ShowImage(Images()[++i & 1]);
}

void BM_ShowImageRepaint(benchmark::State& state) {
  ShownGrid shown;
  std::size_t i = 0;
  for (auto _ : state) {
    shown.grid.ShowImage(Images()[++i & 1]);
    shown.grid.viewport()->repaint();
  }
  const QSize area = shown.grid.viewport()->size();
  const int rows = area.height() / shown.grid.rowHeight(0) + 1;
  state.counters["cells"] = static_cast<double>(rows * vql::ui::CodeGrid::kColumns);
}

void BM_ShowImageGrab(benchmark::State& state) {
  ShownGrid shown;
  std::size_t i = 0;
  for (auto _ : state) {
    shown.grid.ShowImage(Images()[++i & 1]);
    benchmark::DoNotOptimize(shown.grid.grab());
  }
}

BENCHMARK(BM_ShowImage)->Name("ShowImage")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShowImageRepaint)->Name("ShowImage+Repaint")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ShowImageGrab)->Name("ShowImage+Grab")->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
