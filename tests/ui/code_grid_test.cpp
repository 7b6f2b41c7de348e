#include "ui/code_grid.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>

#include "image/char_stream.h"
#include "image/hex_reader.h"

namespace vql::ui {
namespace {

// A row of the grid as the operator reads it, cells joined by blanks.
QString RowText(const CodeGrid& grid, int row) {
  QStringList cells;
  for (int column = 0; column < CodeGrid::kColumns; ++column) cells << grid.CellText(column, row);
  return cells.join(QLatin1Char(' '));
}

const QString kEmptyRowTail = QStringLiteral(" FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF");

TEST(CodeGridTest, IsEmptyUntilTheFirstImage) {
  const CodeGrid grid;
  EXPECT_EQ(RowText(grid, 0).trimmed(), QString());
  EXPECT_EQ(RowText(grid, 1).trimmed(), QString());
}

TEST(CodeGridTest, ShowsHeaderAddressesAndErasedBytes) {
  CodeGrid grid;
  grid.ShowImage(CodeImage{});
  EXPECT_EQ(RowText(grid, 0), "Addr 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
  for (const auto& [row, address] :
       {std::pair{1, "0000"}, {2, "0010"}, {11, "00A0"}, {257, "1000"}, {4096, "FFF0"}}) {
    EXPECT_EQ(RowText(grid, row), address + kEmptyRowTail) << "row " << row;
  }
}

TEST(CodeGridTest, ShowsLoadedRecordInItsRow) {
  CodeImage image;
  MemoryCharStream in(":0400100012345678D8\r\n");
  ReadHexRecords(in, image);
  CodeGrid grid;
  grid.ShowImage(image);
  EXPECT_EQ(RowText(grid, 1), "0000" + kEmptyRowTail);
  EXPECT_EQ(RowText(grid, 2), "0010 12 34 56 78 FF FF FF FF FF FF FF FF FF FF FF FF");
  EXPECT_EQ(RowText(grid, 3), "0020" + kEmptyRowTail);
}

TEST(CodeGridTest, ShowsAnyStoredCharacterUnchanged) {
  struct Case {
    char high, low;
    QString shown;
  };
  for (const Case& c : {Case{'a', '7', "a7"}, Case{'G', 'z', "Gz"}, Case{' ', ':', " :"},
                        Case{'\xE9', 'F', QStringLiteral(u"\u00E9F")}}) {
    CodeImage image;
    image.HighDigits[0xFFFF] = c.high;
    image.LowDigits[0xFFFF] = c.low;
    CodeGrid grid;
    grid.ShowImage(image);
    EXPECT_EQ(grid.CellText(16, 4096), c.shown);
    EXPECT_EQ(grid.CellText(15, 4096), "FF");
  }
}

TEST(CodeGridTest, KeepsItsSnapshotUntilTheNextImage) {
  CodeImage image;
  CodeGrid grid;
  grid.ShowImage(image);
  image.HighDigits[0] = '0';
  EXPECT_EQ(grid.CellText(1, 1), "FF");
  grid.ShowImage(image);
  EXPECT_EQ(grid.CellText(1, 1), "0F");
}

// The design's widths and the grid line right of each.
TEST(CodeGridTest, HasTheGridGeometry) {
  CodeGrid grid;
  EXPECT_EQ(grid.columnWidth(0), 33);
  for (int column = 1; column < CodeGrid::kColumns - 1; ++column)
    EXPECT_EQ(grid.columnWidth(column), 19);
  for (int row : {0, 1, 4095}) EXPECT_EQ(grid.rowHeight(row), 18);
  EXPECT_EQ(grid.horizontalHeader()->height(), 18);
  EXPECT_TRUE(grid.verticalHeader()->isHidden());
  EXPECT_TRUE(grid.showGrid());
}

// The window's font where two digits fit a byte column, a smaller one where not,
// also when the window changes its font after the grid was made.
TEST(CodeGridTest, CellFontFitsTwoDigitsIntoAByteColumn) {
  for (const auto& [pixels, windowFontFits] : {std::pair{8, true}, {14, false}, {20, false}}) {
    QWidget window;
    CodeGrid grid(&window);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(pixels);
    window.setFont(font);
    EXPECT_EQ(grid.CellFont() == grid.font(), windowFontFits) << pixels << " px";
    EXPECT_LT(QFontMetrics(grid.CellFont()).horizontalAdvance(QStringLiteral("DD")) + 2, 18)
        << pixels << " px";
  }
}

class ShownGridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    grid.setGeometry(0, 0, 361, 305);  // its place in the main window
    grid.ShowImage(CodeImage{});
    grid.show();
    QApplication::processEvents();
  }

  void Click(int column, int row, QEvent::Type type) {
    const QPoint at = grid.visualRect(grid.model()->index(row - 1, column)).center();
    QMouseEvent event(type, at, grid.viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(grid.viewport(), &event);
  }

  CodeGrid grid;
};

// No blank band before the scroll bar: the last column reaches it, a few pixels wider
// than the others.
TEST_F(ShownGridTest, TheColumnsFillItsWidth) {
  EXPECT_EQ(grid.horizontalHeader()->length(), grid.viewport()->width());
  EXPECT_LE(grid.columnWidth(CodeGrid::kColumns - 1) - 19, 8);
}

TEST_F(ShownGridTest, ScrollsToTheLastRow) {
  grid.verticalScrollBar()->setValue(grid.verticalScrollBar()->maximum());
  QApplication::processEvents();
  const int lastVisible = grid.rowAt(grid.viewport()->height() - 1);
  EXPECT_EQ(grid.model()->index(lastVisible, 0).data().toString(), "FFF0");
}

TEST_F(ShownGridTest, SelectsButNeverEditsACell) {
  Click(3, 2, QEvent::MouseButtonPress);
  Click(3, 2, QEvent::MouseButtonRelease);
  Click(3, 2, QEvent::MouseButtonDblClick);
  EXPECT_TRUE(grid.selectionModel()->isSelected(grid.model()->index(1, 3)));
  EXPECT_TRUE(grid.findChildren<QLineEdit*>().isEmpty());
  EXPECT_EQ(grid.CellText(3, 2), "FF");
}

}  // namespace
}  // namespace vql::ui
