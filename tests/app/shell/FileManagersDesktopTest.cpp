// The tracker following each file manager people use, for real, on the
// private desktop: its front window's frame, the first audio file of what
// the keys select in its default view (and in each other view the README
// names, switched to by its keyboard shortcut), and a rename field counting
// as typing. One file manager per test, started once.
#include "app/shell/FinderTracker.h"

#include "app/core/EventLoopQueue.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <string_view>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "support/DesktopSession.h"
#include "support/TempDir.h"

using namespace qm;
namespace fs = std::filesystem;

namespace {

struct Program {
    std::vector<std::string> command;      // the folder follows
    std::vector<std::string> environment;  // added to the session's
    // Keys that switch to each other view that the bus shows the selection
    // of, in turn (a shortcut, or a path through the menus, keys apart).
    std::vector<std::string> otherViews;
};

class FileManagersDesktop : public testing::Test {
protected:
    // A press that came before the view took the keyboard is lost.
    static constexpr double kPressAgainMs = 400;

    void SetUp() override {
        ASSERT_TRUE(session().ok()) << session().failure();
        fs::create_directories(folder_ / "Bar Folder");
        for (const char* name : {"a.txt", "b.wav", "c.WAV", "d e.mp3"}) test::writeBytes(folder_ / name, "x");
        windows_ = makeX11DesktopWindows();
        files_ = makeAtspiFileManagerAccessibility();
    }

    void TearDown() override {
        tracker_.reset();
        session().quitFileManager();
    }

    static test::DesktopSession& session() { return test::sharedDesktopSession(); }
    static void pump() { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); }
    static bool until(const std::function<bool()>& condition, double seconds = 20) {
        return test::waitUntil(condition, seconds, pump);
    }

    fs::path path(const char* name) const { return folder_ / name; }

    // A digest of the pixels the file manager's window shows now (none
    // without a window): a view switched shows another picture.
    std::optional<size_t> picture() {
        const auto frame = session().frameOf(session().fileManagerWindow());
        if (!frame) return std::nullopt;
        const int x = std::max(frame->x, 0), y = std::max(frame->y, 0);
        const int width = std::min(frame->x + frame->width, session().screenWidth()) - x;
        const int height = std::min(frame->y + frame->height, session().screenHeight()) - y;
        if (width <= 0 || height <= 0) return std::nullopt;
        Display* display = XOpenDisplay(nullptr);
        if (!display) return std::nullopt;
        XImage* image = XGetImage(display, DefaultRootWindow(display), x, y, unsigned(width), unsigned(height),
                                  AllPlanes, ZPixmap);
        std::optional<size_t> digest;
        if (image) {
            digest = std::hash<std::string_view>{}(
                std::string_view(image->data, size_t(image->bytes_per_line) * size_t(image->height)));
            XDestroyImage(image);
        }
        XCloseDisplay(display);
        return digest;
    }

    // The picture once it has held for 0.5 s (the window repaints after it
    // was brought forward, a status bar follows the selection late).
    std::optional<size_t> settledPicture() {
        std::optional<size_t> last = picture();
        QElapsedTimer held;
        held.start();
        until([&] {
            const auto now = picture();
            if (now != last) {
                last = now;
                held.restart();
            }
            return held.elapsed() >= 500;
        });
        return last;
    }

    // A menu (an override-redirect window of a menu's size) is mapped: the
    // picture is not the view's alone.
    static bool menuOpen() {
        Display* display = XOpenDisplay(nullptr);
        if (!display) return false;
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        bool open = false;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !open; ++i) {
                XWindowAttributes attributes;
                if (XGetWindowAttributes(display, children[i], &attributes) && attributes.override_redirect &&
                    attributes.map_state == IsViewable && attributes.width >= 60 && attributes.height >= 40)
                    open = true;
            }
            if (children) XFree(children);
        }
        XCloseDisplay(display);
        return open;
    }

    // xwininfo's frame of the window, in the tracker's bottom-left coordinates.
    std::optional<DesktopRect> expectedFrame() {
        const auto frame = session().frameOf(session().fileManagerWindow());
        if (!frame) return std::nullopt;
        return DesktopRect{double(frame->x), double(session().screenHeight() - (frame->y + frame->height)),
                           double(frame->width), double(frame->height)};
    }

    // Presses keys, then waits for a new selection report equal to `expected`,
    // giving the view the keyboard and pressing again now and then (a press
    // that came before the view took the keyboard is lost, and a click that
    // came before the view was filled may have given it to another part;
    // these keys do the same however often they come).
    bool keyGives(const std::string& keys, const std::optional<fs::path>& expected) {
        const size_t before = selections_.size();
        if (!session().xdotool({"key", keys})) return false;
        QElapsedTimer sincePress;
        sincePress.start();
        const bool held = until([&] {
            if (selections_.size() > before && selections_.back() == expected) return true;
            if (sincePress.elapsed() > kPressAgainMs * test::loadScale()) {
                session().focusFileManagerView();
                session().xdotool({"key", keys});
                sincePress.restart();
            }
            return false;
        });
        if (!held) {
            const auto now = files_->selection(session().fileManagerPid(), "", 40);
            std::string read;
            for (const auto& p : now.paths) read += " " + p;
            ADD_FAILURE() << keys << ": " << selections_.size() - before << " reports, last "
                          << (selections_.empty() || !selections_.back() ? "none" : selections_.back()->string())
                          << "; the file manager's selection reads (outcome " << int(now.outcome) << "):" << read;
        }
        return held;
    }

    // Asked as a Space press would, now and then: asked without pause, a
    // GTK file manager answers the bus and never gets to its idle work (the
    // rename field starts there).
    // `keys`, pressed again now and then, lead there.
    bool editingBecomes(bool expected, const std::string& keys) {
        if (!session().xdotool({"key", keys})) return false;
        QElapsedTimer sinceAsked, sincePress;
        sincePress.start();
        return until([&] {
            if (sinceAsked.isValid() && sinceAsked.elapsed() < 100) return false;
            sinceAsked.start();
            if (tracker_->isEditingText() == expected) return true;
            if (sincePress.elapsed() > kPressAgainMs * test::loadScale()) {
                session().xdotool({"key", keys});
                sincePress.restart();
            }
            return false;
        });
    }

    // The whole road in one file manager.
    void follow(const Program& program) {
        const pid_t pid = session().startFileManager(program.command, folder_.path(), program.environment);
        ASSERT_GT(pid, 0) << session().failure();
        tracker_ = std::make_unique<FinderTracker>(*windows_, *files_, queue_, [] { return true; });
        tracker_->onSelection = [this](const std::optional<fs::path>& file) { selections_.push_back(file); };
        tracker_->onState = [this](bool active, const std::optional<DesktopRect>& frame) {
            active_ = active;
            frame_ = frame;
        };
        tracker_->start();
        ASSERT_TRUE(until([&] {
            const auto expected = expectedFrame();
            return active_ && expected && frame_ == expected;
        })) << "the front window was not followed";

        // The keyboard in the file view: the last item alone, the folder
        // first in the list alone, then everything.
        session().focusFileManagerView();
        ASSERT_TRUE(keyGives("End", path("d e.mp3")));
        ASSERT_TRUE(keyGives("Home", std::nullopt)) << "the folder";
        ASSERT_TRUE(keyGives("ctrl+a", path("b.wav")));
        EXPECT_FALSE(tracker_->automationDenied());

        // Renaming is typing: Space belongs to the field then.
        ASSERT_TRUE(keyGives("End", path("d e.mp3")));
        EXPECT_FALSE(tracker_->isEditingText()) << "in the view";
        EXPECT_TRUE(editingBecomes(true, "F2")) << "the rename field";
        EXPECT_TRUE(editingBecomes(false, "Escape")) << "back in the view";

        for (const std::string& view : program.otherViews) {
            session().activateFileManager();
            const auto before = settledPicture();
            ASSERT_TRUE(before);
            // A menu takes the keys after it only once it is open.
            std::vector<std::string> keys = {"key", "--delay", "150"};
            for (const QString& key : QString::fromStdString(view).split(QLatin1Char(' '))) keys.push_back(key.toStdString());
            ASSERT_TRUE(session().xdotool(keys));
            ASSERT_TRUE(until([&] { return !menuOpen() && picture() != before; })) << view << " did not switch the view";
            ASSERT_TRUE(keyGives("Home", std::nullopt)) << "the folder, in the view of " << view;
            ASSERT_TRUE(keyGives("End", path("d e.mp3"))) << "in the view of " << view;
        }
    }

    test::TempDir folder_;
    std::unique_ptr<DesktopWindows> windows_;
    std::unique_ptr<FileManagerAccessibility> files_;
    EventLoopQueue queue_;
    std::unique_ptr<FinderTracker> tracker_;
    std::vector<std::optional<fs::path>> selections_;
    bool active_ = false;
    std::optional<DesktopRect> frame_;
};

}  // namespace

TEST_F(FileManagersDesktop, GnomeFilesInItsGridAndItsList) { follow({{"nautilus"}, {}, {"ctrl+1"}}); }

TEST_F(FileManagersDesktop, NemoInItsIconsItsListAndItsCompactView) {
    follow({{"nemo"}, {}, {"ctrl+2", "ctrl+3"}});
}

TEST_F(FileManagersDesktop, CajaInItsIconsItsListAndItsCompactView) {
    follow({{"caja", "--no-desktop"}, {}, {"ctrl+2", "ctrl+3"}});
}

// A GTK 2 program reaches the bus through the module that the session's
// GTK_MODULES names (libatk-adaptor sets it).
TEST_F(FileManagersDesktop, PCManFMInItsIconsThumbnailsCompactViewAndDetails) {
    follow({{"pcmanfm"}, {"GTK_MODULES=gail:atk-bridge"}, {"ctrl+2", "ctrl+3", "ctrl+4"}});
}

// Its view modes have no shortcuts: View › View › Compact View, Detailed
// List, Thumbnail View.
TEST_F(FileManagersDesktop, PCManFMQtInItsIconsThumbnailsCompactViewAndDetails) {
    follow({{"pcmanfm-qt"}, {}, {"alt+v v c", "alt+v v d", "alt+v v t"}});
}

TEST_F(FileManagersDesktop, DolphinInItsIconsItsCompactViewAndItsDetails) {
    follow({{"dolphin"}, {}, {"ctrl+2", "ctrl+3"}});
}
