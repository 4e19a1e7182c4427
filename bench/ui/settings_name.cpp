// Typing an output profile's name in the settings window: 40 keystrokes in
// the Name field of the Outputs tab, each one stored (the whole settings
// document written through the user defaults and flushed) and shown in the
// profile list, beside the floor: the user defaults' setData of the same 40
// documents, nothing else.
//
// Each iteration times both side by side; counters give the times per
// keystroke and the ratio to the floor. The machine is shared: figures are
// rough, the ratio is what to read.
#include <benchmark/benchmark.h>

#include <QKeyEvent>
#include <QLineEdit>

#include <memory>
#include <string>
#include <vector>

#include "ViewBench.h"
#include "app/core/SettingsStore.h"
#include "app/core/UserDefaults.h"
#include "support/TempDir.h"
#include "ui/settings/OutputsSettings.h"

using namespace qm;
using qm::bench::Clock;
using qm::bench::since;

namespace {

constexpr int kKeys = 40;
const QString kTyped = QStringLiteral("Stage Left Nearfield Monitors Room B 916");
static_assert(kKeys == 40);

struct Setup {
    test::TempDir dir;
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "settings.ini").string()))};
    UserDefaults floorFile{QString::fromStdString((dir / "floor.ini").string())};
    std::unique_ptr<OutputsSettings> view;
    QLineEdit* name = nullptr;
    std::vector<QByteArray> documents;  // what each keystroke stores

    Setup() {
        view = std::make_unique<OutputsSettings>(settings, [] {
            return std::vector<AudioOutputDevice>{{1, "jack:system", "system", 2}, {2, "jack:Desk", "Desk", 28}};
        });
        view->resize(680, 520);
        view->show();
        QApplication::processEvents();
        name = view->findChild<QLineEdit*>("name");
        name->setFocus();
        AppSettings s = settings.value();
        const Uuid id = *view->selectedID();
        for (int i = 1; i <= kKeys; ++i) {
            for (auto& p : s.profiles)
                if (p.id == id) p.name = kTyped.left(i).toStdString();
            documents.push_back(QByteArray::fromStdString(s.encode()));
        }
    }
};

Setup* setup = nullptr;

// A key pressed and released, as the window system delivers it.
void typeKey(QWidget* target, QChar c) {
    const int key = c.toUpper().unicode();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &release);
}

void BM_TypeName(benchmark::State& state) {
    Setup& s = *setup;
    double typing = 0, floor = 0;
    for (auto _ : state) {
        s.name->clear();
        const Uuid id = *s.view->selectedID();
        s.settings.update([&](AppSettings& a) {
            for (auto& p : a.profiles)
                if (p.id == id) p.name.clear();
        });
        QApplication::processEvents();

        auto t0 = Clock::now();
        for (int i = 0; i < kKeys; ++i) typeKey(s.name, kTyped.at(i));
        QApplication::processEvents();
        const double typed = since(t0);
        typing += typed;
        if (s.settings.activeProfile().name != kTyped.toStdString()) state.SkipWithError("the name was not stored");

        t0 = Clock::now();
        for (const QByteArray& doc : s.documents) s.floorFile.setData(SettingsStore::documentKey, doc);
        floor += since(t0);
        state.SetIterationTime(typed);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["key_ms"] = typing / n / kKeys * 1e3;
    state.counters["floor_key_ms"] = floor / n / kKeys * 1e3;
    state.counters["ratio"] = typing / floor;
}

BENCHMARK(BM_TypeName)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return qm::bench::runWithApplication(argc, argv, setup); }
