#include "app/shell/FileManagers.h"

#include <algorithm>
#include <cctype>

#include "platform/desktop/DesktopWindows.h"

namespace qm::fileManagers {

namespace {

struct Entry {
    Kind kind;
    const char* name;
    std::vector<const char*> classes;  // WM_CLASS parts, lower case
    const char* quit;                  // null: none
};

const std::vector<Entry>& entries() {
    static const std::vector<Entry> table = {
        {Kind::thunar, "Thunar", {"thunar"}, "thunar -q"},
        {Kind::nautilus, "GNOME Files", {"org.gnome.nautilus", "nautilus"}, "nautilus -q"},
        {Kind::nemo, "Nemo", {"nemo"}, "nemo -q"},
        {Kind::caja, "Caja", {"caja"}, "caja -q"},
        {Kind::dolphin, "Dolphin", {"dolphin"}, nullptr},
        {Kind::pcmanfm, "PCManFM", {"pcmanfm"}, nullptr},
        {Kind::pcmanfmQt, "PCManFM-Qt", {"pcmanfm-qt"}, "pcmanfm-qt -q"},
    };
    return table;
}

const Entry& entry(Kind kind) {
    const auto& table = entries();
    return *std::find_if(table.begin(), table.end(), [kind](const Entry& e) { return e.kind == kind; });
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

const std::vector<Kind>& all() {
    static const std::vector<Kind> kinds = [] {
        std::vector<Kind> out;
        for (const Entry& e : entries()) out.push_back(e.kind);
        return out;
    }();
    return kinds;
}

std::optional<Kind> of(const DesktopWindowIdentity& identity) {
    const std::string instance = lower(identity.instance);
    const std::string windowClass = lower(identity.windowClass);
    for (const Entry& e : entries())
        for (const char* name : e.classes)
            if (instance == name || windowClass == name) return e.kind;
    return std::nullopt;
}

const char* name(Kind kind) { return entry(kind).name; }

std::optional<std::string> quitCommand(Kind kind) {
    const char* quit = entry(kind).quit;
    if (!quit) return std::nullopt;
    return std::string(quit);
}

}  // namespace qm::fileManagers
