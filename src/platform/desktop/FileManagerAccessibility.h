// What the file manager shows, read through the accessibility bus: the
// files selected in its front window, whether a text field has the keyboard
// focus, and events that say either may have changed. It stands in for the
// platform's scripting of the file manager and its accessibility observer.
//
// The AT-SPI implementation (libatspi) finds the file manager's application
// by process id, takes its active frame (else the frame titled like the
// front window), the file view in it (a descendant offering Selection) and
// the folder shown: from the title when it begins with an existing absolute
// folder, else from an editable location entry holding a path or a file://
// URI, else from the path bar's buttons. A name only becomes a path when the
// file exists in that folder, so an unresolved folder gives no file, never
// a wrong one.
//
// Every call to the file manager is bounded (kCallBoundMs) and a query
// stops at its first time-out, so a hung file manager costs the calling
// thread one bound, not a bound per call.
//
// Events are dispatched by libatspi on GLib's default main context, which
// the owner must run (Qt's GLib event dispatcher does).
//
// Threads: the main thread only (libatspi is not thread-safe).
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

class FileManagerAccessibility {
public:
    // The longest one call to the file manager may block.
    static constexpr int kCallBoundMs = 150;

    enum class Outcome {
        ok,
        denied,    // the process has no application on the accessibility bus (5 s after it started)
        timedOut,  // a call found no answer within kCallBoundMs
        failed,    // an object vanished, or the window could not be found
    };

    struct Selection {
        Outcome outcome = Outcome::failed;
        // Absolute paths in view order, folders with a trailing '/'; at most
        // the limit asked for.
        std::vector<std::string> paths;
    };

    struct TextFocus {
        Outcome outcome = Outcome::failed;
        bool editing = false;  // an entry, password text, editable text or editable combo box
    };

    // Called with the event's name ("object:selection-changed",
    // "object:state-changed:focused", "object:active-descendant-changed",
    // "window:activate").
    using EventHandler = std::function<void(const std::string& event)>;

    virtual ~FileManagerAccessibility() = default;

    // The selection of `pid`'s active window (or, when none of its frames is
    // active, the one titled `windowTitle`): the first `limit` items.
    virtual Selection selection(int pid, const std::string& windowTitle, size_t limit) = 0;
    // Whether the object with the keyboard focus in `pid` takes text.
    virtual TextFocus textFocus(int pid) = 0;
    // Reports the events of `pid` from now on (replacing an earlier
    // observer); false when events cannot be received.
    virtual bool observe(int pid, EventHandler handler) = 0;
    virtual void stopObserving() = 0;
};

// The AT-SPI implementation over the session's accessibility bus.
std::unique_ptr<FileManagerAccessibility> makeAtspiFileManagerAccessibility();

// How the folder a file manager shows is read from what it displays. Pure
// functions apart from the checks on disk.
namespace FileManagerFolder {

// The longest beginning of a window title, ending at " - " or at the
// title's end, that is an existing absolute folder ("/srv/a - b - Thunar"
// gives "/srv/a - b" when that folder exists).
std::optional<std::filesystem::path> fromTitle(const std::string& title);

// A location entry's text: an absolute path or a file:// URI
// (percent-decoded; other hosts than none or "localhost" refused) naming an
// existing folder.
std::optional<std::filesystem::path> fromLocation(const std::string& text);

// A path bar's button names in the order the toolkit lists them, the root
// button named "" or "/", and the index of the pressed (current) one; the
// buttons may come leaf first. The folder must exist.
std::optional<std::filesystem::path> fromPathBar(const std::vector<std::string>& names, size_t pressed);

// The selected names as paths in `folder`: names that do not exist there
// (or are not plain names) are left out; folders get a trailing '/'.
std::vector<std::string> existingPaths(const std::filesystem::path& folder, const std::vector<std::string>& names);

// Whether a window title names the folder `name`: the title is the name, or
// the name followed by " - ", " — " or " – " and the program's own name.
bool titleNames(const std::string& title, const std::string& name);

// A bar of push buttons (root first, nothing marks the current one): the
// deepest button the window title names.
std::optional<size_t> currentCrumb(const std::vector<std::string>& crumbs, const std::string& title);

// The existing folders such a bar may name, up to button `current`. A first
// button "/" (or unnamed) is the root; any other first button names a
// place, tried as the root (an operating system's name), `home`, a folder
// of that name in `home` or in the root, and a volume of that name under
// /media, /media/<user>, /run/media/<user> and /mnt. Most likely first.
std::vector<std::filesystem::path> fromCrumbs(const std::vector<std::string>& crumbs, size_t current,
                                              const std::filesystem::path& home, const std::string& user);

// Of several candidate folders (at least one), the one holding most of
// `names`; the earliest among equals.
std::filesystem::path holdingMost(const std::vector<std::filesystem::path>& candidates,
                                  const std::vector<std::string>& names);

}  // namespace FileManagerFolder

}  // namespace qm
