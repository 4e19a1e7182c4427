// The library window's set of selected files: the one view state two views
// share (the file list selects, the inspector edits what is selected). The
// window owns it; the file list marks its rows from it and writes the
// user's selection into it. Files are kept in the order of the list they
// were selected in, without duplicates. Main thread.
#pragma once

#include <QObject>

#include <filesystem>
#include <vector>

namespace qm {

class FileSelection : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    const std::vector<std::filesystem::path>& urls() const { return urls_; }
    bool contains(const std::filesystem::path& url) const;
    bool empty() const { return urls_.empty(); }
    // Replaces the set (duplicates dropped); `changed` only when it differs.
    void set(std::vector<std::filesystem::path> urls);
    void clear() { set({}); }

signals:
    void changed();

private:
    std::vector<std::filesystem::path> urls_;
};

}  // namespace qm
