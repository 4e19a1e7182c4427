#include "ui/editor/EditorToolbar.h"

#include <QFrame>
#include <QMenu>
#include <QToolButton>

#include "app/core/SettingsStore.h"
#include "app/editor/EditorModel.h"
#include "edit/EditOps.h"
#include "ui/editor/EditorKeys.h"
#include "ui/editor/EditorTexts.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/FlowLayout.h"

namespace qm {

using namespace widgets;

namespace {

struct Tool {
    const char* name;
    const char* title;
    const char* help;
    EditorModel::Macro macro;
};

constexpr Tool kTools[] = {
    {"topAndTails", "Top & Tails", "50 ms fade-in at the head, 1 s fade-out at the tail", EditorModel::Macro::topAndTails},
    {"verbTail", "Verb Tail", "Adds 4 s and rings the selection through an 8 s hall at 30% wet",
     EditorModel::Macro::verbTail},
    {"seamlessLoop", "Seamless Loop",
     "Loops the selection (or the pinned loop) and carries the natural ring-out over its head. 8 ms splice guard, "
     "never a long crossfade.",
     EditorModel::Macro::seamlessLoop},
    {"hiPass", "Hi-Pass 200", "", EditorModel::Macro::hiPass},
    {"texture", "Texture", "8\u00d7 granular stretch, huge reverb, dark filter, long fades", EditorModel::Macro::texture},
    {"mono", "Mono", "", EditorModel::Macro::mono},
    {"swap", "Swap L/R", "", EditorModel::Macro::swap},
};

}  // namespace

EditorToolbar::EditorToolbar(EditorModel& editor, SettingsStore& settings, QWidget* parent)
    : QWidget(parent), editor_(editor), settings_(settings) {
    // Wraps rather than squeezing its buttons when the window is narrow.
    auto* row = new FlowLayout(this, 6, 4);
    row->setContentsMargins(12, 6, 12, 6);
    const auto small = ControlSize::small;
    EditorModel* m = &editor;

    auto add = [&](QToolButton* b, auto action) {
        row->addWidget(b);
        connect(b, &QToolButton::clicked, this, action);
        return b;
    };
    using editorkeys::Key;
    using editorkeys::withKey;
    add(named(symbolButton("arrow.uturn.backward", withKey("Undo", Key::undo), small, this), "undo"),
        [m] { m->undo(); });
    add(named(symbolButton("arrow.uturn.forward", withKey("Redo", Key::redo), small, this), "redo"),
        [m] { m->redo(); });
    row->addWidget(divider(Qt::Vertical, 16, this));
    add(named(textButton("Cut", withKey("Cut", Key::cut), small, this), "cut"), [m] { m->cut(); });
    add(named(textButton("Copy", withKey("Copy", Key::copy), small, this), "copy"), [m] { m->copy(); });
    add(named(textButton("Paste", withKey("Paste", Key::paste), small, this), "paste"), [m] { m->paste(); });
    add(named(textButton("Delete", withKey("Delete", Key::deleteSelection), small, this), "delete"),
        [m] { m->deleteSelection(); });
    add(named(textButton("Trim", "Keep only the selection", small, this), "trim"), [m] { m->trim(); });
    add(named(textButton("Silence", "", small, this), "silence"), [m] { m->silence(); });

    auto* effects = named(menuButton("Effects", "One click, applied to the selection or the whole file", small, this),
                          "effects");
    for (const auto& e : EditOps::effects()) {
        QAction* a = effects->menu()->addAction(QString::fromStdString(e.name));
        a->setToolTip(QString::fromStdString(e.blurb));
        a->setObjectName(QString::fromStdString(e.id));
        connect(a, &QAction::triggered, this, [m, id = e.id] { m->apply(id); });
    }
    effects->menu()->setToolTipsVisible(true);
    row->addWidget(effects);
    row->addWidget(divider(Qt::Vertical, 16, this));
    for (const Tool& t : kTools)
        add(named(textButton(t.title, t.help, small, this), t.name), [m, macro = t.macro] { m->run(macro); });
    row->addPush();

    auto* scope = named(menuButton("All lanes", "Which lanes Effects touch", small, this), "scope");
    row->addWidget(scope);
    auto* snap = named(asSwitch(symbolButton("dot.squareshape.split.2x2", "Snap selections to beats", small, this)),
                       "snap");
    row->addWidget(snap);
    connect(snap, &QToolButton::toggled, this, [m](bool on) { m->setSnap(on); });
    // The centre of the visible range stays where it is.
    auto zoomBy = [m](double factor) {
        m->zoom(factor, m->viewStart() + m->viewLength() / 2, 0.5);
    };
    add(named(symbolButton("minus.magnifyingglass", withKey("Zoom out", Key::zoomOut), small, this), "zoomOut"),
        [zoomBy] { zoomBy(editorkeys::kZoomOut); });
    add(named(symbolButton("plus.magnifyingglass", withKey("Zoom in", Key::zoomIn), small, this), "zoomIn"),
        [zoomBy] { zoomBy(editorkeys::kZoomIn); });
    add(named(textButton("Fit", "", small, this), "fit"), [m] { m->fit(); });
    add(named(textButton("Sel", "", small, this), "zoomToSelection"), [m] { m->zoomToSelection(); });

    for (auto signal : {&EditorModel::docChanged, &EditorModel::revisionChanged, &EditorModel::selectionChanged,
                        &EditorModel::scopeChanged, &EditorModel::snapChanged, &EditorModel::clipboardChanged})
        connect(&editor, signal, this, &EditorToolbar::refresh);
    connect(&settings, &SettingsStore::valueChanged, this, &EditorToolbar::refresh);
    refresh();
}

void EditorToolbar::rebuildScopeMenu(int lanes) {
    if (lanes == scopeLanes_) return;
    scopeLanes_ = lanes;
    QMenu* menu = findChild<QToolButton*>("scope")->menu();
    menu->clear();
    EditorModel* m = &editor_;
    connect(menu->addAction("All lanes"), &QAction::triggered, this, [m] { m->setScope(std::nullopt); });
    for (int i = 0; i < lanes; ++i) {
        QAction* a = menu->addAction(QStringLiteral("Lane %1").arg(i + 1));
        connect(a, &QAction::triggered, this, [m, i] { m->setScope(editortext::toggledScope(m->scope(), i)); });
    }
}

void EditorToolbar::refresh() {
    const auto& doc = editor_.doc();
    const int lanes = doc && doc->channels ? static_cast<int>(doc->channels->size()) : 0;
    const bool selected = editor_.selection().has_value();
    auto button = [this](const char* name) { return findChild<QToolButton*>(name); };
    button("undo")->setEnabled(editor_.undoDepth() > 0);
    button("redo")->setEnabled(editor_.redoDepth() > 0);
    for (const char* name : {"cut", "copy", "delete", "trim", "silence", "zoomToSelection"})
        button(name)->setEnabled(selected);
    button("paste")->setEnabled(EditOps::clipboard.has_value());
    button("swap")->setEnabled(lanes >= 2);
    auto* scope = button("scope");
    scope->setVisible(settings_.value().expertMode && lanes >= 2);
    scope->setText(editortext::scopeLabel(editor_.scope()));
    rebuildScopeMenu(lanes);
    auto* snap = button("snap");
    if (snap->isChecked() != editor_.snap()) {
        QSignalBlocker quiet(snap);
        snap->setChecked(editor_.snap());
    }
}

}  // namespace qm
