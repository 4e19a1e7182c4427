#include "platform/desktop/FileManagerAccessibility.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <system_error>
#include <unordered_map>
#include <utility>

namespace qm {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// The folder a file manager shows

namespace FileManagerFolder {

namespace {

std::optional<fs::path> existingFolder(const std::string& text) {
    if (text.empty() || text.front() != '/') return std::nullopt;
    std::error_code error;
    if (!fs::is_directory(text, error)) return std::nullopt;
    fs::path folder = fs::path(text).lexically_normal();
    if (folder.has_relative_path() && !folder.has_filename()) folder = folder.parent_path();
    return folder;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        const char byte = static_cast<char>(high * 16 + low);
        if (byte == '\0') return std::nullopt;
        out += byte;
        i += 2;
    }
    return out;
}

}  // namespace

std::optional<fs::path> fromTitle(const std::string& title) {
    // Longest first: a folder whose own name holds " - " wins over its parent.
    if (auto whole = existingFolder(title)) return whole;
    for (size_t end = title.rfind(" - "); end != std::string::npos && end > 0;
         end = title.rfind(" - ", end - 1)) {
        if (auto folder = existingFolder(title.substr(0, end))) return folder;
    }
    return std::nullopt;
}

std::optional<fs::path> fromLocation(const std::string& text) {
    static constexpr std::string_view scheme = "file://";
    if (text.size() >= scheme.size() && text.compare(0, scheme.size(), scheme) == 0) {
        std::string rest = text.substr(scheme.size());
        const size_t slash = rest.find('/');
        if (slash == std::string::npos) return std::nullopt;
        const std::string host = rest.substr(0, slash);
        if (!host.empty() && host != "localhost") return std::nullopt;
        auto path = percentDecoded(rest.substr(slash));
        if (!path) return std::nullopt;
        return existingFolder(*path);
    }
    return existingFolder(text);
}

std::optional<fs::path> fromPathBar(const std::vector<std::string>& names, size_t pressed) {
    if (names.empty() || pressed >= names.size()) return std::nullopt;
    auto isRoot = [](const std::string& name) { return name.empty() || name == "/"; };
    std::vector<std::string> ordered = names;
    size_t current = pressed;
    if (!isRoot(ordered.front()) && isRoot(ordered.back())) {
        std::reverse(ordered.begin(), ordered.end());
        current = ordered.size() - 1 - pressed;
    }
    if (!isRoot(ordered.front())) return std::nullopt;
    fs::path folder = "/";
    for (size_t i = 1; i <= current; ++i) {
        const auto& name = ordered[i];
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
            return std::nullopt;
        }
        folder /= name;
    }
    return existingFolder(folder.string());
}

std::vector<std::string> existingPaths(const fs::path& folder, const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) {
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) continue;
        const fs::path path = folder / name;
        std::error_code error;
        const auto status = fs::symlink_status(path, error);
        if (error || !fs::exists(status)) continue;
        std::string text = path.string();
        if (fs::is_directory(path, error)) text += '/';
        paths.push_back(std::move(text));
    }
    return paths;
}

}  // namespace FileManagerFolder

// ---------------------------------------------------------------------------
// AT-SPI

namespace {

using Outcome = FileManagerAccessibility::Outcome;
using Clock = std::chrono::steady_clock;

// libatspi waits for a reply in steps of its time-out and checks the time
// only between steps, so a call to a hung process returns after one to two
// of them (measured: 150 ms gives 150-300 ms). Half the bound keeps every
// call within it; a call that took that long is treated as timed out.
constexpr auto kAtspiTimeout = std::chrono::milliseconds(FileManagerAccessibility::kCallBoundMs / 2);

// How long what one walk of a window found stands when it lacks the view or
// the folder.
constexpr auto kRewalkAfter = std::chrono::seconds(2);

// A process this young that is not on the bus yet may still be starting its
// bridge: not refused yet.
constexpr double kRegistrationGraceSeconds = 5.0;

// Seconds since `pid` started; none when it cannot be told.
std::optional<double> processAge(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return std::nullopt;
    const auto close = line.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    // Fields after the name start at 3 (state); the start time is field 22.
    for (int index = 3; index <= 22; ++index) {
        if (!(fields >> field)) return std::nullopt;
    }
    std::ifstream uptimeFile("/proc/uptime");
    double uptime = 0;
    if (!(uptimeFile >> uptime)) return std::nullopt;
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return std::nullopt;
    return uptime - std::stod(field) / double(ticks);
}

// Ends a query at its first failed call.
struct Abort {
    Outcome outcome;
};

template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* object) : object_(object) {}
    ~Ref() { reset(); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    static Ref share(T* object) { return Ref(object ? static_cast<T*>(g_object_ref(object)) : nullptr); }
    Ref copy() const { return share(object_); }
    T* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    void reset() {
        if (object_) g_object_unref(object_);
        object_ = nullptr;
    }

private:
    T* object_ = nullptr;
};

using Object = Ref<AtspiAccessible>;

std::string takeString(gchar* text) {
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

// Whether a result that looks failed (no object, -1, an empty text) ends
// the query, or is a possible answer (an object without a name).
enum class Empty { isFailure, isAnswer };

// Runs one call to another process. libatspi does not always say that a
// call found no answer in time: it gives what it gives for a failure,
// after the time-out. So a result that looks failed and came that late is
// a time-out; one that looks failed and came early is a vanished object (or
// a real empty answer); any result that came in time counts, however slow.
template <class F, class LooksFailed>
auto bounded(F&& call, LooksFailed&& looksFailed, Empty empty) {
    GError* error = nullptr;
    const auto start = Clock::now();
    auto result = call(&error);
    const bool late = Clock::now() - start >= kAtspiTimeout;
    const bool errored = error != nullptr;
    if (error) g_error_free(error);
    const bool failedLooking = errored || looksFailed(result);
    if (late && failedLooking) throw Abort{Outcome::timedOut};
    if (errored || (failedLooking && empty == Empty::isFailure)) throw Abort{Outcome::failed};
    return result;
}

int childCount(AtspiAccessible* object) {
    return bounded([&](GError** e) { return atspi_accessible_get_child_count(object, e); },
                   [](int count) { return count < 0; }, Empty::isFailure);
}

Object childAt(AtspiAccessible* object, int index) {
    return bounded([&](GError** e) { return Object(atspi_accessible_get_child_at_index(object, index, e)); },
                   [](const Object& child) { return !child; }, Empty::isFailure);
}

AtspiRole role(AtspiAccessible* object) {
    return bounded([&](GError** e) { return atspi_accessible_get_role(object, e); },
                   [](AtspiRole r) { return r == ATSPI_ROLE_INVALID; }, Empty::isFailure);
}

std::string name(AtspiAccessible* object) {
    return bounded([&](GError** e) { return takeString(atspi_accessible_get_name(object, e)); },
                   [](const std::string& text) { return text.empty(); }, Empty::isAnswer);
}

class States {
public:
    // A set that could not be read comes back holding DEFUNCT.
    explicit States(AtspiAccessible* object)
        : set_(bounded([&](GError**) { return Ref<AtspiStateSet>(atspi_accessible_get_state_set(object)); },
                       [](const Ref<AtspiStateSet>& set) {
                           return !set || atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT);
                       },
                       Empty::isFailure)) {}
    bool has(AtspiStateType state) const { return atspi_state_set_contains(set_.get(), state); }

private:
    Ref<AtspiStateSet> set_;
};

// The interfaces an object offers are asked for once and then cached by libatspi.
template <class T, class Get>
Ref<T> interface(AtspiAccessible* object, Get get) {
    return bounded([&](GError**) { return Ref<T>(get(object)); }, [](const Ref<T>& iface) { return !iface; },
                   Empty::isAnswer);
}

bool hasInterface(AtspiAccessible* object, AtspiEditableText* (*get)(AtspiAccessible*)) {
    return bool(interface<AtspiEditableText>(object, get));
}

// The text of a cell or item: its own name, else the first named part of it
// (a file view's name column holds an icon and the name). `part` says where
// the name was found (-1: the item itself) and, when known, where to look.
std::string itemName(AtspiAccessible* item, int& part) {
    if (part >= 0) {
        // The place found on an earlier row: two calls instead of a search.
        const Object piece =
            bounded([&](GError** e) { return Object(atspi_accessible_get_child_at_index(item, part, e)); },
                    [](const Object& o) { return !o; }, Empty::isAnswer);
        if (piece) {
            std::string text = name(piece.get());
            if (!text.empty()) return text;
        }
        part = -1;
    }
    const int count = childCount(item);
    for (int i = 0; i < count; ++i) {
        Object piece = childAt(item, i);
        if (!interface<AtspiText>(piece.get(), atspi_accessible_get_text_iface)) continue;
        std::string text = name(piece.get());
        if (!text.empty()) {
            part = i;
            return text;
        }
    }
    return name(item);
}

bool takesText(AtspiAccessible* object) {
    const AtspiRole r = role(object);
    if (r == ATSPI_ROLE_ENTRY || r == ATSPI_ROLE_PASSWORD_TEXT) return true;
    const States states(object);
    if (!states.has(ATSPI_STATE_EDITABLE)) return false;
    if (r == ATSPI_ROLE_COMBO_BOX) return true;
    return hasInterface(object, atspi_accessible_get_editable_text_iface);
}

// What one window of a file manager holds, found by one walk and kept
// while its objects stay alive and shown.
struct WindowParts {
    Object frame;
    Object view;                 // the file view: Selection (and Table for a details list)
    std::vector<Object> entries; // editable texts outside the view (location, search)
    std::vector<Object> pathBars; // rows of toggle buttons that may be path bars
    Object pane;                 // the directory pane around the view, when the toolkit names one
    int nameColumn = -1;         // a table's column holding the names; -1 until known
    int namePart = -1;           // the part of a name cell holding the name; -1 when unknown
    Clock::time_point walked;
    bool folderFound = false;    // the folder was read from this window since the walk
    bool settled = false;        // the view was found in a directory pane
};

class Walker {
public:
    explicit Walker(WindowParts& parts) : parts_(parts) {}

    void walk(AtspiAccessible* object, int depth, bool inDirectoryPane) {
        if (++visited_ > kMaxObjects || depth > kMaxDepth) return;
        const States states(object);
        if (!states.has(ATSPI_STATE_SHOWING) && depth > 0) return;
        const AtspiRole r = role(object);
        if (r == ATSPI_ROLE_DIRECTORY_PANE && !inDirectoryPane) {
            inDirectoryPane = true;
            if (!parts_.pane) parts_.pane = Object::share(object);
        }
        const bool managesChildren = states.has(ATSPI_STATE_MANAGES_DESCENDANTS);
        if (interface<AtspiSelection>(object, atspi_accessible_get_selection_iface) && isViewRole(r, managesChildren)) {
            // A view inside a directory pane is the file view; otherwise the
            // last one found (side panes come before the file view).
            if (!foundInPane_) {
                parts_.view = Object::share(object);
                foundInPane_ = inDirectoryPane;
            }
            return;  // its children are the files themselves
        }
        if (managesChildren) return;
        if (hasInterface(object, atspi_accessible_get_editable_text_iface)) {
            parts_.entries.push_back(Object::share(object));
            return;
        }
        const int count = childCount(object);
        if (count > 0 && isPathBar(object, count)) {
            parts_.pathBars.push_back(Object::share(object));
            return;
        }
        for (int i = 0; i < count && visited_ <= kMaxObjects; ++i) {
            Object child = childAt(object, i);
            walk(child.get(), depth + 1, inDirectoryPane);
        }
    }

    // Where the toolkit names a directory pane, only a view inside it is the
    // file view (a side pane's list of places is not). A view found outside
    // one may have been walked before the window built its file view.
    void finish() {
        if (parts_.pane && !foundInPane_) parts_.view.reset();
        parts_.settled = foundInPane_;
    }

private:
    static constexpr int kMaxObjects = 3000;
    static constexpr int kMaxDepth = 40;

    static bool isViewRole(AtspiRole r, bool managesChildren) {
        switch (r) {
        case ATSPI_ROLE_TABLE:
        case ATSPI_ROLE_TREE_TABLE:
        case ATSPI_ROLE_TREE:
        case ATSPI_ROLE_LIST:
        case ATSPI_ROLE_LIST_BOX:
        case ATSPI_ROLE_LAYERED_PANE:
            return true;
        default:
            return managesChildren && r != ATSPI_ROLE_PAGE_TAB_LIST && r != ATSPI_ROLE_MENU_BAR &&
                   r != ATSPI_ROLE_MENU;
        }
    }

    // Toggle buttons only, more than one or a lone root button (a toolbar's
    // single toggle, such as a search button, is not a path bar).
    static bool isPathBar(AtspiAccessible* object, int count) {
        if (count > 64) return false;
        for (int i = 0; i < count; ++i) {
            Object child = childAt(object, i);
            if (role(child.get()) != ATSPI_ROLE_TOGGLE_BUTTON) return false;
            if (count == 1) {
                const std::string label = name(child.get());
                if (!label.empty() && label != "/") return false;
            }
        }
        return true;
    }

    WindowParts& parts_;
    int visited_ = 0;
    bool foundInPane_ = false;
};

std::optional<fs::path> pathBarFolder(AtspiAccessible* bar) {
    const int count = childCount(bar);
    std::vector<std::string> names;
    std::optional<size_t> pressed;
    for (int i = 0; i < count; ++i) {
        Object button = childAt(bar, i);
        names.push_back(name(button.get()));
        if (States(button.get()).has(ATSPI_STATE_CHECKED)) pressed = static_cast<size_t>(i);
    }
    if (!pressed) return std::nullopt;
    return FileManagerFolder::fromPathBar(names, *pressed);
}

class AtspiFileManagerAccessibility final : public FileManagerAccessibility {
public:
    AtspiFileManagerAccessibility() {
        // Once per process; a bus that cannot be reached shows as a desktop
        // without applications, that is, as denied.
        static const bool initialised = [] {
            const int status = atspi_init();
            // The registry's first list of applications is read under the
            // library's own time-out: when that read fails, libatspi keeps a
            // desktop without it.
            if (status == 0) {
                if (AtspiAccessible* desktop = atspi_get_desktop(0)) g_object_unref(desktop);
            }
            // Then each call bounded, and no grace for applications that just started.
            atspi_set_timeout(static_cast<gint>(kAtspiTimeout.count()), -1);
            return status == 0 || status == 1;
        }();
        usable_ = initialised;
    }

    ~AtspiFileManagerAccessibility() override {
        stopObserving();
        if (listener_) {
            for (const char* event : kEvents) atspi_event_listener_deregister(listener_, event, nullptr);
            g_object_unref(listener_);
        }
    }

    Selection selection(int pid, const std::string& windowTitle, size_t limit) override {
        Selection result;
        try {
            Object app = application(pid);
            if (!app) {
                result.outcome = missing(pid);
                return result;
            }
            WindowParts& parts = partsOf(app.get(), windowTitle);
            std::optional<fs::path> folder = FileManagerFolder::fromTitle(name(parts.frame.get()));
            for (size_t i = 0; !folder && i < parts.entries.size(); ++i) {
                // An entry the user is typing in holds a folder not yet shown.
                if (States(parts.entries[i].get()).has(ATSPI_STATE_FOCUSED)) continue;
                folder = FileManagerFolder::fromLocation(text(parts.entries[i].get()));
            }
            for (size_t i = 0; !folder && i < parts.pathBars.size(); ++i) folder = pathBarFolder(parts.pathBars[i].get());
            parts.folderFound = parts.folderFound || folder.has_value();
            result.outcome = Outcome::ok;
            if (!folder || !parts.view) return result;
            result.paths = FileManagerFolder::existingPaths(*folder, selectedNames(parts, limit));
        } catch (const Abort& abort) {
            result.outcome = abort.outcome;
            result.paths.clear();
            if (abort.outcome == Outcome::failed) forgetWindows();
        }
        return result;
    }

    TextFocus textFocus(int pid) override {
        TextFocus result;
        try {
            Object app = application(pid);
            if (!app) {
                result.outcome = missing(pid);
                return result;
            }
            Object focused;
            if (focused_ && focusedPid_ == pid) {
                try {
                    if (States(focused_.get()).has(ATSPI_STATE_FOCUSED)) focused = focused_.copy();
                } catch (const Abort& abort) {
                    if (abort.outcome == Outcome::timedOut) throw;
                }
            }
            if (!focused) focused = searchFocus(app.get());
            result.outcome = Outcome::ok;
            result.editing = focused && takesText(focused.get());
        } catch (const Abort& abort) {
            result.outcome = abort.outcome;
            result.editing = false;
        }
        return result;
    }

    bool observe(int pid, EventHandler handler) override {
        if (!usable_) return false;
        if (!listener_) {
            listener_ = atspi_event_listener_new(&AtspiFileManagerAccessibility::onEvent, this, nullptr);
            for (const char* event : kEvents) {
                GError* error = nullptr;
                if (!atspi_event_listener_register(listener_, event, &error)) {
                    if (error) g_error_free(error);
                    g_object_unref(listener_);
                    listener_ = nullptr;
                    return false;
                }
            }
        }
        observedPid_ = pid;
        handler_ = std::move(handler);
        return true;
    }

    void stopObserving() override {
        observedPid_ = 0;
        handler_ = nullptr;
    }

private:
    static constexpr const char* kEvents[] = {"object:selection-changed", "object:state-changed:focused",
                                              "object:active-descendant-changed", "window:activate"};

    static void onEvent(AtspiEvent* event, void* data) {
        static_cast<AtspiFileManagerAccessibility*>(data)->handle(event);
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    void handle(const AtspiEvent* event) {
        if (!event || !event->source || !event->type || observedPid_ == 0) return;
        const int pid = pidOf(event->source);
        if (pid != observedPid_) return;
        const std::string type = event->type;
        if (type.rfind("object:state-changed:focused", 0) == 0) {
            if (event->detail1) {
                focused_ = Object::share(event->source);
                focusedPid_ = pid;
            } else if (focused_.get() == event->source) {
                focused_.reset();
            }
        }
        // The handler may replace itself or stop observing.
        if (auto handler = handler_) handler(type);
    }

    // The bus daemon tells the process behind a connection; asked once per
    // connection, since a connection never changes hands.
    int pidOf(AtspiAccessible* object) {
        const AtspiObject* base = ATSPI_OBJECT(object);
        if (!base->app || !base->app->bus_name) return 0;
        const std::string bus = base->app->bus_name;
        if (auto it = busPids_.find(bus); it != busPids_.end()) return it->second;
        GError* error = nullptr;
        const guint pid = atspi_accessible_get_process_id(object, &error);
        if (error) {
            g_error_free(error);
            return 0;
        }
        busPids_[bus] = static_cast<int>(pid);
        return static_cast<int>(pid);
    }

    // What a process missing from the bus means: refused, unless it has just
    // started.
    static Outcome missing(int pid) {
        const auto age = processAge(pid);
        return age && *age < kRegistrationGraceSeconds ? Outcome::failed : Outcome::denied;
    }

    // The application of `pid` on the bus, or none.
    Object application(int pid) {
        if (!usable_ || pid <= 0) return {};
        if (app_ && appPid_ == pid) return app_.copy();
        app_.reset();
        windows_.clear();
        Object desktop(atspi_get_desktop(0));
        if (!desktop) return {};
        const int count = childCount(desktop.get());
        for (int i = 0; i < count; ++i) {
            Object candidate = childAt(desktop.get(), i);
            if (pidOf(candidate.get()) == pid) {
                app_ = candidate.copy();
                appPid_ = pid;
                return candidate;
            }
        }
        return {};
    }

    void forgetWindows() {
        // Whatever vanished is found again by the next query.
        app_.reset();
        appPid_ = 0;
        windows_.clear();
    }

    // The active frame (dialogs excluded), else the one titled like the
    // front window, else the only one.
    Object frame(AtspiAccessible* app, const std::string& windowTitle) {
        const int count = childCount(app);
        Object titled, only;
        int frames = 0;
        for (int i = 0; i < count; ++i) {
            Object window = childAt(app, i);
            const AtspiRole r = role(window.get());
            if (r != ATSPI_ROLE_FRAME && r != ATSPI_ROLE_WINDOW) continue;
            ++frames;
            if (States(window.get()).has(ATSPI_STATE_ACTIVE)) return window;
            if (!titled && !windowTitle.empty() && name(window.get()) == windowTitle) titled = window.copy();
            only = std::move(window);
        }
        if (titled) return titled;
        if (frames == 1) return only;
        throw Abort{Outcome::failed};
    }

    WindowParts& partsOf(AtspiAccessible* app, const std::string& windowTitle) {
        Object current = frame(app, windowTitle);
        auto it = windows_.find(current.get());
        if (it != windows_.end() && stillShown(it->second)) return it->second;
        WindowParts parts;
        parts.frame = current.copy();
        parts.walked = Clock::now();
        Walker walker(parts);
        walker.walk(current.get(), 0, false);
        walker.finish();
        if (windows_.size() > 16) windows_.clear();
        auto& stored = windows_[current.get()];
        stored = std::move(parts);
        return stored;
    }

    // A view replaced by another (the user switched views or tabs) is gone
    // or no longer shown. A window walked without a view in a directory pane
    // or without a place naming its folder (an icon view, a toolkit naming no
    // panes, or a window still being built) is walked again after a while.
    static bool stillShown(const WindowParts& parts) {
        if (!parts.settled || !parts.folderFound) return Clock::now() - parts.walked < kRewalkAfter;
        try {
            return States(parts.view.get()).has(ATSPI_STATE_SHOWING);
        } catch (const Abort& abort) {
            if (abort.outcome == Outcome::timedOut) throw;
            return false;
        }
    }

    static std::string text(AtspiAccessible* entry) {
        Ref<AtspiText> iface = interface<AtspiText>(entry, atspi_accessible_get_text_iface);
        if (!iface) return {};
        return bounded([&](GError** e) { return takeString(atspi_text_get_text(iface.get(), 0, -1, e)); },
                       [](const std::string& text) { return text.empty(); }, Empty::isAnswer);
    }

    static std::vector<std::string> selectedNames(WindowParts& parts, size_t limit) {
        std::vector<std::string> names;
        AtspiAccessible* view = parts.view.get();
        if (Ref<AtspiTable> table = interface<AtspiTable>(view, atspi_accessible_get_table_iface)) {
            using Rows = std::unique_ptr<GArray, decltype([](GArray* a) { g_array_free(a, TRUE); })>;
            const Rows rows = bounded([&](GError** e) { return Rows(atspi_table_get_selected_rows(table.get(), e)); },
                                      [](const Rows& r) { return !r; }, Empty::isFailure);
            std::vector<int> selected;
            for (guint i = 0; i < rows->len && selected.size() < limit; ++i) {
                selected.push_back(g_array_index(rows.get(), gint, i));
            }
            for (const int row : selected) {
                names.push_back(itemName(nameCell(parts, table.get(), row).get(), parts.namePart));
            }
            return names;
        }
        Ref<AtspiSelection> selection = interface<AtspiSelection>(view, atspi_accessible_get_selection_iface);
        if (!selection) return names;
        const int count =
            bounded([&](GError** e) { return atspi_selection_get_n_selected_children(selection.get(), e); },
                    [](int n) { return n < 0; }, Empty::isFailure);
        for (int i = 0; i < count && names.size() < limit; ++i) {
            const Object item = bounded(
                [&](GError** e) { return Object(atspi_selection_get_selected_child(selection.get(), i, e)); },
                [](const Object& o) { return !o; }, Empty::isFailure);
            names.push_back(itemName(item.get(), parts.namePart));
        }
        return names;
    }

    // The names sit in the column whose cells hold parts (icon and name);
    // looked for once per view, column 0 when no column has parts.
    static Object nameCell(WindowParts& parts, AtspiTable* table, int row) {
        auto cellAt = [&](int column) {
            return bounded([&](GError** e) { return Object(atspi_table_get_accessible_at(table, row, column, e)); },
                           [](const Object& o) { return !o; }, Empty::isFailure);
        };
        if (parts.nameColumn < 0) {
            const int columns = bounded([&](GError** e) { return atspi_table_get_n_columns(table, e); },
                                        [](int n) { return n < 0; }, Empty::isFailure);
            parts.nameColumn = 0;
            for (int column = 0; column < columns; ++column) {
                Object cell = cellAt(column);
                if (childCount(cell.get()) > 0) {
                    parts.nameColumn = column;
                    return cell;
                }
            }
        }
        return cellAt(parts.nameColumn);
    }

    // Without a focus event seen yet: the focused object of the active
    // window, looked for outside lists (a focused list holds the focus
    // itself).
    Object searchFocus(AtspiAccessible* app) {
        const int count = childCount(app);
        for (int i = 0; i < count; ++i) {
            Object window = childAt(app, i);
            if (!States(window.get()).has(ATSPI_STATE_ACTIVE)) continue;
            int budget = 3000;
            return findFocused(window.get(), budget, 0);
        }
        return {};
    }

    static Object findFocused(AtspiAccessible* object, int& budget, int depth) {
        if (--budget < 0 || depth > 40) return {};
        const States states(object);
        if (states.has(ATSPI_STATE_FOCUSED)) return Object::share(object);
        if ((!states.has(ATSPI_STATE_SHOWING) && depth > 0) || states.has(ATSPI_STATE_MANAGES_DESCENDANTS)) return {};
        const int count = childCount(object);
        for (int i = 0; i < count; ++i) {
            Object child = childAt(object, i);
            if (Object found = findFocused(child.get(), budget, depth + 1)) return found;
        }
        return {};
    }

    bool usable_ = false;
    AtspiEventListener* listener_ = nullptr;
    int observedPid_ = 0;
    EventHandler handler_;
    Object focused_;
    int focusedPid_ = 0;
    std::unordered_map<std::string, int> busPids_;
    Object app_;
    int appPid_ = 0;
    std::unordered_map<AtspiAccessible*, WindowParts> windows_;
};

}  // namespace

std::unique_ptr<FileManagerAccessibility> makeAtspiFileManagerAccessibility() {
    return std::make_unique<AtspiFileManagerAccessibility>();
}

}  // namespace qm
