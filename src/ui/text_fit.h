// Texts in a fixed pixel layout: whether a control's caption fits its width, and
// the font that makes a text fit a line box. The layout is in pixels, so the
// window's font is too, whatever the desktop's default.
#pragma once

#include <QFont>
#include <QString>

class QLineEdit;
class QWidget;

namespace vql::ui {

// The pixel size the layout was drawn for, and the smallest that stays legible.
constexpr int kLayoutFontPixels = 11;
constexpr int kSmallestFontPixels = 8;

// Whether the caption of a push button, check box, group box or label fits inside
// the control at its font; controls without a caption fit.
bool CaptionFits(const QWidget& control);

// The width inside a line box that its text can use.
int TextRoom(const QLineEdit& box);

// base at the largest pixel size down to kSmallestFontPixels at which text fits in
// room; below that, narrowed at the smallest size. The narrowest is returned when
// nothing fits.
QFont FontFitting(const QFont& base, const QString& text, int room);

}  // namespace vql::ui
