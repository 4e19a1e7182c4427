#include "platform/desktop/FileManagerAccessibility.h"

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
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

// A name of one entry of a folder: no separator, not "." or "..".
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

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
        if (!isPlainName(ordered[i])) return std::nullopt;
        folder /= ordered[i];
    }
    return existingFolder(folder.string());
}

std::vector<std::string> existingPaths(const fs::path& folder, const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) {
        if (!isPlainName(name)) continue;
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

bool titleNames(const std::string& title, const std::string& name) {
    if (name.empty() || title.compare(0, name.size(), name) != 0) return false;
    if (title.size() == name.size()) return true;
    const std::string_view rest = std::string_view(title).substr(name.size());
    for (const std::string_view dash : {" - ", " \u2014 ", " \u2013 "}) {
        if (rest.substr(0, dash.size()) == dash) return true;
    }
    return false;
}

std::optional<size_t> currentCrumb(const std::vector<std::string>& crumbs, const std::string& title) {
    for (size_t i = crumbs.size(); i-- > 0;) {
        if (titleNames(title, crumbs[i])) return i;
    }
    return std::nullopt;
}

std::vector<fs::path> fromCrumbs(const std::vector<std::string>& crumbs, size_t current, const fs::path& home,
                                 const std::string& user) {
    std::vector<fs::path> found;
    if (current >= crumbs.size()) return found;
    fs::path rest;
    for (size_t i = 1; i <= current; ++i) {
        if (!isPlainName(crumbs[i])) return found;
        rest /= crumbs[i];
    }
    const std::string& first = crumbs.front();
    std::vector<fs::path> bases{"/"};
    if (first != "/" && !first.empty()) {
        if (home.is_absolute()) bases.insert(bases.begin(), home);
        if (isPlainName(first)) {
            if (home.is_absolute()) bases.push_back(home / first);
            bases.push_back(fs::path("/") / first);
            bases.push_back(fs::path("/media") / first);
            if (isPlainName(user)) {
                bases.push_back(fs::path("/media") / user / first);
                bases.push_back(fs::path("/run/media") / user / first);
            }
            bases.push_back(fs::path("/mnt") / first);
        }
    }
    for (const auto& base : bases) {
        const auto candidate = existingFolder((rest.empty() ? base : base / rest).string());
        if (candidate && std::find(found.begin(), found.end(), *candidate) == found.end()) found.push_back(*candidate);
    }
    return found;
}

fs::path holdingMost(const std::vector<fs::path>& candidates, const std::vector<std::string>& names) {
    size_t best = 0;
    size_t bestCount = 0;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const size_t count = existingPaths(candidates[i], names).size();
        if (count > bestCount) {
            best = i;
            bestCount = count;
        }
    }
    return candidates.at(best);
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

// The items of a view without Selection read at most per query (a quarter
// of a millisecond or more each, in Dolphin).
constexpr int kMaxMarkedItems = 200;

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

fs::path homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home == '/') return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) return entry->pw_dir;
    return {};
}

std::string userName() {
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_name) return entry->pw_name;
    return {};
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

// The first part of `object` (itself excluded), depth first, that offers text
// and has a name: the name a file view's item or a path bar's button shows
// (GTK 4 names its containers after their widget types, GTK 3 splits a name
// cell into an icon and a text). `path` receives the child indices leading
// to it.
std::optional<std::string> firstNamedText(AtspiAccessible* object, std::vector<int>& path, int depth, int& budget) {
    if (depth >= 7) return std::nullopt;
    const int count = childCount(object);
    for (int i = 0; i < count && budget > 0; ++i) {
        --budget;
        Object piece = childAt(object, i);
        path.push_back(i);
        if (interface<AtspiText>(piece.get(), atspi_accessible_get_text_iface)) {
            std::string text = name(piece.get());
            if (!text.empty()) return text;
        }
        if (auto found = firstNamedText(piece.get(), path, depth + 1, budget)) return found;
        path.pop_back();
    }
    return std::nullopt;
}

std::string textOf(AtspiAccessible* object) {
    Ref<AtspiText> iface = interface<AtspiText>(object, atspi_accessible_get_text_iface);
    if (!iface) return {};
    return bounded([&](GError** e) { return takeString(atspi_text_get_text(iface.get(), 0, -1, e)); },
                   [](const std::string& text) { return text.empty(); }, Empty::isAnswer);
}

// Where the name of a view's items sits: child indices from the item (empty:
// the item itself), found on the first item and tried first on the others.
struct NamePlace {
    std::vector<int> path;
    bool known = false;
};

// The text of a cell or item: the first named text part inside it, else its
// own name, else its own text (PCManFM's icons name themselves only so).
std::string itemName(AtspiAccessible* item, NamePlace& place) {
    if (place.known && !place.path.empty()) {
        // The place found on an earlier item: a call per level instead of a search.
        Object piece = Object::share(item);
        for (const int index : place.path) {
            piece = bounded([&](GError** e) { return Object(atspi_accessible_get_child_at_index(piece.get(), index, e)); },
                            [](const Object& o) { return !o; }, Empty::isAnswer);
            if (!piece) break;
        }
        if (piece) {
            std::string text = name(piece.get());
            if (!text.empty()) return text;
        }
    }
    std::vector<int> path;
    int budget = 40;
    if (auto found = firstNamedText(item, path, 0, budget)) {
        place = {std::move(path), true};
        return *found;
    }
    place = {{}, true};
    std::string own = name(item);
    return own.empty() ? textOf(item) : own;
}

bool takesText(AtspiAccessible* object) {
    const AtspiRole r = role(object);
    if (r == ATSPI_ROLE_ENTRY || r == ATSPI_ROLE_PASSWORD_TEXT) return true;
    const States states(object);
    if (!states.has(ATSPI_STATE_EDITABLE)) {
        // Nemo's rename field (an editable label) reports no state at all,
        // where any other focusable widget reports at least that it is
        // sensitive.
        return r == ATSPI_ROLE_TEXT && !states.has(ATSPI_STATE_SENSITIVE) && !states.has(ATSPI_STATE_READ_ONLY) &&
               hasInterface(object, atspi_accessible_get_editable_text_iface);
    }
    if (r == ATSPI_ROLE_COMBO_BOX) return true;
    return hasInterface(object, atspi_accessible_get_editable_text_iface);
}

// GTK 4 (4.8) marks no object but its windows as showing: there, visible
// stands for shown.
bool shown(const States& states, bool visibleIsShown) {
    return states.has(ATSPI_STATE_SHOWING) || (visibleIsShown && states.has(ATSPI_STATE_VISIBLE));
}

// What one window of a file manager holds, found by one walk and kept
// while its objects stay alive and shown.
struct WindowParts {
    Object frame;
    // The file view: one offering Selection (and Table for a details list),
    // or a table whose items only carry their selected state (Qt 5).
    Object view;
    bool viewSelects = true;
    struct View {
        Object object;
        bool selects = true;
    };
    std::vector<View> views;       // the candidates, the view among them
    std::vector<Object> entries;   // editable texts outside the view (location, search)
    std::vector<Object> pathBars;  // rows of toggle buttons or check boxes that may be path bars
    std::vector<Object> crumbBars; // rows of push buttons that may be path bars
    int crumbBar = -1;             // the crumb bar that named the folder last
    Object pane;                   // the directory pane around the view, when the toolkit names one
    int nameColumn = -1;           // a table's column holding the names; -1 until known
    NamePlace namePlace;
    bool visibleIsShown = false;
    Clock::time_point walked;
    bool folderFound = false;      // the folder was read from this window since the walk
    bool settled = false;          // the view was chosen for good (Walker::finish, settleView)
};

// The panel a push button sits in with at most a separator beside it
// (Nautilus wraps each crumb so).
bool isWrapper(AtspiRole r, int children) {
    return children <= 2 && (r == ATSPI_ROLE_PANEL || r == ATSPI_ROLE_FILLER);
}

class Walker {
public:
    explicit Walker(WindowParts& parts) : parts_(parts) {}

    struct Parent {
        AtspiAccessible* object = nullptr;
        AtspiRole role = ATSPI_ROLE_INVALID;
        int children = 0;
        AtspiAccessible* parent = nullptr;
    };

    void walk(AtspiAccessible* object, int depth, bool inDirectoryPane, const Parent& up) {
        if (++visited_ > kMaxObjects || depth > kMaxDepth) return;
        const States states(object);
        if (depth > 0 && !shown(states, parts_.visibleIsShown)) return;
        const AtspiRole r = role(object);
        if (r == ATSPI_ROLE_DIRECTORY_PANE && !inDirectoryPane) {
            inDirectoryPane = true;
            if (!parts_.pane) parts_.pane = Object::share(object);
        }
        const bool managesChildren = states.has(ATSPI_STATE_MANAGES_DESCENDANTS);
        const bool selects = bool(interface<AtspiSelection>(object, atspi_accessible_get_selection_iface));
        if (selects ? isViewRole(r, managesChildren)
                    : isItemTable(r) && interface<AtspiTable>(object, atspi_accessible_get_table_iface)) {
            views_.push_back({Object::share(object), inDirectoryPane, selects});
            return;  // its children are the files themselves
        }
        if (managesChildren) return;
        if (hasInterface(object, atspi_accessible_get_editable_text_iface)) {
            parts_.entries.push_back(Object::share(object));
            return;
        }
        if (r == ATSPI_ROLE_PUSH_BUTTON && up.object) {
            AtspiAccessible* bar = isWrapper(up.role, up.children) && up.parent ? up.parent : up.object;
            if (std::none_of(parts_.crumbBars.begin(), parts_.crumbBars.end(),
                             [&](const Object& known) { return known.get() == bar; })) {
                parts_.crumbBars.push_back(Object::share(bar));
            }
        }
        const int count = childCount(object);
        if (count > 0 && isPathBar(object, count)) {
            parts_.pathBars.push_back(Object::share(object));
            return;
        }
        for (int i = 0; i < count && visited_ <= kMaxObjects; ++i) {
            Object child = childAt(object, i);
            walk(child.get(), depth + 1, inDirectoryPane, {object, r, count, up.object});
        }
    }

    // Where the toolkit names a directory pane, only a view inside it is the
    // file view (a side pane's list of places is not), and the first one
    // found there is taken for good. Elsewhere side panes and the lists of
    // combo boxes come before the file view or after it, as the toolkit
    // orders them: the views are kept largest first, the largest is taken
    // until the folder tells them apart (settleView). A window with a pane
    // but no view in it may have been walked before it built its file view.
    void finish() {
        parts_.view.reset();
        parts_.views.clear();
        parts_.settled = false;
        for (auto& found : views_) {
            if (!found.inPane) continue;
            parts_.views.push_back({std::move(found.object), found.selects});
            parts_.view = parts_.views.front().object.copy();
            parts_.viewSelects = found.selects;
            parts_.settled = true;
            return;
        }
        if (parts_.pane) return;
        std::vector<std::pair<double, size_t>> sizes;
        for (size_t i = 0; i < views_.size(); ++i) sizes.emplace_back(area(views_[i].object.get()), i);
        std::stable_sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [size, i] : sizes) parts_.views.push_back({std::move(views_[i].object), views_[i].selects});
        if (parts_.views.empty()) return;
        parts_.view = parts_.views.front().object.copy();
        parts_.viewSelects = parts_.views.front().selects;
    }

private:
    static constexpr int kMaxObjects = 3000;
    static constexpr int kMaxDepth = 40;

    struct Found {
        Object object;
        bool inPane = false;
        bool selects = true;
    };

    static double area(AtspiAccessible* object) {
        Ref<AtspiComponent> component = interface<AtspiComponent>(object, atspi_accessible_get_component_iface);
        if (!component) return 0;
        using Rect = std::unique_ptr<AtspiRect, decltype([](AtspiRect* r) { g_free(r); })>;
        const Rect rect = bounded(
            [&](GError** e) { return Rect(atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, e)); },
            [](const Rect& r) { return !r; }, Empty::isAnswer);
        if (!rect || rect->width <= 0 || rect->height <= 0) return 0;
        return double(rect->width) * double(rect->height);
    }

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

    // Qt 5 offers no Selection: its item views are tables (Dolphin's
    // views, PCManFM-Qt's lists and trees).
    static bool isItemTable(AtspiRole r) {
        return r == ATSPI_ROLE_TABLE || r == ATSPI_ROLE_TREE_TABLE || r == ATSPI_ROLE_TREE || r == ATSPI_ROLE_LIST;
    }

    // Toggle buttons or check boxes (Qt's toggles), more than one or a lone
    // root button (a toolbar's single toggle, such as a search button, is
    // not a path bar); unnamed push buttons beside them scroll the bar.
    static bool isPathBar(AtspiAccessible* object, int count) {
        if (count > 64) return false;
        int toggles = 0;
        for (int i = 0; i < count; ++i) {
            Object child = childAt(object, i);
            const AtspiRole r = role(child.get());
            if (r == ATSPI_ROLE_PUSH_BUTTON && name(child.get()).empty()) continue;
            if (r != ATSPI_ROLE_TOGGLE_BUTTON && r != ATSPI_ROLE_CHECK_BOX) return false;
            ++toggles;
        }
        if (toggles == 1) {
            for (int i = 0; i < count; ++i) {
                Object child = childAt(object, i);
                if (role(child.get()) == ATSPI_ROLE_PUSH_BUTTON) continue;
                const std::string label = name(child.get());
                return label.empty() || label == "/";
            }
        }
        return toggles > 0;
    }

    WindowParts& parts_;
    std::vector<Found> views_;
    int visited_ = 0;
};

// A bar of toggles: the pressed one is the folder shown.
std::optional<fs::path> pathBarFolder(AtspiAccessible* bar) {
    const int count = childCount(bar);
    std::vector<std::string> names;
    std::optional<size_t> pressed;
    for (int i = 0; i < count; ++i) {
        Object button = childAt(bar, i);
        if (role(button.get()) == ATSPI_ROLE_PUSH_BUTTON) continue;
        if (States(button.get()).has(ATSPI_STATE_CHECKED)) pressed = names.size();
        names.push_back(name(button.get()));
    }
    if (!pressed) return std::nullopt;
    return FileManagerFolder::fromPathBar(names, *pressed);
}

// A bar of push buttons, root first, hidden ones included: their names.
std::vector<std::string> crumbNames(AtspiAccessible* bar) {
    std::vector<std::string> names;
    const int count = childCount(bar);
    if (count > 64) return names;
    for (int i = 0; i < count; ++i) {
        Object child = childAt(bar, i);
        const AtspiRole r = role(child.get());
        Object button;
        if (r == ATSPI_ROLE_PUSH_BUTTON) {
            button = std::move(child);
        } else {
            const int parts = childCount(child.get());
            if (!isWrapper(r, parts)) continue;
            for (int j = 0; j < parts && !button; ++j) {
                Object part = childAt(child.get(), j);
                if (role(part.get()) == ATSPI_ROLE_PUSH_BUTTON) button = std::move(part);
            }
            if (!button) continue;
        }
        std::vector<int> path;
        int budget = 8;
        auto label = firstNamedText(button.get(), path, 4, budget);
        // Unnamed buttons open menus beside the crumbs (Dolphin).
        if (std::string crumb = label ? *label : name(button.get()); !crumb.empty()) names.push_back(std::move(crumb));
    }
    return names;
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
            const std::string title = name(parts.frame.get());
            std::optional<fs::path> folder = FileManagerFolder::fromTitle(title);
            for (size_t i = 0; !folder && i < parts.entries.size(); ++i) {
                // An entry the user is typing in holds a folder not yet shown.
                if (States(parts.entries[i].get()).has(ATSPI_STATE_FOCUSED)) continue;
                folder = FileManagerFolder::fromLocation(textOf(parts.entries[i].get()));
            }
            for (size_t i = 0; !folder && i < parts.pathBars.size(); ++i) folder = pathBarFolder(parts.pathBars[i].get());
            result.outcome = Outcome::ok;
            if (!parts.view) {
                parts.folderFound = parts.folderFound || folder.has_value();
                return result;
            }
            std::vector<std::string> names = selectedNames(parts, limit);
            if (!folder) folder = crumbFolder(parts, title, names);
            parts.folderFound = parts.folderFound || folder.has_value();
            if (!folder) return result;
            if (!parts.settled && settleView(parts, *folder)) names = selectedNames(parts, limit);
            result.paths = FileManagerFolder::existingPaths(*folder, names);
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
                    // The last object that announced taking the focus, if it
                    // still shows it or takes text (Nemo's rename field
                    // announces it but never shows it in its states), and
                    // if it lies in the active window (PCManFM's view,
                    // behind its rename dialog, may have spoken last).
                    if ((States(focused_.get()).has(ATSPI_STATE_FOCUSED) || takesText(focused_.get())) &&
                        inActiveWindow(focused_.get())) {
                        focused = focused_.copy();
                    }
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
                // Taken only once it says its toolkit (a failed call keeps nothing).
                const auto gtk4 = isGtk4(candidate.get());
                if (!gtk4) throw Abort{Outcome::failed};
                app_ = candidate.copy();
                appPid_ = pid;
                appVisibleIsShown_ = *gtk4;
                return candidate;
            }
        }
        return {};
    }

    // Whether the application's toolkit is GTK 4; none while it does not
    // say which toolkit it is.
    static std::optional<bool> isGtk4(AtspiAccessible* app) {
        const auto text = [&](gchar* (*get)(AtspiAccessible*, GError**)) {
            return bounded([&](GError** e) { return takeString(get(app, e)); },
                           [](const std::string& t) { return t.empty(); }, Empty::isAnswer);
        };
        const std::string toolkit = text(atspi_accessible_get_toolkit_name);
        if (toolkit.empty()) return std::nullopt;
        if (g_ascii_strcasecmp(toolkit.c_str(), "gtk") != 0) return false;
        const std::string version = text(atspi_accessible_get_toolkit_version);
        if (version.empty()) return std::nullopt;
        return version.front() == '4';
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
            // Dolphin's window title adds its own name to the frame's.
            if (!titled && !windowTitle.empty() && FileManagerFolder::titleNames(windowTitle, name(window.get()))) {
                titled = window.copy();
            }
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
        parts.visibleIsShown = appVisibleIsShown_;
        Walker walker(parts);
        walker.walk(current.get(), 0, false, {});
        walker.finish();
        if (windows_.size() > 16) windows_.clear();
        auto& stored = windows_[current.get()];
        stored = std::move(parts);
        return stored;
    }

    // A view replaced by another (the user switched views or tabs) is gone
    // or no longer shown. A window walked without a view or without a place
    // naming its folder (Thunar's icon view, a window still being built) is
    // walked again after a while.
    static bool stillShown(const WindowParts& parts) {
        if (!parts.settled || !parts.folderFound) return Clock::now() - parts.walked < kRewalkAfter;
        try {
            return shown(States(parts.view.get()), parts.visibleIsShown);
        } catch (const Abort& abort) {
            if (abort.outcome == Outcome::timedOut) throw;
            return false;
        }
    }

    std::vector<std::string> selectedNames(WindowParts& parts, size_t limit) {
        std::vector<std::string> names;
        AtspiAccessible* view = parts.view.get();
        if (Ref<AtspiTable> table = interface<AtspiTable>(view, atspi_accessible_get_table_iface)) {
            for (const int row : selectedRows(table.get(), limit)) {
                names.push_back(itemName(nameCell(parts.nameColumn, table.get(), row).get(), parts.namePlace));
            }
            if (!names.empty() || parts.viewSelects) return names;
            return markedNames(parts, limit);
        }
        Ref<AtspiSelection> selection = interface<AtspiSelection>(view, atspi_accessible_get_selection_iface);
        if (!selection) return names;
        const int count =
            bounded([&](GError** e) { return atspi_selection_get_n_selected_children(selection.get(), e); },
                    [](int n) { return n < 0; }, Empty::isFailure);
        for (int i = 0; i < count && names.size() < limit; ++i) {
            const Object item = bounded(
                [&](GError** e) { return Object(atspi_selection_get_selected_child(selection.get(), i, e)); },
                [](const Object& o) { return !o; }, Empty::isAnswer);
            // GTK 4.8's list views count their selected items but give only
            // the first few: their items carry the selected state too.
            if (!item) return markedNames(parts, limit);
            names.push_back(itemName(item.get(), parts.namePlace));
        }
        return names;
    }

    static std::vector<int> selectedRows(AtspiTable* table, size_t limit) {
        using Rows = std::unique_ptr<GArray, decltype([](GArray* a) { g_array_free(a, TRUE); })>;
        const Rows rows = bounded([&](GError** e) { return Rows(atspi_table_get_selected_rows(table, e)); },
                                  [](const Rows& r) { return !r; }, Empty::isFailure);
        std::vector<int> selected;
        for (guint i = 0; i < rows->len && selected.size() < limit; ++i) {
            selected.push_back(g_array_index(rows.get(), gint, i));
        }
        return selected;
    }

    // A view without Selection whose rows are not selected whole, or whose
    // Selection fails: its items carry their selected state, one call each.
    // A list's children are its cells, the model's columns for every item,
    // the item's own first (PCManFM-Qt); a table's children are its items
    // (Dolphin). Where a focus event named the current item, the run of
    // selected items around it is read (at most kMaxMarkedItems before it),
    // and an unselected current item means no selection: a click and the
    // arrow keys select the item they make current. Without one, the first
    // kMaxMarkedItems items are read.
    std::vector<std::string> markedNames(WindowParts& parts, size_t limit) {
        std::vector<std::string> names;
        AtspiAccessible* view = parts.view.get();
        const int children = childCount(view);
        int stride = 1;
        Ref<AtspiTable> table = interface<AtspiTable>(view, atspi_accessible_get_table_iface);
        if (table && role(view) == ATSPI_ROLE_LIST) {
            const auto count = [&](gint (*get)(AtspiTable*, GError**)) {
                return bounded([&](GError** e) { return get(table.get(), e); }, [](int n) { return n < 0; },
                               Empty::isFailure);
            };
            const int columns = count(atspi_table_get_n_columns);
            if (columns > 1 && count(atspi_table_get_n_rows) * columns == children) stride = columns;
        }
        const int items = children / stride;
        const auto marked = [&](int item) -> Object {
            Object child = childAt(view, item * stride);
            return States(child.get()).has(ATSPI_STATE_SELECTED) ? std::move(child) : Object{};
        };
        int first = 0;
        int end = std::min(items, kMaxMarkedItems);
        if (const auto anchor = focusedItem(view, stride); anchor && *anchor < items) {
            if (!marked(*anchor)) return names;
            first = *anchor;
            while (first > 0 && *anchor - first < kMaxMarkedItems && marked(first - 1)) --first;
            end = std::min(items, first + kMaxMarkedItems);
            for (int item = first; item < end && names.size() < limit; ++item) {
                Object child = marked(item);
                if (!child) break;
                names.push_back(itemName(child.get(), parts.namePlace));
            }
            return names;
        }
        for (int item = first; item < end && names.size() < limit; ++item) {
            if (Object child = marked(item)) names.push_back(itemName(child.get(), parts.namePlace));
        }
        return names;
    }

    // The first candidate whose first item is a file of `folder` is the file
    // view for good (a side pane lists places, a combo box choices). True
    // when that changed the view. With no such candidate (an empty folder, a
    // view not filled yet) the largest stands until the next walk.
    bool settleView(WindowParts& parts, const fs::path& folder) {
        for (auto& candidate : parts.views) {
            AtspiAccessible* view = candidate.object.get();
            Object item;
            NamePlace place;
            if (Ref<AtspiTable> table = interface<AtspiTable>(view, atspi_accessible_get_table_iface)) {
                const int rows = bounded([&](GError** e) { return atspi_table_get_n_rows(table.get(), e); },
                                         [](int n) { return n < 0; }, Empty::isFailure);
                int column = -1;
                if (rows > 0) item = nameCell(column, table.get(), 0);
            }
            if (!item && childCount(view) > 0) item = childAt(view, 0);
            if (!item) continue;
            if (FileManagerFolder::existingPaths(folder, {itemName(item.get(), place)}).empty()) continue;
            parts.settled = true;
            if (parts.view.get() == view) return false;
            parts.view = candidate.object.copy();
            parts.viewSelects = candidate.selects;
            parts.nameColumn = -1;
            parts.namePlace = {};
            return true;
        }
        return false;
    }

    // The item of `view` that the last focus event named, if it is one.
    std::optional<int> focusedItem(AtspiAccessible* view, int stride) {
        if (!focused_ || focusedPid_ != appPid_) return std::nullopt;
        const Object parent = bounded(
            [&](GError** e) { return Object(atspi_accessible_get_parent(focused_.get(), e)); },
            [](const Object& o) { return !o; }, Empty::isAnswer);
        if (parent.get() != view) return std::nullopt;
        const int index = bounded([&](GError** e) { return atspi_accessible_get_index_in_parent(focused_.get(), e); },
                                  [](int i) { return i < 0; }, Empty::isAnswer);
        if (index < 0 || index % stride != 0) return std::nullopt;
        return index / stride;
    }

    // The folder a bar of push buttons names (Dolphin, Nautilus): the
    // button named like the window is the folder shown; its path is tried
    // below the places a first button may stand for, and the candidate
    // holding most of the selected names wins.
    std::optional<fs::path> crumbFolder(WindowParts& parts, const std::string& title,
                                        const std::vector<std::string>& selected) {
        const int bars = static_cast<int>(parts.crumbBars.size());
        for (int k = -1; k < bars; ++k) {
            // The bar that named the folder last, then the others.
            const int index = k < 0 ? parts.crumbBar : k;
            if (index < 0 || index >= bars || (k >= 0 && k == parts.crumbBar)) continue;
            const auto crumbs = crumbNames(parts.crumbBars[static_cast<size_t>(index)].get());
            const auto current = FileManagerFolder::currentCrumb(crumbs, title);
            if (!current) continue;
            const auto candidates = FileManagerFolder::fromCrumbs(crumbs, *current, home_, user_);
            if (candidates.empty()) continue;
            parts.crumbBar = index;
            return FileManagerFolder::holdingMost(candidates, selected);
        }
        return std::nullopt;
    }

    // The names sit in the column whose cells hold parts (icon and name);
    // looked for once per view, column 0 when no column has parts.
    static Object nameCell(int& nameColumn, AtspiTable* table, int row) {
        auto cellAt = [&](int column) {
            return bounded([&](GError** e) { return Object(atspi_table_get_accessible_at(table, row, column, e)); },
                           [](const Object& o) { return !o; }, Empty::isFailure);
        };
        if (nameColumn < 0) {
            const int columns = bounded([&](GError** e) { return atspi_table_get_n_columns(table, e); },
                                        [](int n) { return n < 0; }, Empty::isFailure);
            nameColumn = 0;
            for (int column = 0; column < columns; ++column) {
                Object cell = cellAt(column);
                if (childCount(cell.get()) > 0) {
                    nameColumn = column;
                    return cell;
                }
            }
        }
        return cellAt(nameColumn);
    }

    // Whether the window `object` lies in is the active one; true when that
    // cannot be told (Nemo's rename field has no parent).
    static bool inActiveWindow(AtspiAccessible* object) {
        Object at = Object::share(object);
        for (int depth = 0; depth < 64; ++depth) {
            Object parent = bounded([&](GError** e) { return Object(atspi_accessible_get_parent(at.get(), e)); },
                                    [](const Object& o) { return !o; }, Empty::isAnswer);
            if (!parent) return true;
            if (role(parent.get()) == ATSPI_ROLE_APPLICATION) return States(at.get()).has(ATSPI_STATE_ACTIVE);
            at = std::move(parent);
        }
        return false;
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
            return findFocused(window.get(), budget, 0, appVisibleIsShown_);
        }
        return {};
    }

    static Object findFocused(AtspiAccessible* object, int& budget, int depth, bool visibleIsShown) {
        if (--budget < 0 || depth > 40) return {};
        const States states(object);
        if (states.has(ATSPI_STATE_FOCUSED)) return Object::share(object);
        if ((!shown(states, visibleIsShown) && depth > 0) || states.has(ATSPI_STATE_MANAGES_DESCENDANTS)) return {};
        const int count = childCount(object);
        for (int i = 0; i < count; ++i) {
            Object child = childAt(object, i);
            if (Object found = findFocused(child.get(), budget, depth + 1, visibleIsShown)) return found;
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
    bool appVisibleIsShown_ = false;
    // Where the first button of a bar of push buttons may point (crumbFolder).
    fs::path home_ = homeFolder();
    std::string user_ = userName();
    std::unordered_map<AtspiAccessible*, WindowParts> windows_;
};

}  // namespace

std::unique_ptr<FileManagerAccessibility> makeAtspiFileManagerAccessibility() {
    return std::make_unique<AtspiFileManagerAccessibility>();
}

}  // namespace qm
