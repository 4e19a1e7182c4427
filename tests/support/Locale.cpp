#include "Locale.h"

#include <clocale>
#include <cstdlib>
#include <string>

namespace qm::test {

namespace {

bool useCommaLocale(const char* name) {
    if (!std::setlocale(LC_ALL, name)) return false;
    return std::string(std::localeconv()->decimal_point) == ",";
}

}  // namespace

DecimalCommaLocale::DecimalCommaLocale() {
    previous_ = std::setlocale(LC_ALL, nullptr);
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"})
        if (useCommaLocale(name)) {
            active_ = true;
            return;
        }
    std::string pattern = (std::filesystem::temp_directory_path() / "qm-locale-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return;
    compiled_ = pattern;
    // localedef reports warnings through its exit status: the locale is
    // judged by whether it loads.
    const std::string command = "localedef -c -i de_DE -f UTF-8 '" + (compiled_ / "de_DE.UTF-8").string() +
                                "' >/dev/null 2>&1";
    if (std::system(command.c_str()) == -1) return;
    setenv("LOCPATH", compiled_.c_str(), 1);
    active_ = useCommaLocale("de_DE.UTF-8");
}

DecimalCommaLocale::~DecimalCommaLocale() {
    std::setlocale(LC_ALL, previous_.c_str());
    if (!compiled_.empty()) {
        unsetenv("LOCPATH");
        std::error_code ec;
        std::filesystem::remove_all(compiled_, ec);
    }
}

}  // namespace qm::test
