#include "ui/shell/HUDPanel.h"

#include "platform/desktop/DesktopWindows.h"

#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QVBoxLayout>

namespace qm {

namespace {

QPalette darkPalette() {
    QPalette palette;
    const QColor window(38, 38, 40), text(235, 235, 235), base(28, 28, 30), button(58, 58, 62);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, QColor(150, 150, 150));
    palette.setColor(QPalette::Highlight, QColor(10, 132, 255));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(120, 120, 120));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(120, 120, 120));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(120, 120, 120));
    return palette;
}

}  // namespace

HUDPanel::HUDPanel(DesktopWindows* windows)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus),
      windows_(windows) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    setPalette(darkPalette());
    setWindowTitle(QStringLiteral("Quillmarsh"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kHorizontalMargin, kVerticalMargin, kHorizontalMargin, kVerticalMargin);
    layout->setSpacing(0);
    resize(kInitialWidth, kInitialHeight);
}

const std::vector<std::string>& HUDPanel::windowStates() {
    static const std::vector<std::string> states{"_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
                                                 "_NET_WM_STATE_SKIP_PAGER", "_NET_WM_STATE_ABOVE"};
    return states;
}

void HUDPanel::setContent(QWidget* content) {
    if (content == content_) return;
    delete content_;
    content_ = content;
    if (content_) {
        content_->setParent(this);
        layout()->addWidget(content_);
    }
}

void HUDPanel::present() {
    if (isVisible()) return;
    // A withdrawn window loses its states: they are written again before
    // each mapping, where the window manager reads them.
    askStates();
    // A quick hide and show can cross the window manager's clean-up of the
    // withdrawn window: once shown, the states are asked for again.
    statesPending_ = windows_ != nullptr;
    show();
}

void HUDPanel::askStates() {
    if (!windows_) return;
    windows_->addWindowStates(winId(), windowStates());
    windows_->showOnAllDesktops(winId());
}

void HUDPanel::paintEvent(QPaintEvent*) {
    // Painted on screen: the window manager has it.
    if (statesPending_ && isVisible()) {
        statesPending_ = false;
        askStates();
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
    painter.fillPath(path, QColor(30, 30, 32, 242));
    painter.setPen(QPen(QColor(255, 255, 255, 36), 1));
    painter.drawPath(path);
}

}  // namespace qm
