#include "platform/desktop/Workstations.h"

#include <X11/keysym.h>

#include <array>
#include <fstream>
#include <utility>

namespace qm {

unsigned long keysymForKeyCode(uint16_t code) {
    static const std::array<unsigned long, 128> table = [] {
        std::array<unsigned long, 128> t{};
        const std::pair<uint16_t, unsigned long> keys[] = {
            {0, XK_a},         {1, XK_s},           {2, XK_d},          {3, XK_f},
            {4, XK_h},         {5, XK_g},           {6, XK_z},          {7, XK_x},
            {8, XK_c},         {9, XK_v},           {11, XK_b},         {12, XK_q},
            {13, XK_w},        {14, XK_e},          {15, XK_r},         {16, XK_y},
            {17, XK_t},        {18, XK_1},          {19, XK_2},         {20, XK_3},
            {21, XK_4},        {22, XK_6},          {23, XK_5},         {24, XK_equal},
            {25, XK_9},        {26, XK_7},          {27, XK_minus},     {28, XK_8},
            {29, XK_0},        {30, XK_bracketright}, {31, XK_o},       {32, XK_u},
            {33, XK_bracketleft}, {34, XK_i},       {35, XK_p},         {36, XK_Return},
            {37, XK_l},        {38, XK_j},          {39, XK_apostrophe}, {40, XK_k},
            {41, XK_semicolon}, {42, XK_backslash}, {43, XK_comma},     {44, XK_slash},
            {45, XK_n},        {46, XK_m},          {47, XK_period},    {48, XK_Tab},
            {49, XK_space},    {50, XK_grave},      {51, XK_BackSpace}, {53, XK_Escape},
            {67, XK_KP_Multiply}, {76, XK_KP_Enter}, {78, XK_KP_Subtract}, {82, XK_KP_0},
            {83, XK_KP_1},     {84, XK_KP_2},       {85, XK_KP_3},      {111, XK_F12},
            {115, XK_Home},    {116, XK_Prior},     {119, XK_End},      {121, XK_Next},
            {123, XK_Left},    {124, XK_Right},     {125, XK_Down},     {126, XK_Up},
        };
        for (const auto& [code, keysym] : keys) t[code] = keysym;
        return t;
    }();
    return code < table.size() ? table[code] : 0;
}

namespace {

// In the order they go down; they come up in the reverse order.
constexpr std::pair<uint64_t, unsigned long> kModifierKeys[] = {
    {kKeyFlagCommand, XK_Control_L},
    {kKeyFlagOption, XK_Alt_L},
    {kKeyFlagControl, XK_Super_L},
    {kKeyFlagShift, XK_Shift_L},
};

class DesktopWorkstations final : public Workstations {
public:
    DesktopWorkstations(DesktopWindows& windows, std::filesystem::path proc)
        : windows_(windows), proc_(std::move(proc)) {}

    bool trusted() override { return windows_.canPostKeys(); }

    std::vector<RunningApplication> runningApplications() override {
        std::vector<RunningApplication> applications;
        for (const auto window : windows_.clients()) {
            if (auto application = describe(window)) applications.push_back(std::move(*application));
        }
        return applications;
    }

    std::optional<RunningApplication> frontmostApplication() override {
        const WindowId active = windows_.activeWindow();
        if (active == 0) return std::nullopt;
        return describe(active);
    }

    bool post(const RunningApplication& application, uint16_t key, uint64_t flags) override {
        const bool raised = windows_.activate(application.window, kRaiseWait);
        // The wait read the manager's notices off the connection: handing
        // them on now keeps other followers of the desktop current.
        windows_.dispatchEvents();
        if (!raised) return false;
        std::vector<SyntheticKey> keys;
        for (const auto& [flag, keysym] : kModifierKeys) {
            if (flags & flag) keys.push_back({keysym, true});
        }
        if (const auto keysym = keysymForKeyCode(key)) {
            keys.push_back({keysym, true});
            keys.push_back({keysym, false});
        }
        for (auto it = std::rbegin(kModifierKeys); it != std::rend(kModifierKeys); ++it) {
            if (flags & it->first) keys.push_back({it->second, false});
        }
        windows_.postKeys(keys);
        return true;
    }

private:
    std::optional<RunningApplication> describe(WindowId window) {
        const auto identity = windows_.identity(window);
        if (!identity) return std::nullopt;
        RunningApplication application;
        application.window = window;
        application.pid = identity->pid;
        application.instance = identity->instance;
        application.windowClass = identity->windowClass;
        application.localizedName = identity->windowClass;
        if (identity->pid > 0) application.processName = processName(identity->pid);
        return application;
    }

    std::string processName(int pid) const {
        std::ifstream file(proc_ / std::to_string(pid) / "comm");
        std::string name;
        std::getline(file, name);
        return name;
    }

    DesktopWindows& windows_;
    std::filesystem::path proc_;
};

}  // namespace

std::unique_ptr<Workstations> makeDesktopWorkstations(DesktopWindows& windows, std::filesystem::path proc) {
    return std::make_unique<DesktopWorkstations>(windows, std::move(proc));
}

}  // namespace qm
