// The controls every view builds its rows from, so that buttons look and
// behave the same everywhere:
//
// - borderless buttons (auto-raise QToolButtons) with a text or a symbol;
// - switches shown as buttons that stay pressed while on (checkable);
// - menu buttons that open their menu at once and keep their natural size;
// - dividers of a fixed length;
// - control sizes: `small` (11 px text, 14 px icons) for toolbars and
//   transports, `mini` (9 px text, 10 px icons) for dense columns.
//
// Help texts are tooltips. A control's object name is its identity for
// tests (set it with `named`); a control that shows only a symbol is named
// for screen readers by its help's words.
// Main thread only.
#pragma once

#include <QString>

class QComboBox;
class QFrame;
class QMenu;
class QToolButton;
class QWidget;

namespace qm::widgets {

enum class ControlSize { regular, small, mini };

// A borderless button showing text.
QToolButton* textButton(const QString& text, const QString& help, ControlSize size, QWidget* parent);
// A borderless button showing a symbol (ui/widgets/Icons.h), or the
// symbol's name when there is no icon of that name. Its accessible name is
// its help's first words, before a key in parentheses, a colon or a full
// stop ("Undo" of "Undo (Ctrl+Z)"); a button without help needs one given.
QToolButton* symbolButton(const QString& symbol, const QString& help, ControlSize size, QWidget* parent);

// Makes a button a switch that stays pressed while on.
QToolButton* asSwitch(QToolButton* button);
// A borderless button that opens `menu` when pressed (the menu is made and
// owned by the button when not given).
QToolButton* menuButton(const QString& text, const QString& help, ControlSize size, QWidget* parent,
                        QMenu* menu = nullptr);
// A combo box as wide as its longest item, which a layout never squeezes
// below that: QComboBox recomputes its size hint as items come and go but
// keeps the minimum it computed first, so a form filled later (a device
// list, larger text) would otherwise draw it past its parent's edge.
QComboBox* fittingComboBox(QWidget* parent);
// A vertical (or horizontal) line `length` px long.
QFrame* divider(Qt::Orientation orientation, int length, QWidget* parent);
// Sets the text and icon sizes of a control size on any widget.
void setControlSize(QWidget* widget, ControlSize size);
template <class W>
W* named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

}  // namespace qm::widgets
