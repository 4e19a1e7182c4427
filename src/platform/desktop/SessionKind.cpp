#include "platform/desktop/SessionKind.h"

#include <cstdlib>

namespace qm::sessionKind {

namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

}  // namespace

Environment Environment::current() {
    return {variable("XDG_SESSION_TYPE"), variable("WAYLAND_DISPLAY"), variable("DISPLAY"),
            variable("QT_QPA_PLATFORM")};
}

bool isWayland(const Environment& environment) {
    if (environment.sessionType && !environment.sessionType->empty()) return *environment.sessionType == "wayland";
    return environment.waylandDisplay.has_value();
}

std::optional<std::string> qtPlatform(const Environment& environment) {
    if (environment.qtPlatform || !environment.display || !isWayland(environment)) return std::nullopt;
    return std::string("xcb");
}

}  // namespace qm::sessionKind
