// The floating panel's window: a dark rounded panel without a frame that
// floats above other windows on every desktop, is left out of task bars and
// pagers, never takes the keyboard and cannot be moved by the user; its
// controls answer the first click (X11 delivers a button press to a window
// that refuses focus all the same).
//
// It hosts one content widget (the player in its panel style), 12 points
// in from the sides and 9 from top and bottom. The window states the
// toolkit has no flag for (sticky, skip taskbar, skip pager, above, and
// every desktop for managers without the sticky state) are set through
// DesktopWindows before each showing; without it (tests on the offscreen
// platform) they are left out.
//
// Threads: the main thread.
#pragma once

#include <QWidget>

#include <string>
#include <vector>

namespace qm {

class DesktopWindows;

class HUDPanel : public QWidget {
    Q_OBJECT
public:
    static constexpr int kInitialWidth = 720;
    static constexpr int kInitialHeight = 170;
    static constexpr int kCornerRadius = 10;
    static constexpr int kHorizontalMargin = 12;
    static constexpr int kVerticalMargin = 9;

    explicit HUDPanel(DesktopWindows* windows = nullptr);

    // The window states asked of the window manager.
    static const std::vector<std::string>& windowStates();

    // The hosted widget (owned by the panel from then on); replaces and
    // deletes the one before.
    void setContent(QWidget* content);
    QWidget* content() const { return content_; }

    // Shows the panel without activating it, with its window states.
    void present();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void askStates();

    DesktopWindows* windows_ = nullptr;
    bool statesPending_ = false;
    QWidget* content_ = nullptr;
};

}  // namespace qm
