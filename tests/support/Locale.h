// A process locale whose decimal separator is a comma, for tests that show
// numbers are written locale-free. Uses an installed German or French locale
// when there is one, else compiles de_DE.UTF-8 with localedef into a
// temporary folder (LOCPATH). active() is false when neither works.
// The previous locale comes back when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace qm::test {

class DecimalCommaLocale {
public:
    DecimalCommaLocale();
    ~DecimalCommaLocale();
    DecimalCommaLocale(const DecimalCommaLocale&) = delete;
    DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

    bool active() const { return active_; }

private:
    std::string previous_;
    std::filesystem::path compiled_;
    bool active_ = false;
};

}  // namespace qm::test
