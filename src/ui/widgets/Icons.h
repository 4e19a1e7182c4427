// The one icon lookup of every view. Views name icons by symbol names such
// as "play.fill" or "plus.magnifyingglass"; the lookup answers the desktop
// theme's icon of the same meaning (freedesktop icon naming) when the theme
// has one, else a small monochrome SVG of our own from the resources
// (":/qm/symbols/<name>.svg"), drawn in the text colour of the application
// palette.
//
// A tinted icon ("exclamationmark.triangle.fill" in orange) is always our
// own shape filled with the colour: theme icons carry their own colours.
// A name we have no SVG for gives a null icon. To add a symbol, drop its
// SVG (16 x 16 view box, black shapes) into src/ui/widgets/symbols and, when
// the theme has an icon of that meaning, add the pair to the table in
// Icons.cpp.
//
// Main thread only. Results are cached per name and colour.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace qm::icons {

// The theme's icon, else ours in the palette's text colour.
QIcon symbol(const QString& name);
// Our own shape in `tint`.
QIcon symbol(const QString& name, const QColor& tint);
// True when we ship an SVG of that name.
bool hasOwnSymbol(const QString& name);
// Our shape rendered at `logicalSize` pixels for a device pixel ratio.
QPixmap ownPixmap(const QString& name, int logicalSize, const QColor& tint, double devicePixelRatio = 1.0);

// The program's own icon ("quillmarsh" of the icon theme where it is
// installed, else the copy in the resources): white shapes on a coloured
// plate, so that it reads on light and dark panels alike.
QIcon application();

}  // namespace qm::icons
