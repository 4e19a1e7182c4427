#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "ui/widgets/Icons.h"
#include "ui/widgets/RectFill.h"
#include "ui/widgets/Style.h"

using namespace qm;

TEST(Icons, EverySymbolTheViewsNameHasAShapeOfOurOwn) {
    for (const char* name :
         {"waveform.path.ecg", "arrow.uturn.backward", "arrow.uturn.forward", "dot.squareshape.split.2x2",
          "minus.magnifyingglass", "plus.magnifyingglass", "backward.end.fill", "backward.fill", "play.fill",
          "stop.fill", "forward.fill", "forward.end.fill", "repeat", "exclamationmark.triangle.fill", "metronome",
          "slider.horizontal.3", "folder.badge.plus", "play.circle", "sparkles", "checkmark.circle.fill"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(icons::hasOwnSymbol(name));
        EXPECT_FALSE(icons::symbol(name).isNull());
    }
    EXPECT_FALSE(icons::hasOwnSymbol("no.such.symbol"));
    EXPECT_TRUE(icons::symbol("no.such.symbol").isNull());
}

TEST(Icons, ATintedSymbolIsOurShapeInThatColour) {
    const QImage image = icons::ownPixmap("stop.fill", 16, style::orange(), 2.0).toImage();
    ASSERT_EQ(image.size(), QSize(32, 32));
    EXPECT_EQ(image.pixelColor(16, 16).rgb(), style::orange().rgb()) << "inside the square";
    EXPECT_EQ(image.pixelColor(1, 1).alpha(), 0) << "outside it";
    EXPECT_FALSE(icons::symbol("sparkles", style::purple()).isNull());
}

TEST(RectFill, CoversPixelCentresAtAnyScaleAndBlendsTranslucentColours) {
    QImage image(40, 40, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(4);
    image.fill(Qt::white);
    {
        QPainter p(&image);
        std::vector<QRectF> rects{QRectF(1, 2, 1, 0.75), QRectF(5, 0, 0.1, 10)};
        widgets::fillRects(p, rects, Qt::blue);
        widgets::fillRects(p, {QRectF(7, 0, 2, 10)}, QColor(255, 0, 0, 128));
    }
    // (1, 2, 1, 0.75) is pixels 4..7 by 8..10 at scale 4.
    EXPECT_EQ(image.pixelColor(4, 8), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(7, 10), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(8, 8), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(4, 11), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(20, 5), QColor(Qt::blue)) << "a hairline keeps one pixel";
    const QColor blended = image.pixelColor(30, 20);
    EXPECT_NEAR(blended.red(), 255, 1);
    EXPECT_NEAR(blended.green(), 127, 2);
    EXPECT_NEAR(blended.blue(), 127, 2);

    // Another device takes the painter's own path, to the same effect.
    QImage rgb888(40, 40, QImage::Format_RGB888);
    rgb888.fill(Qt::white);
    {
        QPainter p(&rgb888);
        widgets::fillRects(p, {QRectF(4, 8, 4, 3)}, Qt::blue);
    }
    EXPECT_EQ(rgb888.pixelColor(5, 9), QColor(Qt::blue));
    EXPECT_EQ(rgb888.pixelColor(9, 9), QColor(Qt::white));
}

TEST(Style, FixedColoursAndComposedTints) {
    EXPECT_EQ(style::introColor(), style::green());
    EXPECT_EQ(style::loopColor(), style::purple());
    EXPECT_EQ(style::endingColor(), style::orange());
    const QColor c = style::over(QColor(255, 0, 0, 128), Qt::white);
    EXPECT_EQ(c.alpha(), 255);
    EXPECT_NEAR(c.green(), 127, 1);
    EXPECT_EQ(style::font(style::TextStyle::caption).pixelSize(), 10);
    EXPECT_EQ(style::withAlpha(QColor(0, 0, 0), 0.5).alpha(), 128);
}

namespace {

double luminance(const QColor& c) {
    auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The share of a 22 px panel slot that stands out from the panel's colour
// once the icon is drawn on it.
double standsOut(const QPixmap& icon, const QColor& panel) {
    QImage slot(22, 22, QImage::Format_ARGB32);
    slot.fill(panel);
    {
        QPainter p(&slot);
        p.drawPixmap(QRect(0, 0, 22, 22), icon);
    }
    int differing = 0;
    for (int y = 0; y < slot.height(); ++y)
        for (int x = 0; x < slot.width(); ++x)
            if (contrast(slot.pixelColor(x, y), panel) >= 3) ++differing;
    return differing / double(slot.width() * slot.height());
}

}  // namespace

TEST(Icons, TheApplicationsIconReadsOnLightAndDarkPanels) {
    const QPixmap icon = icons::application().pixmap(22, 22);
    ASSERT_FALSE(icon.isNull()) << "the icon is in the resources";
    for (const QColor& panel : {QColor(0xf6, 0xf5, 0xf4), QColor(0x24, 0x24, 0x24), QColor(Qt::white), QColor(Qt::black)})
        EXPECT_GE(standsOut(icon, panel), 0.4) << panel.name().toStdString();
    // The measure tells a black symbol on a dark panel, as the tray had it.
    const QPixmap black = icons::ownPixmap(QStringLiteral("waveform.circle"), 22, Qt::black);
    EXPECT_LT(standsOut(black, QColor(0x24, 0x24, 0x24)), 0.05);
}

TEST(Style, TheWarningColourReadsAsTextOnLightAndDarkWindows) {
    for (const QColor& window : {QColor(Qt::white), QColor(0xef, 0xef, 0xef), QColor(0x2b, 0x2b, 0x2b), QColor(Qt::black)}) {
        QPalette palette;
        palette.setColor(QPalette::Window, window);
        const QColor warning = style::warning(palette);
        EXPECT_GE(contrast(warning, window), 4.5) << window.name().toStdString();
        // Still orange: the hue of the fixed colour.
        EXPECT_NEAR(warning.hsvHue(), style::orange().hsvHue(), 3) << window.name().toStdString();
    }
}
