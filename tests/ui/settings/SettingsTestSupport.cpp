#include "ui/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

namespace qm::test {

SettingsView& SettingsFixture::window() {
    if (!view)
        view = std::make_unique<SettingsView>(settings(), *library, workspace, [this] { ++addFolderCalls; },
                                              [this] { return devices; });
    return *view;
}

AppSettings SettingsFixture::stored() const {
    UserDefaults file(QString::fromStdString((lib.dir / "settings.ini").string()));
    const auto doc = file.data(SettingsStore::documentKey);
    EXPECT_TRUE(doc.has_value());
    if (!doc) return {};
    return AppSettings::decodeText(std::string_view(doc->constData(), static_cast<size_t>(doc->size())));
}

void SettingsFixture::pick(QComboBox* picker, int index) {
    EXPECT_TRUE(picker && picker->isEnabled());
    if (!picker) return;
    picker->setCurrentIndex(index);
    emit picker->activated(index);
}

std::vector<QString> SettingsFixture::items(const QComboBox* picker) {
    std::vector<QString> out;
    for (int i = 0; picker && i < picker->count(); ++i) out.push_back(picker->itemText(i));
    return out;
}

}  // namespace qm::test
