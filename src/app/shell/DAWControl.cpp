#include "app/shell/DAWControl.h"

#include <QString>
#include <QStringList>

namespace qm {

namespace {

using Combinations = std::map<DAWControl::DAW, std::string>;

Combinations each(const char* protools, const char* logic, const char* reaper) {
    using DAW = DAWControl::DAW;
    return {{DAW::protools, protools}, {DAW::logic, logic}, {DAW::reaper, reaper}};
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

std::string_view DAWControl::rawValue(DAW daw) {
    switch (daw) {
    case DAW::protools: return "protools";
    case DAW::logic: return "logic";
    case DAW::reaper: return "reaper";
    }
    return {};
}

std::optional<DAWControl::DAW> DAWControl::fromRawValue(std::string_view raw) {
    for (const DAW daw : allDAWs) {
        if (rawValue(daw) == raw) return daw;
    }
    return std::nullopt;
}

const std::vector<std::string>& DAWControl::bundleIDs(DAW daw) {
    static const std::vector<std::string> protools{"com.avid.ProTools"};
    static const std::vector<std::string> logic{"com.apple.logic10"};
    static const std::vector<std::string> reaper{"com.cockos.reaper"};
    switch (daw) {
    case DAW::protools: return protools;
    case DAW::logic: return logic;
    case DAW::reaper: break;
    }
    return reaper;
}

const std::map<std::string, std::map<DAWControl::DAW, std::string>, std::less<>>& DAWControl::commands() {
    static const std::map<std::string, Combinations, std::less<>> table{
        {"play", each("space", "space", "space")},
        {"record", each("cmd+space", "r", "ctrl+r")},
        {"save", each("cmd+s", "cmd+s", "cmd+s")},
        {"undo", each("cmd+z", "cmd+z", "cmd+z")},
        {"redo", each("cmd+shift+z", "cmd+shift+z", "cmd+shift+z")},
        {"marker", each("enter", "opt+'", "m")},
        {"rtz", each("return", "return", "home")},
        {"zoom-in", each("]", "cmd+right", "=")},
        {"zoom-out", each("[", "cmd+left", "-")},
        {"cut", each("cmd+x", "cmd+x", "cmd+x")},
        {"copy", each("cmd+c", "cmd+c", "cmd+c")},
        {"paste", each("cmd+v", "cmd+v", "cmd+v")},
        {"separate", each("b", "cmd+t", "s")},
        {"fade", each("cmd+f", "ctrl+f", "f")},
        {"bounce", each("cmd+opt+b", "cmd+b", "cmd+opt+r")},
        {"mix-window", each("cmd+=", "x", "cmd+m")},
        {"import", each("cmd+shift+i", "cmd+shift+i", "cmd+i")},
    };
    return table;
}

const std::map<std::string, uint16_t, std::less<>>& DAWControl::codes() {
    static const std::map<std::string, uint16_t, std::less<>> table{
        {"a", 0},       {"s", 1},        {"d", 2},        {"f", 3},        {"h", 4},       {"g", 5},
        {"z", 6},       {"x", 7},        {"c", 8},        {"v", 9},        {"b", 11},      {"q", 12},
        {"w", 13},      {"e", 14},       {"r", 15},       {"y", 16},       {"t", 17},      {"1", 18},
        {"2", 19},      {"3", 20},       {"4", 21},       {"6", 22},       {"5", 23},      {"=", 24},
        {"9", 25},      {"7", 26},       {"-", 27},       {"8", 28},       {"0", 29},      {"]", 30},
        {"o", 31},      {"u", 32},       {"[", 33},       {"i", 34},       {"p", 35},      {"return", 36},
        {"l", 37},      {"j", 38},       {"'", 39},       {"k", 40},       {";", 41},      {"\\", 42},
        {",", 43},      {"/", 44},       {"n", 45},       {"m", 46},       {".", 47},      {"tab", 48},
        {"space", 49},  {"`", 50},       {"delete", 51},  {"escape", 53},  {"enter", 76},  {"kp*", 67},
        {"kp-", 78},    {"kp0", 82},     {"kp1", 83},     {"kp2", 84},     {"kp3", 85},    {"home", 115},
        {"end", 119},   {"pageup", 116}, {"pagedown", 121}, {"left", 123}, {"right", 124}, {"down", 125},
        {"up", 126},    {"f12", 111},
    };
    return table;
}

const std::map<std::string, uint64_t, std::less<>>& DAWControl::modifiers() {
    static const std::map<std::string, uint64_t, std::less<>> table{
        {"cmd", kKeyFlagCommand},  {"command", kKeyFlagCommand}, {"shift", kKeyFlagShift},
        {"opt", kKeyFlagOption},   {"option", kKeyFlagOption},   {"alt", kKeyFlagOption},
        {"ctrl", kKeyFlagControl}, {"control", kKeyFlagControl},
    };
    return table;
}

std::optional<DAWControl::Keystroke> DAWControl::parse(std::string_view combination) {
    const QString lowered = QString::fromUtf8(combination.data(), static_cast<qsizetype>(combination.size())).toLower();
    const QStringList pieces = lowered.split(QLatin1Char('+'), Qt::SkipEmptyParts);
    if (pieces.isEmpty()) return std::nullopt;
    uint64_t flags = 0;
    std::optional<uint16_t> key;
    for (const QString& piece : pieces) {
        const std::string word = piece.toStdString();
        if (const auto modifier = modifiers().find(word); modifier != modifiers().end()) {
            flags |= modifier->second;
            continue;
        }
        const auto code = codes().find(word);
        key = code == codes().end() ? std::nullopt : std::optional<uint16_t>(code->second);
    }
    if (!key) return std::nullopt;
    return Keystroke{*key, flags};
}

bool DAWControl::belongs(const RunningApplication& application, DAW daw) {
    std::vector<std::string> names = bundleIDs(daw);
    names.emplace_back(rawValue(daw));
    for (const auto& name : names) {
        for (const auto* own : {&application.instance, &application.windowClass, &application.processName}) {
            if (!own->empty() && sameIgnoringCase(*own, name)) return true;
        }
    }
    return false;
}

std::optional<DAWControl::Found> DAWControl::runningDAW(std::optional<DAW> preferred) const {
    const auto running = workstations_.runningApplications();
    const auto frontmost = workstations_.frontmostApplication();

    if (frontmost) {
        for (const DAW daw : allDAWs) {
            if (belongs(*frontmost, daw)) return Found{daw, *frontmost};
        }
    }
    std::vector<DAW> order;
    if (preferred) order.push_back(*preferred);
    for (const DAW daw : allDAWs) {
        if (daw != preferred) order.push_back(daw);
    }
    for (const DAW daw : order) {
        for (const auto& application : running) {
            if (belongs(application, daw)) return Found{daw, application};
        }
    }
    return std::nullopt;
}

std::string DAWControl::send(const std::string& command, const std::optional<std::string>& daw) const {
    if (!workstations_.trusted()) return std::string(kAccessibilityText);
    const std::optional<DAW> preferred = daw ? fromRawValue(*daw) : std::nullopt;
    const auto found = runningDAW(preferred);
    if (!found) return std::string(kNoDAWText);

    std::string combination = command;
    if (const auto row = commands().find(command); row != commands().end()) combination = row->second.at(found->daw);
    const auto keystroke = parse(combination);
    if (!keystroke) return "Unknown command " + command;

    const std::string name = found->application.localizedName.empty() ? std::string(rawValue(found->daw))
                                                                      : found->application.localizedName;
    // Typing into a window that did not take the keyboard would put the
    // combination (cut, save...) into whatever program has it instead.
    if (!workstations_.post(found->application, keystroke->key, keystroke->flags)) {
        return "Couldn't bring " + name + " to the front";
    }
    return command + " \u2192 " + name;
}

}  // namespace qm
