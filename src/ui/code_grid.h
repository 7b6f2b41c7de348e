// StringGrid1: the code image as a table of bytes, sixteen to a row, each row headed
// by the address of its first byte, with one fixed header row ("Addr", "00".."0F").
// For display only: cells can be selected and the rows scrolled, never edited.
//
// A model/view table: the model keeps a snapshot of the image, as the window
// services hand it over, and the view asks it only for the cells it paints, so that
// a refresh of all 65,536 bytes costs a copy, not 65,536 items.
#pragma once

#include <QFont>
#include <QString>
#include <QTableView>

#include "image/code_image.h"

namespace vql::ui {

class CodeGridModel;
class CellDelegate;

class CodeGrid : public QTableView {
  Q_OBJECT

 public:
  explicit CodeGrid(QWidget* parent = nullptr);
  ~CodeGrid() override;

  // Rewrites every cell from the image (a snapshot: later changes of the image are
  // not seen until the next call).
  void ShowImage(const CodeImage& image);

  // What a cell shows, counted as the grid counts: column 0 the address, 1..16 the
  // bytes; row 0 the header, 1..4096 the data. Empty before the first ShowImage.
  QString CellText(int column, int row) const;

  static constexpr int kColumns = 17;
  static constexpr int kRows = 4097;  // the header row included

  // The font the cells are drawn in: the window's, or a smaller fixed-pitch one when
  // the window's does not fit two digits into a byte column.
  QFont CellFont() const;

 protected:
  void changeEvent(QEvent* event) override;
  // The last column takes what the others leave of the width.
  void updateGeometries() override;

 private:
  void FitCellFont();

  CodeGridModel* model_;
  CellDelegate* delegate_;
};

}  // namespace vql::ui
