// Places, shows and hides the floating panel under the file manager's front
// window: as wide as that window but at least 600 points and never wider
// than the visible screen, kept on it, 168 points tall (204 for an
// Ambisonics file), 2 points below the window or, without room there,
// overlapping its bottom 6 points above its lower edge.
//
// The placement works in bottom-left screen coordinates (the tracker's);
// the result is turned into the toolkit's top-left ones once, with the
// primary screen's height H: y_top = H - y - h. Visible frames come from
// QScreen::availableGeometry() (the window manager's work area).
//
// Threads: the main thread; playerChanged() queues the placement there.
#pragma once

#include "app/shell/FloatingPanel.h"
#include "ui/player/PlayerView.h"

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <optional>
#include <vector>

namespace qm {

class HUDPanel;

class HUDController : public QObject, public FloatingPanel {
    Q_OBJECT
public:
    static constexpr double kMinimumWidth = 600;
    static constexpr double kHeight = 168;
    static constexpr double kAmbisonicHeight = 204;
    static constexpr double kGapBelow = 2;
    static constexpr double kOverlapAbove = 6;

    // One screen in bottom-left coordinates: its whole frame and the part
    // windows may use.
    struct Screen {
        DesktopRect frame;
        DesktopRect visible;
    };

    // `windows` sets the panel's window states; null leaves them out.
    explicit HUDController(DesktopWindows* windows = nullptr, QObject* parent = nullptr);
    ~HUDController() override;

    HUDPanel& panel() const { return *panel_; }

    // Shows the player in the panel (its panel style), replacing any content.
    // The panel then grows for an Ambisonics source and is placed again
    // whenever the loaded file or its format changes.
    PlayerView& hostPlayer(PlayerModel& player, SettingsStore& settings, EditorModel* editor = nullptr,
                           PlayerView::WindowOpener openWindow = {});

    void setEnabled(bool enabled) override;
    bool enabled() const override { return enabled_; }
    void update(bool active, const std::optional<DesktopRect>& window) override;
    void setIsAmbisonic(std::function<bool()> query) override;
    void playerChanged() override;

    // The panel's frame for the file manager's window `window` on these
    // screens (the first whose frame meets the window, else `mainScreen`),
    // edges moved outward to whole points; none without a screen.
    static std::optional<DesktopRect> placement(const DesktopRect& window, bool ambisonic,
                                                const std::vector<Screen>& screens,
                                                const std::optional<Screen>& mainScreen);
    // The toolkit's screens, bottom-left; the primary one as the main screen.
    static std::vector<Screen> currentScreens(std::optional<Screen>* mainScreen);

    // Places, shows or hides the panel now.
    void reposition();

private:
    HUDPanel* panel_ = nullptr;
    std::optional<DesktopRect> lastWindow_;
    bool active_ = false;
    bool enabled_ = true;
    std::function<bool()> isAmbisonic_ = [] { return false; };
    std::vector<QMetaObject::Connection> playerConnections_;
};

}  // namespace qm
