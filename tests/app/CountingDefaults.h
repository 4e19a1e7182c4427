// The real INI-backed user defaults over a file of the test's own, counting
// the writes and removals per key, and able to refuse every write.
#pragma once

#include "app/core/UserDefaults.h"

#include <filesystem>
#include <map>

namespace qm::test {

class CountingDefaults : public UserDefaults {
public:
    explicit CountingDefaults(const std::filesystem::path& file)
        : UserDefaults(QString::fromStdString(file.string())) {}
    bool setData(const QString& key, const QByteArray& value) override {
        ++writes[key];
        return failWrites ? false : UserDefaults::setData(key, value);
    }
    bool removeValue(const QString& key) override {
        ++removals[key];
        return failWrites ? false : UserDefaults::removeValue(key);
    }
    // Writes and removals of every key.
    int changes() const {
        int n = 0;
        for (const auto& [key, count] : writes) n += count;
        for (const auto& [key, count] : removals) n += count;
        return n;
    }
    std::map<QString, int> writes, removals;
    bool failWrites = false;
};

}  // namespace qm::test
