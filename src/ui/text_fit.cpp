#include "ui/text_fit.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

namespace vql::ui {

namespace {

// The narrowest stretch that is still read easily, and the step towards it.
constexpr int kNarrowestStretch = 50;
constexpr int kStretchStep = 10;

int Advance(const QWidget& control, const QString& text) {
  return control.fontMetrics().horizontalAdvance(text);
}

}  // namespace

bool CaptionFits(const QWidget& control) {
  const QStyle* style = control.style();
  if (const auto* box = qobject_cast<const QCheckBox*>(&control)) {
    return box->sizeHint().width() <= box->width();
  }
  if (const auto* button = qobject_cast<const QPushButton*>(&control)) {
    // The frame and a margin on either side; the style's full margin would not let
    // the two letters of a 33-pixel button fit in any font.
    const int frame = style->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
    return Advance(*button, button->text()) + 2 * (frame + 2) <= button->width();
  }
  if (const auto* group = qobject_cast<const QGroupBox*>(&control)) {
    // The title sits inset on the frame's top line.
    return Advance(*group, group->title()) + 16 <= group->width();
  }
  if (const auto* label = qobject_cast<const QLabel*>(&control)) {
    return label->text().isEmpty() || Advance(*label, label->text()) <= label->width();
  }
  return true;
}

int TextRoom(const QLineEdit& box) {
  // A line box draws its frame and keeps two pixels on either side of its text.
  const int frame = box.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, &box);
  const QMargins margins = box.textMargins();
  return box.width() - 2 * frame - 4 - margins.left() - margins.right();
}

QFont FontFitting(const QFont& base, const QString& text, int room) {
  QFont font = base;
  const int largest = font.pixelSize() > 0 ? font.pixelSize() : kLayoutFontPixels;
  const auto fits = [&] { return QFontMetrics(font).horizontalAdvance(text) <= room; };
  for (int pixels = largest; pixels >= kSmallestFontPixels; --pixels) {
    font.setPixelSize(pixels);
    if (fits()) return font;
  }
  for (int stretch = 100 - kStretchStep; stretch >= kNarrowestStretch; stretch -= kStretchStep) {
    font.setStretch(stretch);
    if (fits()) return font;
  }
  return font;
}

}  // namespace vql::ui
