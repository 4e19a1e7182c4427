#include "ui/monitor/InsertPanel.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QTimer>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>
#include <QVBoxLayout>

#include <fmt/format.h>

#include "platform/AppError.h"

#include <algorithm>
#include <cmath>

namespace qm {

namespace {

bool logScale(const Lv2ControlPort& p) { return p.logarithmic && p.minimum > 0.0f && p.maximum > p.minimum; }

QString valueText(const Lv2ControlPort& p, float v) {
    return QString::fromStdString(p.integer ? fmt::format("{}", std::lround(v)) : fmt::format("{:.2f}", v));
}

// The window the engine keeps for an insert, titled with its name;
// deleting it closes it.
class OwnedWindow : public MonitorEngine::InsertWindow {
public:
    explicit OwnedWindow(const MonitorEngine::Insert& insert) : window_(std::make_unique<QWidget>()) {
        window_->setObjectName(QStringLiteral("insertWindow"));
        window_->setWindowTitle(insert.name);
    }
    void present() override {
        window_->show();
        window_->raise();
        window_->activateWindow();
    }

protected:
    std::unique_ptr<QWidget> window_;
};

class PanelWindow final : public OwnedWindow {
public:
    explicit PanelWindow(const MonitorEngine::Insert& insert) : OwnedWindow(insert) {
        auto* layout = new QVBoxLayout(window_.get());
        layout->addWidget(new InsertPanel(insert.unit, window_.get()));
    }
};

// A plug-in's own X11 UI embedded in our window, its idle callback driven
// by a timer.
// An X error of the UI closes the window: it goes from the engine's map
// once the timer's call has returned, and the engine says why.
class EmbeddedWindow final : public OwnedWindow {
public:
    EmbeddedWindow(MonitorEngine& engine, const MonitorEngine::Insert& insert) : OwnedWindow(insert) {
        window_->setAttribute(Qt::WA_NativeWindow);
        ui_ = std::make_unique<Lv2X11Ui>(insert.unit, static_cast<unsigned long>(window_->winId()));
        const auto [width, height] = ui_->size();
        if (width > 0 && height > 0) window_->setFixedSize(width, height);
        auto* timer = new QTimer(window_.get());
        QObject::connect(timer, &QTimer::timeout, window_.get(), [this, timer, &engine, id = insert.id,
                                                                  name = insert.name] {
            if (ui_->idle()) return;
            window_->hide();
            if (!ui_->error()) return;
            timer->stop();
            QTimer::singleShot(0, &engine, [&engine, id, name] {
                engine.closeFailedWindow(id, QObject::tr("%1's window failed and was closed").arg(name));
            });
        });
        timer->start(30);
    }
    // The UI goes before the window it lives in.
    ~EmbeddedWindow() override { ui_.reset(); }

private:
    std::unique_ptr<Lv2X11Ui> ui_;
};

}  // namespace

int InsertPanel::position(const Lv2ControlPort& p, float v) {
    const float lo = p.minimum, hi = p.maximum;
    if (!(hi > lo)) return 0;
    v = std::clamp(v, lo, hi);
    const double f = logScale(p) ? std::log(v / lo) / std::log(hi / lo) : (v - lo) / double(hi - lo);
    return static_cast<int>(std::lround(f * steps));
}

float InsertPanel::value(const Lv2ControlPort& p, int position) {
    const double f = std::clamp(position, 0, steps) / double(steps);
    double v = logScale(p) ? p.minimum * std::pow(double(p.maximum) / p.minimum, f)
                           : p.minimum + f * (double(p.maximum) - p.minimum);
    if (p.integer) v = std::round(v);
    return static_cast<float>(v);
}

InsertPanel::InsertPanel(std::shared_ptr<Lv2Unit> unit, QWidget* parent) : QWidget(parent), unit_(std::move(unit)) {
    auto* form = new QFormLayout(this);
    const auto& controls = unit_->controls();
    for (size_t i = 0; i < controls.size(); ++i) {
        const Lv2ControlPort& port = controls[i];
        const QString name = QString::fromStdString(port.name);
        const QString object = QString::fromStdString(port.symbol);
        if (port.toggled) {
            auto* box = new QCheckBox(this);
            box->setObjectName(object);
            box->setChecked(unit_->control(i) > 0.0f);
            connect(box, &QCheckBox::toggled, this, [this, i](bool on) { unit_->setControl(i, on ? 1.0f : 0.0f); });
            form->addRow(name, box);
        } else if (!port.choices.empty()) {
            auto* menu = new QComboBox(this);
            menu->setObjectName(object);
            for (const auto& [v, label] : port.choices) menu->addItem(QString::fromStdString(label), double(v));
            for (int k = 0; k < menu->count(); ++k)
                if (menu->itemData(k).toDouble() == double(unit_->control(i))) menu->setCurrentIndex(k);
            connect(menu, &QComboBox::currentIndexChanged, this,
                    [this, i, menu](int k) { unit_->setControl(i, static_cast<float>(menu->itemData(k).toDouble())); });
            form->addRow(name, menu);
        } else {
            auto* row = new QWidget(this);
            auto* h = new QHBoxLayout(row);
            h->setContentsMargins(0, 0, 0, 0);
            auto* slider = new QSlider(Qt::Horizontal, row);
            slider->setObjectName(object);
            slider->setRange(0, steps);
            slider->setMinimumWidth(200);
            auto* label = new QLabel(valueText(port, unit_->control(i)), row);
            label->setMinimumWidth(56);
            slider->setValue(position(port, unit_->control(i)));
            connect(slider, &QSlider::valueChanged, this, [this, i, label](int at) {
                const Lv2ControlPort& p = unit_->controls()[i];
                unit_->setControl(i, value(p, at));
                label->setText(valueText(p, unit_->control(i)));
            });
            h->addWidget(slider, 1);
            h->addWidget(label);
            form->addRow(name, row);
        }
    }
    const auto& files = unit_->fileParameters();
    for (size_t i = 0; i < files.size(); ++i) {
        const QString label = QString::fromStdString(files[i].label);
        const QString object = QStringLiteral("file.%1").arg(i);
        auto* row = new QWidget(this);
        auto* h = new QHBoxLayout(row);
        h->setContentsMargins(0, 0, 0, 0);
        auto* shown = new QLabel(row);
        shown->setObjectName(object + QStringLiteral(".name"));
        auto showFile = [this, i, shown] {
            const QString path = QString::fromStdString(unit_->file(i));
            shown->setText(path.isEmpty() ? tr("None") : QFileInfo(path).fileName());
            shown->setToolTip(path);
        };
        showFile();
        auto* choose = new QPushButton(tr("Choose…"), row);
        choose->setObjectName(object);
        connect(choose, &QPushButton::clicked, this, [this, i, label, showFile] {
            const QString title = tr("Choose %1").arg(label);
            const QString path = chooser_ ? chooser_(title)
                                          : QFileDialog::getOpenFileName(this, title, {},
                                                                         tr("Audio files (*.wav *.flac *.aif *.aiff "
                                                                            "*.caf *.ogg);;All files (*)"));
            if (path.isEmpty()) return;
            unit_->setFile(i, path.toStdString());
            showFile();
        });
        h->addWidget(shown, 1);
        h->addWidget(choose);
        form->addRow(label, row);
    }
}

void installInsertWindows(MonitorEngine& engine) {
    engine.setWindowFactory([&engine](const MonitorEngine::Insert& insert) -> std::unique_ptr<MonitorEngine::InsertWindow> {
        if (!insert.unit) return nullptr;
        // A plug-in's own window where it has one for X11 and we run on X11;
        // else (and when it fails to open) the generic panel.
        if (QGuiApplication::platformName() == QStringLiteral("xcb") && Lv2X11Ui::available(insert.unit->plugin())) {
            try {
                return std::make_unique<EmbeddedWindow>(engine, insert);
            } catch (const AppError& e) {
                engine.closeFailedWindow(insert.id, QString::fromStdString(e.what()));
            }
        }
        if (insert.unit->controls().empty() && insert.unit->fileParameters().empty()) return nullptr;
        return std::make_unique<PanelWindow>(insert);
    });
}

}  // namespace qm
