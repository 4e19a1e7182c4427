// What the monitor view tests share: a monitor engine with its settings and
// user defaults in a temporary folder (the defaults count their writes),
// speaker and headphone profiles of any layout, and state edits. The
// plug-ins offered are the tests' own (the list is read once per process).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/CountingDefaults.h"
#include "app/monitor/MonitorEngine.h"
#include "support/Lv2Plugins.h"
#include "support/Profiles.h"
#include "support/TempDir.h"

namespace qm::test {

struct MonitorFixture {
    TempDir dir;
    std::shared_ptr<CountingDefaults> defaults = std::make_shared<CountingDefaults>(dir / "d.ini");
    SettingsStore settings{std::make_shared<UserDefaults>(QString::fromStdString((dir / "s.ini").string()))};
    ManualMainQueue queue;
    std::unique_ptr<MonitorEngine> engine = std::make_unique<MonitorEngine>(settings, defaults, queue);

    MonitorFixture() { useTestPlugins(); }
    ~MonitorFixture() {
        engine.reset();
        queue.advance(100);
    }

    // A profile of `layout` on `device` (channels in layout order), added
    // to the settings and made the monitor's.
    OutputProfile useProfile(LayoutID layout, OutputProfile::Kind kind = OutputProfile::Kind::speakers,
                             const std::string& device = "jack:Speakers", const std::string& name = "Test") {
        const OutputProfile p = test::profileInLayoutOrder(layout, kind, device, name);
        settings.update([&](AppSettings& s) { s.profiles.push_back(p); });
        engine->setProfileID(p.id);
        return p;
    }
    void edit(const std::function<void(MonitorState&)>& change) {
        MonitorState s = engine->state();
        change(s);
        engine->setState(s);
    }
    void setExpert(bool on) {
        settings.update([on](AppSettings& s) { s.expertMode = on; });
    }
    int stateWrites() const {
        auto it = defaults->writes.find(MonitorEngine::stateKey);
        return it == defaults->writes.end() ? 0 : it->second;
    }
};

}  // namespace qm::test
