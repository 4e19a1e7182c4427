#include "ui/shell/HUDController.h"

#include "ui/shell/HUDPanel.h"

#include "app/player/PlayerModel.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QScreen>

#include <algorithm>
#include <cmath>

namespace qm {

namespace {

bool intersects(const DesktopRect& a, const DesktopRect& b) {
    return a.width > 0 && a.height > 0 && b.width > 0 && b.height > 0 && a.x < b.x + b.width &&
           b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

// Edges outward to whole points.
DesktopRect integral(const DesktopRect& r) {
    const double left = std::floor(r.x), bottom = std::floor(r.y);
    const double right = std::ceil(r.x + r.width), top = std::ceil(r.y + r.height);
    return {left, bottom, right - left, top - bottom};
}

double primaryHeight() {
    const QScreen* primary = QGuiApplication::primaryScreen();
    return primary ? primary->geometry().height() : 0;
}

DesktopRect bottomLeft(const QRect& r, double screenHeight) {
    return {double(r.x()), screenHeight - r.y() - r.height(), double(r.width()), double(r.height())};
}

}  // namespace

HUDController::HUDController(DesktopWindows* windows, QObject* parent)
    : QObject(parent), panel_(new HUDPanel(windows)) {}

HUDController::~HUDController() { delete panel_; }

PlayerView& HUDController::hostPlayer(PlayerModel& player, SettingsStore& settings, EditorModel* editor,
                                      PlayerView::WindowOpener openWindow) {
    auto* view = new PlayerView(WaveformView::Style::hud, player, settings, editor, std::move(openWindow));
    panel_->setContent(view);
    PlayerModel* p = &player;
    setIsAmbisonic([p] {
        const auto source = p->source();
        return source && source->isAmbisonic();
    });
    for (const auto& c : playerConnections_) disconnect(c);
    playerConnections_.clear();
    for (auto signal : {&PlayerModel::infoChanged, &PlayerModel::formatOverrideChanged})
        playerConnections_.push_back(connect(&player, signal, this, &HUDController::playerChanged));
    return *view;
}

void HUDController::setEnabled(bool enabled) {
    enabled_ = enabled;
    reposition();
}

void HUDController::update(bool active, const std::optional<DesktopRect>& window) {
    active_ = active;
    if (active) lastWindow_ = window;
    reposition();
}

void HUDController::setIsAmbisonic(std::function<bool()> query) {
    isAmbisonic_ = query ? std::move(query) : [] { return false; };
}

void HUDController::playerChanged() {
    // The player announces a change before making it.
    QMetaObject::invokeMethod(this, &HUDController::reposition, Qt::QueuedConnection);
}

std::optional<DesktopRect> HUDController::placement(const DesktopRect& window, bool ambisonic,
                                                    const std::vector<Screen>& screens,
                                                    const std::optional<Screen>& mainScreen) {
    const auto found = std::find_if(screens.begin(), screens.end(),
                                    [&](const Screen& screen) { return intersects(screen.frame, window); });
    std::optional<Screen> screen = found != screens.end() ? std::optional<Screen>(*found) : mainScreen;
    if (!screen) return std::nullopt;
    const DesktopRect& visible = screen->visible;

    const double w = std::min(std::max(window.width, kMinimumWidth), visible.width);
    double x = window.x;
    if (x + w > visible.x + visible.width) x = visible.x + visible.width - w;
    if (x < visible.x) x = visible.x;
    const double h = ambisonic ? kAmbisonicHeight : kHeight;
    double y = window.y - h - kGapBelow;
    if (y < visible.y) y = window.y + kOverlapAbove;
    return integral({x, y, w, h});
}

std::vector<HUDController::Screen> HUDController::currentScreens(std::optional<Screen>* mainScreen) {
    const double height = primaryHeight();
    std::vector<Screen> screens;
    for (const QScreen* screen : QGuiApplication::screens()) {
        screens.push_back({bottomLeft(screen->geometry(), height), bottomLeft(screen->availableGeometry(), height)});
    }
    if (mainScreen) {
        mainScreen->reset();
        if (const QScreen* primary = QGuiApplication::primaryScreen()) {
            *mainScreen = Screen{bottomLeft(primary->geometry(), height), bottomLeft(primary->availableGeometry(), height)};
        }
    }
    return screens;
}

void HUDController::reposition() {
    if (!enabled_ || !active_ || !lastWindow_) {
        if (panel_->isVisible()) panel_->hide();
        return;
    }
    std::optional<Screen> mainScreen;
    const auto screens = currentScreens(&mainScreen);
    const auto frame = placement(*lastWindow_, isAmbisonic_(), screens, mainScreen);
    if (!frame) return;  // no screen at all: the panel stays where it was
    const double height = primaryHeight();
    const QRect target(int(frame->x), int(height - frame->y - frame->height), int(frame->width),
                       int(frame->height));
    if (panel_->geometry() != target) {
        panel_->setGeometry(target);
        panel_->update();
    }
    panel_->present();
}

}  // namespace qm
