#include "ui/code_grid.h"

#include <QAbstractTableModel>
#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QHash>
#include <QHeaderView>
#include <QPainter>
#include <QProxyStyle>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cstddef>

namespace vql::ui {

namespace {

constexpr int kDataRows = CodeGrid::kRows - 1;
// The design's column widths; each column's section also holds the grid line to its
// right, and the last one takes what is left of the width, so that no band is left
// blank before the scroll bar.
constexpr int kAddressColumnWidth = 32;
constexpr int kByteColumnWidth = 18;
constexpr int kGridLine = 1;
constexpr int kRowHeight = 18;
// Room left of the text inside a cell, as in a classic string grid.
constexpr int kTextIndent = 2;
// Below this a fitted font would no longer be legible; it is used even if it does
// not fit.
constexpr int kSmallestPixelSize = 8;

constexpr std::array<char, 16> kHexDigits = {'0', '1', '2', '3', '4', '5', '6', '7',
                                             '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

QChar HexDigit(int value) {
  return QChar::fromLatin1(kHexDigits[static_cast<std::size_t>(value & 0xF)]);
}

// The image may hold any character a file contained; each one is shown as the single
// character it stands for, byte for byte (Latin-1), so nothing is hidden or merged.
QChar ImageChar(char c) { return QChar::fromLatin1(c); }

// The window's style, less the per-cell row panel: the table view asks the style to
// paint it under every cell, and a style such as Fusion works out its frame colours
// on each call, which cost a quarter of a repaint. The panel shows only alternating
// row colours (not used) and the selection, which the cell painting already shows.
class GridStyle final : public QProxyStyle {
 public:
  using QProxyStyle::QProxyStyle;

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element == PE_PanelItemViewRow) return;
    QProxyStyle::drawPrimitive(element, option, painter, widget);
  }
};

// Whether the widest address and the widest byte ("DDDD", "DD" in most fonts) fit
// their columns with the indent before them and a pixel to spare before the line.
bool FitsColumns(const QFont& font) {
  const QFontMetricsF metrics(font);
  qreal widest = 0;
  for (const char digit : kHexDigits) {
    widest = std::max(widest, metrics.horizontalAdvance(QChar::fromLatin1(digit)));
  }
  const qreal room = kTextIndent + 1;  // indent, spare pixel
  return 2 * widest + room <= kByteColumnWidth && 4 * widest + room <= kAddressColumnWidth &&
         metrics.height() < kRowHeight;
}

}  // namespace

// The rows of the grid below the header, over a private copy of the image. The
// header row is the view's horizontal header, so that it stays in place while the
// rows scroll, as a fixed row does.
class CodeGridModel final : public QAbstractTableModel {
 public:
  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : kDataRows;
  }
  int columnCount(const QModelIndex& parent = QModelIndex()) const override {
    return parent.isValid() ? 0 : CodeGrid::kColumns;
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return Text(index.column(), index.row() + 1);
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) return Text(section, 0);
    if (role == Qt::TextAlignmentRole) return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  }

  // One notification for the whole table: the view repaints what it shows and asks
  // for no other cell.
  void Show(const CodeImage& image) {
    high_ = image.HighDigits;
    low_ = image.LowDigits;
    if (!shown_) {
      shown_ = true;
      emit headerDataChanged(Qt::Horizontal, 0, CodeGrid::kColumns - 1);
    }
    emit dataChanged(index(0, 0), index(kDataRows - 1, CodeGrid::kColumns - 1), {Qt::DisplayRole});
  }

  // Counted as the grid counts: row 0 is the header.
  QString Text(int column, int row) const {
    if (!shown_ || column < 0 || column >= CodeGrid::kColumns || row < 0 || row > kDataRows) {
      return {};
    }
    if (row == 0) {
      if (column == 0) return QStringLiteral("Addr");
      const QChar offset[] = {HexDigit(0), HexDigit(column - 1)};
      return QString(offset, 2);
    }
    const int first = (row - 1) * 16;
    if (column == 0) {
      const QChar address[] = {HexDigit(first >> 12), HexDigit(first >> 8), HexDigit(first >> 4),
                               HexDigit(first)};
      return QString(address, 4);
    }
    const auto a = static_cast<std::size_t>(first + column - 1);
    const QChar pair[] = {ImageChar(high_[a]), ImageChar(low_[a])};
    return QString(pair, 2);
  }

 private:
  std::array<char, kImageSize> high_{};
  std::array<char, kImageSize> low_{};
  bool shown_ = false;
};

// Paints a cell as a plain string grid does: the text left-aligned a couple of
// pixels from the grid line, never elided, on the highlight colour when selected.
// The style's item painting would leave too little room for two digits in an
// 18-pixel column, and it costs far more: a refresh repaints a few hundred cells,
// and laying out their text anew each time would take most of a millisecond. So
// each distinct cell text is laid out once and kept, and the cells are painted with
// the ready glyphs.
class CellDelegate final : public QStyledItemDelegate {
 public:
  CellDelegate(const CodeGridModel* model, QObject* parent)
      : QStyledItemDelegate(parent), model_(model) {}

  void SetFont(const QFont& font) {
    font_ = font;
    lineHeight_ = QFontMetrics(font).height();
    texts_.clear();
  }
  const QFont& Font() const { return font_; }

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const QPalette::ColorGroup group =
        option.state.testFlag(QStyle::State_Active) ? QPalette::Active : QPalette::Inactive;
    if (selected) painter->fillRect(option.rect, option.palette.brush(group, QPalette::Highlight));
    painter->setPen(
        option.palette.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
    painter->setFont(font_);
    const QPoint topLeft(option.rect.left() + kTextIndent,
                         option.rect.top() + (option.rect.height() - lineHeight_) / 2);
    const QStaticText& text = LaidOut(model_->Text(index.column(), index.row() + 1));
    // Digits always fit (the font is chosen so); wide characters from a file might
    // not, and must not spill into the next cell.
    if (kTextIndent + text.size().width() <= option.rect.width()) {
      painter->drawStaticText(topLeft, text);
    } else {
      painter->save();
      painter->setClipRect(option.rect, Qt::IntersectClip);
      painter->drawStaticText(topLeft, text);
      painter->restore();
    }
    if (option.state.testFlag(QStyle::State_HasFocus)) {
      QStyleOptionFocusRect focus;
      focus.QStyleOption::operator=(option);
      focus.backgroundColor =
          option.palette.color(group, selected ? QPalette::Highlight : QPalette::Base);
      if (const QWidget* widget = option.widget; widget != nullptr) {
        widget->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
      }
    }
  }

 private:
  // An image normally holds a few hundred distinct byte texts; one that holds odd
  // characters everywhere could hold many more, so the store is emptied when it
  // grows past what a few screens show.
  static constexpr qsizetype kMostTexts = 8192;

  const QStaticText& LaidOut(const QString& text) const {
    auto found = texts_.constFind(text);
    if (found != texts_.constEnd()) return *found;
    if (texts_.size() >= kMostTexts) texts_.clear();
    QStaticText laidOut(text);
    laidOut.setTextFormat(Qt::PlainText);
    laidOut.prepare(QTransform(), font_);
    return *texts_.insert(text, laidOut);
  }

  const CodeGridModel* model_;
  QFont font_;
  int lineHeight_ = 0;
  mutable QHash<QString, QStaticText> texts_;
};

CodeGrid::CodeGrid(QWidget* parent)
    : QTableView(parent),
      model_(new CodeGridModel(this)),
      delegate_(new CellDelegate(model_, this)) {
  setModel(model_);
  setItemDelegate(delegate_);
  // A style of the same kind as the window's (a proxy made from a key owns its
  // base); the grid owns the proxy.
  auto* gridStyle = new GridStyle(style()->name());
  gridStyle->setParent(this);
  setStyle(gridStyle);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectItems);
  setShowGrid(true);
  setWordWrap(false);

  QHeaderView* rows = verticalHeader();
  rows->hide();
  rows->setMinimumSectionSize(1);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(kRowHeight);

  QHeaderView* columns = horizontalHeader();
  columns->setMinimumSectionSize(1);
  columns->setSectionResizeMode(QHeaderView::Fixed);
  columns->setSectionsMovable(false);
  columns->setSectionsClickable(false);
  columns->setHighlightSections(false);
  columns->setStretchLastSection(false);  // see updateGeometries
  columns->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  columns->setTextElideMode(Qt::ElideNone);
  columns->setDefaultSectionSize(kByteColumnWidth + kGridLine);
  columns->resizeSection(0, kAddressColumnWidth + kGridLine);
  // The header is the grid's fixed row: as tall as any other row.
  columns->setFixedHeight(kRowHeight);
  FitCellFont();
}

CodeGrid::~CodeGrid() = default;

void CodeGrid::ShowImage(const CodeImage& image) { model_->Show(image); }

QString CodeGrid::CellText(int column, int row) const { return model_->Text(column, row); }

QFont CodeGrid::CellFont() const { return delegate_->Font(); }

void CodeGrid::updateGeometries() {
  QHeaderView* columns = horizontalHeader();
  const int last = kColumns - 1;
  const int others = columns->length() - columns->sectionSize(last);
  columns->resizeSection(last, std::max(kByteColumnWidth + kGridLine, viewport()->width() - others));
  QTableView::updateGeometries();
}

void CodeGrid::changeEvent(QEvent* event) {
  QTableView::changeEvent(event);
  if (event->type() == QEvent::FontChange) FitCellFont();
}

// The window's font where it fits; otherwise the system's fixed-pitch font at the
// largest pixel size, no larger than the window's, that does.
void CodeGrid::FitCellFont() {
  QFont cellFont = font();
  if (!FitsColumns(cellFont)) {
    cellFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    int size = QFontInfo(font()).pixelSize();
    for (; size > kSmallestPixelSize; --size) {
      cellFont.setPixelSize(size);
      if (FitsColumns(cellFont)) break;
    }
    cellFont.setPixelSize(size);
  }
  delegate_->SetFont(cellFont);
  horizontalHeader()->setFont(cellFont);
  viewport()->update();
}

}  // namespace vql::ui
