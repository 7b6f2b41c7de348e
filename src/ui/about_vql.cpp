#include "ui/about_vql.h"

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QStyle>
#include <QTextDocument>
#include <algorithm>

#include "devices/device_table.h"
#include "ui/text_fit.h"

namespace vql::ui {

namespace {

// The devices, one a line in table order; the last one stands apart after an empty
// line, as the memo has always shown it.
QStringList DeviceLines() {
  QStringList lines;
  for (const DeviceInfo& device : kDevices) {
    if (&device == &kDevices.back()) lines.append(QString());
    lines.append(
        QString::fromLatin1(device.name.data(), static_cast<qsizetype>(device.name.size())));
  }
  return lines;
}

// The memo's lines, one entry a line; the blanks at the end of some lines and the
// empty lines belong to the text.
const QStringList& MemoLines() {
  static const QStringList lines = QStringList{
      QString(),
      QStringLiteral("VQL-ISP AT89S-SERIES "),
      QStringLiteral("PC Based Software (In System Programming)"),
      QString(),
      QStringLiteral("Software Version Information"),
      QStringLiteral("VQL-ISP AT89S-SERIES now "),
      QStringLiteral("supports the following devices:"),
      QString(),
  } + DeviceLines() + QStringList{
      QString(),
      QString(),
      QStringLiteral("It also supports the use of LPT1 and LPT2."),
      QString(),
      QStringLiteral("Legalities"),
      QStringLiteral("This program is free: anyone may use, copy and"),
      QStringLiteral("pass it on, free of charge, with this notice."),
      QStringLiteral("It comes with no warranty of any kind; you use it"),
      QStringLiteral("at your own risk, and its authors are not liable"),
      QStringLiteral("for damage to chips, boards, ports or data."),
      QStringLiteral("AT89S and the device names above are trademarks"),
      QStringLiteral("of their makers, who neither endorse nor support"),
      QStringLiteral("this program."),
  };
  return lines;
}

const QColor kNavy(0, 0, 128);
constexpr int kSmallestPixelSize = 8;

// The box is laid out in pixels, so its lettering is sized in pixels too. A label
// must keep clear of what lies to its right (the memo, the other label), so on a
// system whose fonts run wide it takes the largest size up to pixelSize that fits
// in maxWidth.
QLabel* NavyLabel(const QString& text, int pixelSize, int maxWidth, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  for (int size = pixelSize; size >= kSmallestPixelSize; --size) {
    font.setPixelSize(size);
    label->setFont(font);
    label->adjustSize();
    if (label->width() <= maxWidth) break;
  }
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kNavy);
  label->setPalette(palette);
  return label;
}

}  // namespace

TfrmAboutVql::TfrmAboutVql(QWidget* mainWindow, const QString& configFile)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint),
      mainWindow_(mainWindow) {
  setWindowTitle(QStringLiteral("About VQL"));
  setFixedSize(400, 186);
  // Laid out in pixels, as the main window: its size, whatever the desktop's.
  QFont boxFont = font();
  boxFont.setPixelSize(kLayoutFontPixels);
  setFont(boxFont);

  Image1 = new QLabel(this);
  Image1->setPixmap(QPixmap(QStringLiteral(":/logo.png")));
  Image1->setScaledContents(true);
  Image1->setGeometry(8, 24, 129, 81);

  // Label2 ends before the memo, Label4 before Label3, Label3 before OK.
  Label2 = NavyLabel(QStringLiteral("AT89S SERIES"), 16, 152 - 8 - 2, this);
  Label2->move(8, 112);
  Label4 = NavyLabel(QStringLiteral("In-System Programming"), 11, 153 - 3 - 2, this);
  Label4->move(3, 160);
  // The two lines at the bottom read as one, in one size.
  Label3 =
      NavyLabel(QStringLiteral("Version 2.3"), Label4->font().pixelSize(), 312 - 153 - 2, this);
  Label3->move(153, 160);

  Memo1 = new QPlainTextEdit(this);
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // The memo scrolls, so the line about the configuration goes below the text
  // without moving anything in the box.
  const QString configLine =
      QStringLiteral("Configuration file: ") +
      (configFile.isEmpty() ? QStringLiteral("none was read") : configFile);
  Memo1->setPlainText((MemoLines() + QStringList{QString(), configLine}).join(QLatin1Char('\n')));
  Memo1->setGeometry(152, 24, 241, 129);
  FitMemoFont();

  btnOk = new QPushButton(QStringLiteral("OK"), this);
  btnOk->setGeometry(312, 156, 75, 25);
  btnOk->setDefault(true);
  connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
}

// The largest size, up to the box's, at which the memo's longest line fits: the lines
// then break where the text breaks them, not wherever the width runs out.
void TfrmAboutVql::FitMemoFont() {
  const QStyle* style = Memo1->style();
  const int room = Memo1->width() - 2 * Memo1->frameWidth() -
                   style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, Memo1) -
                   2 * static_cast<int>(Memo1->document()->documentMargin()) - 2;
  const QFontMetrics metrics(font());
  const QStringList& lines = MemoLines();
  const auto widest = std::ranges::max_element(lines, {}, [&](const QString& line) {
    return metrics.horizontalAdvance(line);
  });
  Memo1->setFont(FontFitting(font(), *widest, room));
}

void TfrmAboutVql::showEvent(QShowEvent* event) {
  FormActivate();
  QDialog::showEvent(event);
}

// Both rectangles are the outer (frame) ones, and the halves are taken with integer
// division, so that the box lands where it always has, to the pixel.
void TfrmAboutVql::FormActivate() {
  const QRect main = mainWindow_->frameGeometry();
  const QRect box = frameGeometry();
  move(main.x() + main.width() / 2 - box.width() / 2,
       main.y() + main.height() / 2 - box.height() / 2);
}

}  // namespace vql::ui
