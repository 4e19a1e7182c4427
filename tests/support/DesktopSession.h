// A private desktop for tests of the desktop services: an X server (Xvfb,
// its display chosen with -displayfd), a session bus of its own (where the
// accessibility bus launcher and xfconfd start on demand), the openbox
// window manager, and a file manager (Thunar, or any other) started and
// driven on it, one at a time.
//
// The session's variables (DISPLAY, DBUS_SESSION_BUS_ADDRESS) are set in
// the test process itself, before any X or bus client of the process
// starts; its children also get XDG folders of their own, so the user's
// settings are never touched. Everything is stopped with SIGTERM when the
// session goes. One session per test process (sharedDesktopSession()).
//
// Waits are for conditions, with time-outs scaled by the machine's load.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/TempDir.h"

namespace qm {
struct DesktopWindowInfo;
}

namespace qm::test {

// 1 on a quiet machine, more when the run queue is longer than the cores.
double loadScale();

// Polls `condition` (calling `pump` between polls, if given) until it holds
// or `seconds` (scaled by loadScale()) have passed; returns whether it held.
bool waitUntil(const std::function<bool()>& condition, double seconds, const std::function<void()>& pump = {});

struct WindowGeometry {
    int x = 0, y = 0, width = 0, height = 0;  // the frame's outer rectangle, root coordinates
};

class DesktopSession {
public:
    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // False (with the reason) when a part of the desktop did not come up.
    bool ok() const { return failure_.empty(); }
    const std::string& failure() const { return failure_; }
    const std::string& display() const { return display_; }
    int screenWidth() const { return 1920; }
    int screenHeight() const { return 1080; }

    // Runs a program in the session and waits for it (at most `seconds`,
    // scaled); its exit status, or -1 when it could not run or was killed.
    int run(const std::vector<std::string>& argv, std::string* output = nullptr, double seconds = 30);
    // Starts a program in the session and leaves it running (`environment`
    // added to the session's).
    pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
    // SIGTERM, a wait, then SIGKILL for a child that does not go.
    void stop(pid_t pid);

    // xdotool with these arguments; true when it succeeded.
    bool xdotool(const std::vector<std::string>& arguments);
    // The same, calling `pump` while xdotool runs: for a test process whose
    // own X clients must keep reading meanwhile (a grab freezes the keyboard
    // until its client answers).
    bool xdotool(const std::vector<std::string>& arguments, const std::function<void()>& pump);
    // The window's frame as xwininfo reports it (the top-level ancestor of
    // the client, with its border).
    std::optional<WindowGeometry> frameOf(unsigned long window);
    unsigned long activeWindow();

    struct ThunarOptions {
        bool fullPathTitle = true;
        bool accessibilityBridge = true;  // false: NO_AT_BRIDGE=1
        std::string view = "ThunarDetailsView";
        std::string locationBar = "ThunarLocationEntry";
    };
    // Quits any Thunar of the session, sets its options with xfconf-query,
    // starts it on `folder` and waits until its window is active. The pid,
    // or -1 (see failure()).
    pid_t startThunar(const std::filesystem::path& folder, const ThunarOptions& options);
    pid_t startThunar(const std::filesystem::path& folder) { return startThunar(folder, ThunarOptions{}); }
    void quitThunar() { quitFileManager(); }
    pid_t thunarPid() const { return fileManager_; }
    // Thunar's document window (its pid's normal window), 0 when none.
    unsigned long thunarWindow() const { return fileManagerWindow_; }
    // Brings Thunar's window to the front and waits until it is active.
    bool activateThunar() { return activateFileManager(); }

    // Quits the running file manager, starts `program` (its arguments
    // followed by `folder`) with `environment` added, and waits until its
    // window, titled with the folder's name, is active. The pid, or -1 (see
    // failure()).
    pid_t startFileManager(const std::vector<std::string>& program, const std::filesystem::path& folder,
                           const std::vector<std::string>& environment = {});
    void quitFileManager();
    pid_t fileManagerPid() const { return fileManager_; }
    unsigned long fileManagerWindow() const { return fileManagerWindow_; }
    bool activateFileManager();
    // The file manager in front, and a click on the lower right part of its
    // window, which gives the keyboard to the file view (an empty spot of
    // it in a fresh folder of a few files).
    void focusFileManagerView();
    // Selects the first row of a freshly opened Thunar list, where Down
    // selects it: Down again when the list was not ready for the first, and
    // Home when a late press moved past it. `selected` reads the selection.
    bool selectFirstRow(const std::function<std::vector<std::string>()>& selected, const std::string& first,
                        const std::function<void()>& pump);

    // A plain window of another program (xmessage) placed at (x, y), active.
    unsigned long openOtherWindow(int x = 100, int y = 100);
    void closeOtherWindow();

private:
    std::vector<std::string> environment(const std::vector<std::string>& extra) const;
    pid_t launch(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                 int keepFd = -1, int outputFd = -1, int keepFd2 = -1);
    unsigned long waitForWindow(const std::function<bool(const qm::DesktopWindowInfo&)>& wanted);
    void start();
    bool windowManagerTakesWindows();

    TempDir home_;
    std::string failure_;
    std::string display_;
    std::string busAddress_;
    pid_t xvfb_ = -1;
    pid_t bus_ = -1;
    pid_t windowManager_ = -1;
    pid_t fileManager_ = -1;
    unsigned long fileManagerWindow_ = 0;
    pid_t other_ = -1;
};

// The test process's one session, started on first use and stopped at exit.
DesktopSession& sharedDesktopSession();

}  // namespace qm::test
