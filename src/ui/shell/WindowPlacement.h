// Where a window was and how big, kept between runs: its frame and the
// sizes of its splitters (those with an object name) go to the user
// defaults under "window.<id>.geometry" and "window.<id>.splitter.<name>.<n>"
// (n = the panes it held, so a column that comes and goes, the library's
// inspector, keeps its own width). A window shown for the first time opens
// at about two thirds of the screen it is on, centred, and never smaller
// than its minimum. A frame kept from a screen that is gone or smaller (a
// laptop without its monitor) is moved onto the screens there are, shrunk
// where it must be.
//
// Changes are written a moment after they stop (moving and resizing send
// many), and at once when the window is hidden or closed. Main thread.
#pragma once

#include <QList>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QTimer>

#include <optional>

class QSplitter;
class QWidget;

namespace qm {

class UserDefaults;

class WindowPlacement : public QObject {
    Q_OBJECT

public:
    // Restores `window` now and keeps its place from then on; lives as the
    // window's child. `firstSize`: the size of a first showing, instead of
    // two thirds of the screen.
    static WindowPlacement* install(QWidget& window, UserDefaults& defaults, const QString& id,
                                    std::optional<QSize> firstSize = std::nullopt);

    // About two thirds of the available screen, at least `minimum`, at most
    // the screen; centred on it.
    static QRect firstFrame(const QRect& screen, QSize minimum);
    // `frame` when it lies wholly on the available `screens` (with a title
    // bar `titleBar` high above it); else moved onto the screen it lies on
    // most (the first when none), shrunk to fit, never below `minimum`.
    static QRect insideScreens(const QRect& frame, const QList<QRect>& screens, QSize minimum, int titleBar);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    WindowPlacement(QWidget& window, UserDefaults& defaults, const QString& id, std::optional<QSize> firstSize);
    void restore();
    // Moves a restored frame onto the screens there are now.
    void keepOnScreen();
    // Writes the window's place and splitters now.
    void save();
    void watchSplitter(QSplitter* splitter);
    void restoreSplitter(QSplitter* splitter);
    QString splitterKey(const QSplitter* splitter, int panes) const;

    QWidget& window_;
    UserDefaults& defaults_;
    QString id_;
    std::optional<QSize> firstSize_;
    QTimer later_;
    bool restoring_ = false;
};

}  // namespace qm
