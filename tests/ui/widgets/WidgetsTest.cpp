#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

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
