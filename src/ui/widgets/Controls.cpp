#include "ui/widgets/Controls.h"

#include <algorithm>

#include <QComboBox>
#include <QFontMetrics>
#include <QFrame>
#include <QMenu>
#include <QToolButton>

#include "ui/widgets/Icons.h"
#include "ui/widgets/Style.h"

namespace qm::widgets {

namespace {

int iconSize(ControlSize size) {
    switch (size) {
        case ControlSize::regular: return 16;
        case ControlSize::small: return 14;
        case ControlSize::mini: return 10;
    }
    return 16;
}

QToolButton* borderless(const QString& help, ControlSize size, QWidget* parent) {
    auto* b = new QToolButton(parent);
    b->setAutoRaise(true);
    b->setFocusPolicy(Qt::TabFocus);
    if (!help.isEmpty()) b->setToolTip(help);
    setControlSize(b, size);
    return b;
}

// What a screen reader says for a button that shows only a symbol.
QString spokenName(const QString& help) {
    qsizetype end = help.size();
    for (const char* stop : {" (", ": ", ". "})
        if (const qsizetype at = help.indexOf(QLatin1String(stop)); at >= 0) end = std::min(end, at);
    QString name = help.left(end).trimmed();
    if (name.endsWith(QLatin1Char('.'))) name.chop(1);
    return name;
}

}  // namespace

void setControlSize(QWidget* widget, ControlSize size) {
    switch (size) {
        case ControlSize::regular: style::setTextStyle(widget, style::TextStyle::body); break;
        case ControlSize::small: style::setTextStyle(widget, style::TextStyle::small); break;
        case ControlSize::mini: style::setTextStyle(widget, style::TextStyle::mini); break;
    }
    if (auto* b = qobject_cast<QToolButton*>(widget)) b->setIconSize(QSize(iconSize(size), iconSize(size)));
}

QToolButton* textButton(const QString& text, const QString& help, ControlSize size, QWidget* parent) {
    auto* b = borderless(help, size, parent);
    // A lone "&" would mark a mnemonic ("Top & Tails").
    b->setText(QString(text).replace(QLatin1Char('&'), QStringLiteral("&&")));
    b->setToolButtonStyle(Qt::ToolButtonTextOnly);
    return b;
}

QToolButton* symbolButton(const QString& symbol, const QString& help, ControlSize size, QWidget* parent) {
    auto* b = borderless(help, size, parent);
    const QIcon icon = icons::symbol(symbol);
    // Without an icon of that name the button still says what it does.
    if (icon.isNull()) {
        b->setText(symbol);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        return b;
    }
    b->setIcon(icon);
    b->setToolButtonStyle(Qt::ToolButtonIconOnly);
    // A symbol says nothing to a screen reader: the help's words do.
    b->setAccessibleName(spokenName(help));
    return b;
}

QToolButton* asSwitch(QToolButton* button) {
    button->setCheckable(true);
    return button;
}

QToolButton* menuButton(const QString& text, const QString& help, ControlSize size, QWidget* parent, QMenu* menu) {
    auto* b = textButton(text, help, size, parent);
    if (!menu) menu = new QMenu(b);
    b->setMenu(menu);
    b->setPopupMode(QToolButton::InstantPopup);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return b;
}

namespace {

class FittingComboBox : public QComboBox {
public:
    explicit FittingComboBox(QWidget* parent) : QComboBox(parent) { setSizeAdjustPolicy(QComboBox::AdjustToContents); }
    // QComboBox measures its items by their ink (bounding box) but elides
    // the shown one by its advance, which is wider for a text ending in a
    // glyph with space after its ink ("Choose…"): the difference is added.
    QSize sizeHint() const override {
        QSize hint = QComboBox::sizeHint();
        const QFontMetrics m(font());
        int more = 0;
        for (int i = 0; i < count(); ++i) {
            const QString text = itemText(i);
            more = std::max(more, m.horizontalAdvance(text) - m.boundingRect(text).width());
        }
        return hint + QSize(more, 0);
    }
    QSize minimumSizeHint() const override { return sizeHint(); }
};

}  // namespace

QComboBox* fittingComboBox(QWidget* parent) { return new FittingComboBox(parent); }

QFrame* divider(Qt::Orientation orientation, int length, QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(orientation == Qt::Vertical ? QFrame::VLine : QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    QPalette p = line->palette();
    p.setColor(QPalette::WindowText, style::separator(p));
    line->setPalette(p);
    if (orientation == Qt::Vertical)
        line->setFixedSize(1, length);
    else if (length > 0)
        line->setFixedSize(length, 1);
    else
        line->setFixedHeight(1);
    return line;
}

}  // namespace qm::widgets
