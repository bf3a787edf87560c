#pragma once

class QFont;
class QGroupBox;
class QWidget;

// The window's design places its controls in pixels, for Qt's own default
// font of 9 pt. A larger desktop font grows the whole design by one factor,
// so that its texts keep the room they had; a smaller one changes nothing.
[[nodiscard]] double layoutScaleFor(const QFont &desktopFont);
[[nodiscard]] int scaledPx(int px, double factor);
// Scales the geometry of every widget below `root` and the point sizes that
// their style sheets give.
void scaleLayout(QWidget *root, double factor);
// Moves what a frame holds down below the frame's caption, which a larger font
// or the style draws taller than the design left room for.
void keepBelowCaption(QGroupBox *frame);
