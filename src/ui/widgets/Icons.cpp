#include "ui/widgets/Icons.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

#include "ui/widgets/Style.h"

namespace qm::icons {

namespace {

// Symbol names and the freedesktop icon names of the same meaning.
const QHash<QString, QString>& themeNames() {
    static const QHash<QString, QString> names{
        {"arrow.uturn.backward", "edit-undo"},
        {"arrow.uturn.forward", "edit-redo"},
        {"minus.magnifyingglass", "zoom-out"},
        {"plus.magnifyingglass", "zoom-in"},
        {"backward.end.fill", "media-skip-backward"},
        {"backward.fill", "media-seek-backward"},
        {"play.fill", "media-playback-start"},
        {"stop.fill", "media-playback-stop"},
        {"forward.fill", "media-seek-forward"},
        {"forward.end.fill", "media-skip-forward"},
        {"repeat", "media-playlist-repeat"},
        {"scissors", "edit-cut"},
        {"xmark.circle.fill", "edit-clear"},
        {"folder.badge.plus", "folder-new"},
        {"hifispeaker.2", "audio-speakers"},
        {"headphones", "audio-headphones"},
        {"plus", "list-add"},
        {"minus", "list-remove"},
        {"chevron.up", "go-up"},
        {"folder.fill", "folder"},
    };
    return names;
}

QString resourcePath(const QString& name) { return QStringLiteral(":/qm/symbols/%1.svg").arg(name); }

QIcon ownIcon(const QString& name, const QColor& tint) {
    if (!hasOwnSymbol(name)) return {};
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(ownPixmap(name, size, tint));
    return icon;
}

}  // namespace

bool hasOwnSymbol(const QString& name) { return QFile::exists(resourcePath(name)); }

QPixmap ownPixmap(const QString& name, int logicalSize, const QColor& tint, double dpr) {
    const int px = std::max(1, static_cast<int>(logicalSize * dpr + 0.5));
    QImage image(px, px, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid()) return {};
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p, QRectF(0, 0, px, px));
        // The shapes are black: keep their coverage, take the tint's colour.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(image.rect(), tint);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

QIcon symbol(const QString& name) {
    static QHash<QString, QIcon> cache;
    if (auto it = cache.constFind(name); it != cache.constEnd()) return *it;
    QIcon icon;
    if (auto theme = themeNames().constFind(name); theme != themeNames().constEnd() && QIcon::hasThemeIcon(*theme))
        icon = QIcon::fromTheme(*theme);
    else
        icon = ownIcon(name, style::label(style::appPalette()));
    cache.insert(name, icon);
    return icon;
}

QIcon symbol(const QString& name, const QColor& tint) {
    static QHash<QString, QIcon> cache;
    const QString key = name + QLatin1Char('|') + tint.name(QColor::HexArgb);
    if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
    QIcon icon = ownIcon(name, tint);
    cache.insert(key, icon);
    return icon;
}

QIcon application() {
    return QIcon::fromTheme(QStringLiteral("quillmarsh"), QIcon(QStringLiteral(":/qm/app/quillmarsh.svg")));
}

}  // namespace qm::icons
