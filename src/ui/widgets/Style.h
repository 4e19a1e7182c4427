// The one look of every view: the colour roles, the fixed colours that mean
// something (pin colours, the playhead, warnings) and the text styles, so
// that no view picks a colour or a font size of its own.
//
// Platform colours are roles of the widget's palette, so a dark or
// high-contrast desktop theme carries over: accent = Highlight, text
// background = Base, window background = Window, label = Text, secondary and
// tertiary label = Text at lower alpha, separator = Mid. The fixed colours
// stand for states that must read the same in every theme.
//
// Sizes are logical pixels throughout, fonts too (pixel sizes, never
// points), so that a layout measured in points keeps its proportions at any
// device pixel ratio. Main thread only (fonts and palettes are GUI objects).
#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>

class QWidget;

namespace qm::style {

// --- Palette roles -------------------------------------------------------
QColor accent(const QPalette& palette);
QColor textBackground(const QPalette& palette);
QColor windowBackground(const QPalette& palette);
QColor label(const QPalette& palette);
QColor secondaryLabel(const QPalette& palette);
QColor tertiaryLabel(const QPalette& palette);
QColor separator(const QPalette& palette);
// The same roles from the application palette.
QPalette appPalette();

// A colour with its alpha multiplied by `alpha` (0 ... 1).
QColor withAlpha(QColor colour, double alpha);
// `top` painted over `bottom` (source over), as one colour.
QColor over(const QColor& top, const QColor& bottom);

// --- Fixed colours -------------------------------------------------------
QColor green();
QColor purple();
QColor orange();
QColor yellow();
QColor red();

// `colour` deepened (on a light background) or lightened (on a dark one)
// in its own hue until it keeps 4.5:1 against `background`, as body text
// must.
QColor readable(const QColor& colour, const QColor& background);
// Texts of failures and warnings: orange, readable on the window.
QColor warning(const QPalette& palette);

// The sections of a piece of music wherever the editor marks them: the
// waveform's tints and flags, the temp-edit panel's chips.
inline QColor introColor() { return green(); }
inline QColor loopColor() { return purple(); }
inline QColor endingColor() { return orange(); }
// The moving play position of every waveform.
inline QColor playheadColor() { return red(); }

// --- Text ----------------------------------------------------------------
enum class TextStyle {
    body,      // 13 px
    headline,  // 13 px semibold
    callout,   // 12 px
    caption,   // 10 px
    caption2,  // 10 px, a lighter weight
    small,     // 11 px: controls of the small size
    mini,      // 9 px: controls of the mini size
};

// The application font at a pixel size, weight and, optionally, with fixed
// pitch (for readouts whose digits must not jump).
QFont font(double pixelSize, QFont::Weight weight = QFont::Normal, bool monospaced = false);
QFont font(TextStyle style);
// The desktop's own text font and size, for texts that must be read.
QFont readingFont();

// Sets a widget's font to a text style (its children inherit it).
void setTextStyle(QWidget* widget, TextStyle style);
// Sets a widget's text colour to a palette-derived or fixed colour.
void setTextColour(QWidget* widget, const QColor& colour);

}  // namespace qm::style
