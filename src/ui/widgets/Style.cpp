#include "ui/widgets/Style.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace qm::style {

QColor accent(const QPalette& p) { return p.color(QPalette::Highlight); }
QColor textBackground(const QPalette& p) { return p.color(QPalette::Base); }
QColor windowBackground(const QPalette& p) { return p.color(QPalette::Window); }
QColor label(const QPalette& p) { return p.color(QPalette::Text); }
QColor secondaryLabel(const QPalette& p) { return withAlpha(label(p), 0.55); }
QColor tertiaryLabel(const QPalette& p) { return withAlpha(label(p), 0.3); }
QColor separator(const QPalette& p) { return p.color(QPalette::Mid); }

QPalette appPalette() { return QGuiApplication::palette(); }

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(static_cast<float>(std::clamp(colour.alphaF() * alpha, 0.0, 1.0)));
    return colour;
}

QColor over(const QColor& top, const QColor& bottom) {
    const double a = top.alphaF();
    const double b = bottom.alphaF() * (1 - a);
    const double out = a + b;
    if (out <= 0) return QColor(0, 0, 0, 0);
    auto mix = [&](double t, double u) { return (t * a + u * b) / out; };
    QColor c;
    c.setRgbF(static_cast<float>(mix(top.redF(), bottom.redF())), static_cast<float>(mix(top.greenF(), bottom.greenF())),
              static_cast<float>(mix(top.blueF(), bottom.blueF())), static_cast<float>(out));
    return c;
}

QColor green() { return QColor(52, 199, 89); }
QColor purple() { return QColor(175, 82, 222); }
QColor orange() { return QColor(255, 149, 0); }
QColor yellow() { return QColor(255, 204, 0); }
QColor red() { return QColor(255, 59, 48); }

namespace {

// The contrast ratio of two opaque colours (1 to 21), as accessibility
// guidelines measure it.
double contrast(const QColor& a, const QColor& b) {
    auto luminance = [](const QColor& c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

}  // namespace

QColor readable(const QColor& colour, const QColor& background) {
    const QColor back = over(background, QColor(Qt::white));
    const bool light = contrast(back, Qt::black) > contrast(back, Qt::white);
    QColor c = colour;
    for (int i = 0; i < 20 && contrast(over(c, back), back) < 4.5; ++i) c = light ? c.darker(110) : c.lighter(110);
    return c;
}

// Orange on white has a contrast of about 2:1; on a dark window it seldom
// needs lightening.
QColor warning(const QPalette& p) { return readable(orange(), windowBackground(p)); }

QFont font(double pixelSize, QFont::Weight weight, bool monospaced) {
    QFont f = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QGuiApplication::font();
    f.setPixelSize(std::max(1, static_cast<int>(pixelSize + 0.5)));
    f.setWeight(weight);
    return f;
}

QFont font(TextStyle s) {
    switch (s) {
        case TextStyle::body: return font(13);
        case TextStyle::headline: return font(13, QFont::DemiBold);
        case TextStyle::callout: return font(12);
        case TextStyle::caption: return font(10);
        case TextStyle::caption2: return font(10, QFont::Light);
        case TextStyle::small: return font(11);
        case TextStyle::mini: return font(9);
    }
    return font(13);
}

QFont readingFont() { return QGuiApplication::font(); }

void setTextStyle(QWidget* widget, TextStyle s) { widget->setFont(font(s)); }

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    p.setColor(QPalette::ButtonText, colour);
    widget->setPalette(p);
}

}  // namespace qm::style
